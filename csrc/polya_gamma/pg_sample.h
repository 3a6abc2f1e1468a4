// One PG(h, z) draw: the per-element choice of method by the shape h and,
// for small integer shapes, by |z|.
//
//   h > 50                          normal approximation (moments matched)
//   8 <= h <= 50                    saddle-point approximation
//   h = 1; integer h <= 4, |z| <= 1 sums of exact Devroye PG(1, z) draws
//   h < 1                           truncated gamma series, moment-matched tail
//   other h <= 4                    exact alternate sampler, one piece
//   4 < h < 8                       alternate sampler in pieces of 3 or 4
#pragma once

#include <algorithm>
#include <cmath>

#include "polya_gamma/alternate.h"
#include "polya_gamma/devroye.h"
#include "polya_gamma/math_constants.h"
#include "polya_gamma/saddle_point.h"
#include "random/gamma.h"
#include "random/generator.h"
#include "random/ziggurat.h"

namespace vexol {

inline constexpr int GAMMA_SERIES_TERMS = 20;

namespace dispatch_constants {
inline constexpr double TWO_PI = 6.283185307179586;
using math::PI;
using math::PI_SQUARED;
inline constexpr double PI_SQUARED_OVER_2 = 4.934802200544679;
inline constexpr double PI_FOURTH_OVER_6 = 16.23484850566707;
inline constexpr double INV_2PI_SQUARED = 0.05066059182116889;
inline constexpr double ONE_TWENTYFOURTH = 0.041666666666666664;
}  // namespace dispatch_constants

// Normal draw with the exact mean h tanh(a/2)/(2a) and variance
// h (sinh a - a) sech^2(a/2)/(4 a^3), a = |z|.
inline double pg_normal_approximation(double h, double z, GeneratorState& g) {
  using namespace dispatch_constants;
  const double a = std::fabs(z);
  double mean, var;
  if (a < 0.001) {
    mean = (0.25 - (a * a) / 48.0) * h;
    // The exact series is h (1/24 - a^2/120 + ...); the stream has always
    // divided by 240, a difference below 1e-7 of the variance for a < 0.001.
    var = (ONE_TWENTYFOURTH - (a * a) / 240.0) * h;
  } else {
    const double T = std::tanh(a * 0.5);
    mean = ((h * 0.5) * T) / a;
    const double sh = std::sinh(a);
    // From |z| of about 38 on, 1 - T^2 rounds to 0 and the variance is 0.
    // Beyond about 710.5 sinh overflows and inf * 0 would turn that 0 into
    // NaN; the variance there is 0 all the same.
    var = std::isinf(sh) ? 0.0 : (((sh - a) * (h * 0.25)) * (1.0 - T * T)) / ((a * a) * a);
  }
  const double N = normal(g);
  return N * std::sqrt(var) + mean;
}

// PG(h, z) = (1/(2 pi^2)) sum_k G_k / ((k - 1/2)^2 + w^2), G_k ~ Gamma(h),
// w = |z|/(2 pi): 20 explicit terms and one gamma variate with the mean and
// variance of the rest of the sum.
inline double pg_gamma_series(double h, double z, GeneratorState& g) {
  using namespace dispatch_constants;
  const double w = std::fabs(z) / TWO_PI;
  double A = 0.0, S1 = 0.0, S2 = 0.0;
  for (int k = 1; k <= GAMMA_SERIES_TERMS; ++k) {
    const double kk = static_cast<double>(k) - 0.5;
    const double d = kk * kk + w * w;
    A += gamma(h, g) / d;
    S1 += 1.0 / d;
    S2 += 1.0 / (d * d);
  }
  double F1, F2;
  if (w < 0.0001) {
    F1 = PI_SQUARED_OVER_2;
    F2 = PI_FOURTH_OVER_6;
  } else {
    const double T = std::tanh(w * PI);
    const double Q = std::cosh(w * PI);
    F1 = (PI / (w + w)) * T;
    F2 =
        (T * PI) / ((w * 4.0) * (w * w)) - (((1.0 / Q) * PI_SQUARED) * (1.0 / Q)) / ((w * w) * 4.0);
  }
  const double s = h * INV_2PI_SQUARED;
  const double m = std::max(0.0, F1 - S1) * s;
  const double v = std::max(0.0, F2 - S2) * (s * INV_2PI_SQUARED);
  const double P = A * INV_2PI_SQUARED;
  if (m > 0.0 && v > 1e-300) return gamma((m * m) / v, g) * (v / m) + P;
  return m + P;
}

// Sum of n exact PG(1, z) draws, n = h (an integer shape; <= 0 gives 0).
inline double pg_devroye_sum(double h, double z, GeneratorState& g) {
  if (!(h > 0.0)) return 0.0;  // also keeps -inf away from the int conversion
  const int n = static_cast<int>(h);
  const DevroyeSetup setup = devroye_setup(z);
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += devroye_draw(setup, g);
  return sum;
}

// 4 < h < 8 (or NaN): whole pieces of 4 (h >= 5) or 3, then the remainder.
inline double pg_alternate_pieces(double h, double z, GeneratorState& g) {
  AlternateState s{};
  s.tilt = std::fabs(z) * 0.5;
  const double piece = h >= 5.0 ? 4.0 : 3.0;
  alternate_setup(s, piece, false);
  double sum = 0.0;
  while (h > 4.0) {
    sum += alternate_draw(s, g) * 0.25;
    h -= piece;
  }
  alternate_setup(s, h, true);
  return alternate_draw(s, g) * 0.25 + sum;
}

// One raw PG(h, z) draw; the caller clamps. The sign of z never matters.
inline double pg_sample(double h, double z, GeneratorState& g) {
  if (h > 50.0) return pg_normal_approximation(h, z, g);
  if (h >= 8.0) return saddle_point_draw(h, z, g);
  const double a = std::fabs(z);
  if (h == 1.0 || (h == std::floor(h) && h <= 4.0 && a <= 1.0)) return pg_devroye_sum(h, z, g);
  if (h < 1.0) return pg_gamma_series(h, z, g);
  if (h <= 4.0) {
    AlternateState s{};
    s.tilt = a * 0.5;
    alternate_setup(s, h, false);
    return alternate_draw(s, g) * 0.25;
  }
  return pg_alternate_pieces(h, z, g);
}

}  // namespace vexol
