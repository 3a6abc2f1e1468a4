// The libm calls a run of draws makes, recorded with their arguments, so
// that a benchmark can issue the very same calls again, independently of
// each other: the floor below which no ordering of a draw's work can go.
#pragma once

#include <cstdint>
#include <vector>

namespace vexol_bench {

enum class LibmFunction {
  kExp,
  kLog,
  kLog1p,
  kPow,
  kTan,
  kTanh,
  kCos,
  kCosh,
  kSinh,
  kErfc,
  kLgamma
};
inline constexpr int kLibmFunctionCount = 11;
inline constexpr const char* kLibmFunctionNames[kLibmFunctionCount] = {
    "exp", "log", "log1p", "pow", "tan", "tanh", "cos", "cosh", "sinh", "erfc", "lgamma"};

// The arguments of every call, by function, in call order (pow: x in
// `first`, y in `second`; every other function: `second` is empty).
struct LibmCalls {
  std::vector<double> first[kLibmFunctionCount];
  std::vector<double> second[kLibmFunctionCount];
  std::vector<double> draws;  // what the recorded run drew, to check it against the real one
};

// Runs pg_sample(h[i], z[i], g) for i < n from seed_generator(seed), with
// every libm call of the samplers recorded. The samplers are compiled a
// second time for this, in a namespace of their own, so the benchmarked
// code is untouched.
LibmCalls record_libm_calls(const double* h, const double* z, int64_t n, uint64_t seed);

}  // namespace vexol_bench
