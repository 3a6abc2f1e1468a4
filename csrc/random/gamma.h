// Gamma(shape, 1) variates: G. Marsaglia and W. W. Tsang, "A simple method
// for generating gamma variables", ACM TOMS 26(3), 2000, including their
// boost for shapes below 1 (a draw at shape + 1 times U^(1/shape)).
#pragma once

#include <cmath>
#include <limits>

#include "random/generator.h"
#include "random/ziggurat.h"

namespace vexol {

inline constexpr double ONE_THIRD = 0.3333333333333333;  // 0x3FD5555555555555
inline constexpr double GAMMA_SQUEEZE = 0.0331;          // 0x3FA0F27BB2FEC56D

namespace detail {

// Shape >= 1 (or NaN, or +inf). NaN and +inf end through the squeeze, which
// does not involve the shape.
inline double gamma_marsaglia_tsang(double a, GeneratorState& g) {
  const double d = a - ONE_THIRD;
  const double b = 1.0 / std::sqrt(d * 9.0);
  for (;;) {
    double z, v;
    do {
      z = normal(g);
      v = z * b + 1.0;
    } while (v <= 0.0);
    const double V = v * (v * v);
    const double U = uniform_nonzero(g);
    const double q = z * z;
    if (1.0 - (q * GAMMA_SQUEEZE) * q > U) return V * d;
    if ((std::log(V) + (1.0 - V)) * d + q * 0.5 > std::log(U)) return V * d;
  }
}

}  // namespace detail

inline double gamma(double a, GeneratorState& g) {
  if (1.0 > a) {
    // A negative shape has no gamma law; following the boost down to 1
    // would take |a| levels (forever for -inf), so answer at once.
    if (a < 0.0) return std::numeric_limits<double>::quiet_NaN();
    // The uniform is drawn before the boosted draw. +0 gives 0 and -0 gives
    // +inf through pow(U, +-inf).
    const double U = uniform_nonzero(g);
    const double G = detail::gamma_marsaglia_tsang(a + 1.0, g);
    return std::pow(U, 1.0 / a) * G;
  }
  return detail::gamma_marsaglia_tsang(a, g);
}

}  // namespace vexol
