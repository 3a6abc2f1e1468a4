// Standard normal (128 layers) and standard exponential (256 layers) by the
// ziggurat method: G. Marsaglia and W. W. Tsang, "The ziggurat method for
// generating random variables", Journal of Statistical Software 5(8), 2000.
//
// The fast path costs one generator output: the layer index comes from the
// low bits and the uniform from the top 53 bits of the same output.
#pragma once

#include <cmath>
#include <cstdint>

#include "random/generator.h"

namespace vexol {

inline constexpr double NORMAL_R = 3.442619855899;  // 0x400B8A7C476D2BE8
inline constexpr double NORMAL_V = 0.00991256303526217;
inline constexpr double NORMAL_R_SQUARED_HALF = 5.925815736115027;
inline constexpr double EXP_R = 7.69711747013105;  // 0x401EC9D9297EBB83
inline constexpr double EXP_V = 0.003949659822581557;

struct ZigguratTables {
  double normal_x[129];
  double normal_ratio[128];
  double exp_x[257];
  double exp_ratio[256];
};

// Filled once by a static initialiser when the library is loaded, before
// any sampler can run; read-only afterwards, so threads share it freely.
extern const ZigguratTables ziggurat_tables;

ZigguratTables& build_ziggurat_tables(ZigguratTables& tables);

namespace detail {

// Beyond NORMAL_R (Marsaglia's tail method). t is always negative, so the
// result lies strictly beyond the tail start, with the sign of u.
inline double normal_tail(double u, GeneratorState& g) {
  double t, l;
  do {
    t = std::log(uniform_nonzero(g)) / NORMAL_R;
    l = std::log(uniform_nonzero(g));
  } while (t * t > l * (-2.0));
  return u >= 0.0 ? NORMAL_R - t : t - NORMAL_R;
}

}  // namespace detail

inline double normal(GeneratorState& g) {
  const ZigguratTables& zt = ziggurat_tables;
  for (;;) {
    const uint64_t o = next_u64(g);
    const unsigned i = static_cast<unsigned>(o & 0x7F);
    const double U = output_to_uniform(o);
    const double u = U + U - 1.0;
    if (zt.normal_ratio[i] > std::fabs(u)) return u * zt.normal_x[i];
    if (i == 0) return detail::normal_tail(u, g);
    const double x = zt.normal_x[i] * u;
    const double q = x * x;
    const double v = std::exp((zt.normal_x[i] * zt.normal_x[i] - q) * (-0.5));
    const double w = std::exp((zt.normal_x[i + 1] * zt.normal_x[i + 1] - q) * (-0.5));
    if ((v - w) * uniform_nonzero(g) + w < 1.0) return x;
  }
}

inline double exponential(GeneratorState& g) {
  const ZigguratTables& zt = ziggurat_tables;
  double offset = 0.0;
  for (;;) {
    const uint64_t o = next_u64(g);
    const unsigned i = static_cast<unsigned>(o & 0xFF);
    const double U = output_to_uniform(o);
    if (zt.exp_ratio[i] > U) return U * zt.exp_x[i] + offset;
    if (i == 0) {
      // Beyond EXP_R the exponential is again exponential, shifted.
      offset += EXP_R;
      continue;
    }
    const double x = zt.exp_x[i] * U;
    const double v = std::exp(-(zt.exp_x[i] - x));
    const double w = std::exp(-(zt.exp_x[i + 1] - x));
    if ((v - w) * uniform_nonzero(g) + w < 1.0) return x + offset;
  }
}

}  // namespace vexol
