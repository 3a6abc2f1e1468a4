// The samplers compiled a second time with every libm call recorded.
//
// Every standard header the samplers use is included first, with the real
// names; then `std` becomes a namespace of ours that re-exports the standard
// library and overrides the libm functions with recording ones that call
// the real function, `lgamma_r` is renamed the same way, and `vexol` is
// renamed so that none of these inline functions can be confused with the
// benchmarked ones at link time. The recorded draws are returned with the
// calls so that the caller can check that the recording changed nothing.
#include "libm_census.h"

#include <math.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vexol_bench {
namespace {

LibmCalls* recording = nullptr;

double record(LibmFunction f, double x, double result) {
  if (recording != nullptr) recording->first[static_cast<int>(f)].push_back(x);
  return result;
}

}  // namespace
}  // namespace vexol_bench

namespace census_std {
using namespace ::std;
using vexol_bench::LibmFunction;
using vexol_bench::record;
inline double exp(double x) { return record(LibmFunction::kExp, x, ::exp(x)); }
inline double log(double x) { return record(LibmFunction::kLog, x, ::log(x)); }
inline double log1p(double x) { return record(LibmFunction::kLog1p, x, ::log1p(x)); }
inline double tan(double x) { return record(LibmFunction::kTan, x, ::tan(x)); }
inline double tanh(double x) { return record(LibmFunction::kTanh, x, ::tanh(x)); }
inline double cos(double x) { return record(LibmFunction::kCos, x, ::cos(x)); }
inline double cosh(double x) { return record(LibmFunction::kCosh, x, ::cosh(x)); }
inline double sinh(double x) { return record(LibmFunction::kSinh, x, ::sinh(x)); }
inline double erfc(double x) { return record(LibmFunction::kErfc, x, ::erfc(x)); }
inline double pow(double x, double y) {
  if (vexol_bench::recording != nullptr) {
    vexol_bench::recording->second[static_cast<int>(LibmFunction::kPow)].push_back(y);
  }
  return record(LibmFunction::kPow, x, ::pow(x, y));
}
}  // namespace census_std

inline double census_lgamma_r(double x, int* sign) {
  return vexol_bench::record(vexol_bench::LibmFunction::kLgamma, x, ::lgamma_r(x, sign));
}

#define std census_std
#define lgamma_r census_lgamma_r
#define vexol vexol_census
// The generator tables are defined here too, in the renamed namespace.
#include "polya_gamma/pg_sample.h"
#include "random/ziggurat.cc"
#undef vexol
#undef lgamma_r
#undef std

namespace vexol_bench {

LibmCalls record_libm_calls(const double* h, const double* z, int64_t n, uint64_t seed) {
  LibmCalls calls;
  calls.draws.resize(n);
  vexol_census::GeneratorState g = vexol_census::seed_generator(seed);
  recording = &calls;
  for (int64_t i = 0; i < n; ++i) calls.draws[i] = vexol_census::pg_sample(h[i], z[i], g);
  recording = nullptr;
  return calls;
}

}  // namespace vexol_bench
