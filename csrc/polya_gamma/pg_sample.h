// One PG(h, z) draw: the per-element choice of method by the shape h and,
// for small integer shapes, by |z|.
//
//   h = +-inf                       NaN
//   h > 50                          normal approximation (moments matched)
//   8 <= h <= 50                    saddle-point approximation
//   h = 1; integer h <= 4, |z| <= 1 sums of exact Devroye PG(1, z) draws
//   h < 1                           truncated gamma series, moment-matched tail;
//                                   exact inversion where the series' error
//                                   shows (tiny h, large |z|)
//   other h <= 4                    exact alternate sampler, one piece
//   4 < h < 8                       alternate sampler in pieces of 3 or 4
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "polya_gamma/alternate.h"
#include "polya_gamma/devroye.h"
#include "polya_gamma/math_constants.h"
#include "polya_gamma/saddle_point.h"
#include "polya_gamma/small_shape_inversion.h"
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

// The method of one element and what its draw needs from h and z alone.
// pg_setup computes it just before the draw in pg_sample, and for a whole
// block ahead of the block's draws in pg_sample_block; the draws are the
// same either way, since nothing in a set-up touches the generator.
enum class PgMethod : int {
  kNaN,              // h = -inf: NaN without a generator output
  kNormal,           // h > 50 (and h = +inf, with NaN moments)
  kSaddlePoint,      // 8 <= h <= 50
  kDevroyeSum,       // h = 1; integer h <= 4 with |z| <= 1
  kGammaSeries,      // h < 1
  kSmallShapeExact,  // h < 1 where the series' law is visibly off
  kAlternate,        // other h <= 4
  kAlternatePieces,  // 4 < h < 8, and NaN h
};

// Normal draw with the exact mean h tanh(a/2)/(2a) and variance
// h (sinh a - a) sech^2(a/2)/(4 a^3), a = |z|.
struct NormalSetup {
  double mean;
  double sd;
};

// A sum of `count` exact PG(1, z) draws sharing one set-up.
struct DevroyeSumSetup {
  DevroyeSetup devroye;
  int count;
};

// PG(h, z) = (1/(2 pi^2)) sum_k G_k / ((k - 1/2)^2 + w^2), G_k ~ Gamma(h),
// w = |z|/(2 pi): GAMMA_SERIES_TERMS explicit terms and, if the rest of the
// sum has a positive mean m and variance v, one gamma variate with them.
struct GammaSeriesSetup {
  double h;
  double w;
  double mean;        // m, or the whole rest when there is no tail draw
  double tail_shape;  // m^2 / v
  double tail_scale;  // v / m
  bool tail_draw;
};

// Exact inversion of the distribution function for 0 < h < 1, one uniform
// per draw.
struct SmallShapeExactSetup {
  double h;
  double z;
};

// 4 < h < 8 (or NaN): `count` whole pieces (4 from h = 5 on, else 3), then
// the remainder, from a second set-up of the same state.
struct AlternatePiecesSetup {
  AlternateState piece;
  AlternateState rest;
  int count;
};

struct PgSetup {
  PgMethod method;
  union {
    NormalSetup normal;
    SaddlePointSetup saddle_point;
    DevroyeSumSetup devroye_sum;
    GammaSeriesSetup gamma_series;
    SmallShapeExactSetup small_shape;
    AlternateState alternate;
    AlternatePiecesSetup pieces;
  };
};

namespace detail {

// From this tilt on the variance is formed without 1 - tanh^2(a/2), whose
// digits cancel as tanh(a/2) nears 1 (relative error about 3e-17 e^a: 1e-6
// near a = 25, all of it from a = 38.1, where the variance rounded to 0 and
// every draw was the mean). Below it the old form's error is far under the
// normal approximation's own, and its draws keep their bits.
inline constexpr double NORMAL_STABLE_TILT = 24.0;

// sd of PG(h, z) for a = |z| >= NORMAL_STABLE_TILT, finite: with
// sinh(a) sech^2(a/2) = 2 tanh(a/2), var = h (2 tanh(a/2) - a sech^2(a/2))
// / (4 a^3), and sech^2(a/2) = 4 e^-a / (1 + e^-a)^2, which neither cancels
// nor overflows. The root is taken before the last division by a so that
// a^3 never overflows.
inline double normal_large_tilt_sd(double h, double a) {
  const double e = std::exp(-a);
  const double sech2 = (4.0 * e) / ((1.0 + e) * (1.0 + e));
  const double T = std::tanh(a * 0.5);
  return std::sqrt(((h * 0.25) * (2.0 * T - a * sech2)) / a) / a;
}

inline void normal_setup(double h, double z, NormalSetup& out) {
  using namespace dispatch_constants;
  const double a = std::fabs(z);
  if (a >= NORMAL_STABLE_TILT && a <= std::numeric_limits<double>::max()) {
    out.mean = ((h * 0.5) * std::tanh(a * 0.5)) / a;
    out.sd = normal_large_tilt_sd(h, a);
    return;
  }
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
    // An infinite tilt (the only a left here that makes sinh overflow) has
    // the point mass at 0: variance 0, where inf * 0 would be NaN. For huge
    // h, (sinh a - a) h / 4 alone can overflow while the variance is finite:
    // then the small factor goes first. Every other case keeps the stream's
    // order of operations.
    const double scaled = (sh - a) * (h * 0.25);
    if (std::isinf(sh)) {
      var = 0.0;
    } else if (std::isinf(scaled)) {
      var = (((sh - a) * (1.0 - T * T)) * (h * 0.25)) / ((a * a) * a);
    } else {
      var = (scaled * (1.0 - T * T)) / ((a * a) * a);
    }
  }
  out.mean = mean;
  out.sd = std::sqrt(var);
}

// The gamma series replaces all but 20 terms by one moment-matched gamma
// variate. Its Kolmogorov distance from the law, measured at 2-4 million
// draws against the exact distribution function, passes three times the
// noise of a 10^6-draw test (0.0026) for shapes below about 0.06 (0.003 at
// h = 0.05, 0.08 at 0.01, 0.55 at 0.001, where most draws sat at the
// floor), and from tilts of about 70 (0.0026 at h = 0.1, 0.0047 at h = 0.5
// and |z| = 300), where the rest of the series carries most of the law.
// Below 0.1 or above 50 the draw is therefore exact, by inversion; the
// series keeps the rest, where its distance is at most 0.0018 (h = 0.1,
// |z| = 50). An infinite tilt stays with the series: both give the floor,
// and the series keeps the stream after it as it was.
inline constexpr double GAMMA_SERIES_MIN_SHAPE = 0.1;
inline constexpr double GAMMA_SERIES_MAX_TILT = 50.0;

inline bool gamma_series_visibly_off(double h, double a) {
  return h < GAMMA_SERIES_MIN_SHAPE ||
         (a > GAMMA_SERIES_MAX_TILT && a <= std::numeric_limits<double>::max());
}

inline void gamma_series_setup(double h, double z, GammaSeriesSetup& out) {
  using namespace dispatch_constants;
  const double w = std::fabs(z) / TWO_PI;
  double S1 = 0.0, S2 = 0.0;
  for (int k = 1; k <= GAMMA_SERIES_TERMS; ++k) {
    const double kk = static_cast<double>(k) - 0.5;
    const double d = kk * kk + w * w;
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
  out.h = h;
  out.w = w;
  out.mean = m;
  out.tail_draw = m > 0.0 && v > 1e-300;
  if (out.tail_draw) {
    out.tail_shape = (m * m) / v;
    out.tail_scale = v / m;
  }
}

inline double gamma_series_draw(const GammaSeriesSetup& s, GeneratorState& g) {
  const double w = s.w;
  double A = 0.0;
  for (int k = 1; k <= GAMMA_SERIES_TERMS; ++k) {
    const double kk = static_cast<double>(k) - 0.5;
    A += gamma(s.h, g) / (kk * kk + w * w);
  }
  const double P = A * dispatch_constants::INV_2PI_SQUARED;
  if (s.tail_draw) return gamma(s.tail_shape, g) * s.tail_scale + P;
  return s.mean + P;
}

inline void alternate_pieces_setup(double h, double z, AlternatePiecesSetup& out) {
  AlternateState& s = out.piece;
  s = AlternateState{};
  s.tilt = std::fabs(z) * 0.5;
  const double piece = h >= 5.0 ? 4.0 : 3.0;
  alternate_setup(s, piece, false);
  int count = 0;
  while (h > 4.0) {
    ++count;
    h -= piece;
  }
  out.count = count;
  // The draws change only x and log_x, which no set-up reads: setting up
  // a copy now gives the state the remainder's draw has always had.
  out.rest = s;
  alternate_setup(out.rest, h, true);
}

}  // namespace detail

// pg_setup but for the Devroye set-up of a kDevroyeSum element with draws
// to make, which the caller completes: true for such an element.
// pg_sample_block completes them for a whole block at once.
inline bool pg_setup_but_devroye(double h, double z, PgSetup& out) {
  // -0.0 is the shape 0, whose law is the point mass at 0; without this it
  // took the gamma series for |z| > 1, where its sign made the draw inf.
  if (h == 0.0) h = 0.0;
  if (std::isinf(h)) {
    // No PG law has an infinite shape: NaN. h = +inf has always taken the
    // normal approximation, which draws one normal for every element, and
    // -inf no output at all; both keep doing so, so that the draws of the
    // elements after an infinite shape stay what they were.
    if (h > 0.0) {
      out.method = PgMethod::kNormal;
      out.normal.mean = std::numeric_limits<double>::quiet_NaN();
      out.normal.sd = std::numeric_limits<double>::quiet_NaN();
    } else {
      out.method = PgMethod::kNaN;
    }
    return false;
  }
  if (h > 50.0) {
    out.method = PgMethod::kNormal;
    detail::normal_setup(h, z, out.normal);
    return false;
  }
  if (h >= 8.0) {
    out.method = PgMethod::kSaddlePoint;
    saddle_point_setup(h, z, out.saddle_point);
    return false;
  }
  const double a = std::fabs(z);
  if (h == 1.0 || (h == std::floor(h) && h <= 4.0 && a <= 1.0)) {
    // An integer shape <= 0 sums no draws: 0.
    out.method = PgMethod::kDevroyeSum;
    out.devroye_sum.count = h > 0.0 ? static_cast<int>(h) : 0;
    return h > 0.0;
  }
  if (h < 1.0) {
    if (h > 0.0 && detail::gamma_series_visibly_off(h, a)) {
      out.method = PgMethod::kSmallShapeExact;
      out.small_shape = SmallShapeExactSetup{h, z};
      return false;
    }
    out.method = PgMethod::kGammaSeries;
    detail::gamma_series_setup(h, z, out.gamma_series);
    return false;
  }
  if (h <= 4.0) {
    out.method = PgMethod::kAlternate;
    out.alternate = AlternateState{};
    out.alternate.tilt = a * 0.5;
    alternate_setup(out.alternate, h, false);
    return false;
  }
  out.method = PgMethod::kAlternatePieces;
  detail::alternate_pieces_setup(h, z, out.pieces);
  return false;
}

// What the draw of PG(h, z) needs, and by which method.
inline void pg_setup(double h, double z, PgSetup& out) {
  if (pg_setup_but_devroye(h, z, out)) out.devroye_sum.devroye = devroye_setup(z);
}

// One raw draw from a set-up (whose scratch fields it overwrites); the
// caller clamps.
inline double pg_draw(PgSetup& s, GeneratorState& g) {
  switch (s.method) {
    case PgMethod::kNormal:
      return normal(g) * s.normal.sd + s.normal.mean;
    case PgMethod::kSaddlePoint:
      return saddle_point_draw(s.saddle_point, g);
    case PgMethod::kDevroyeSum: {
      double sum = 0.0;
      for (int i = 0; i < s.devroye_sum.count; ++i) sum += devroye_draw(s.devroye_sum.devroye, g);
      return sum;
    }
    case PgMethod::kGammaSeries:
      return detail::gamma_series_draw(s.gamma_series, g);
    case PgMethod::kSmallShapeExact:
      return small_shape_exact_draw(s.small_shape.h, s.small_shape.z, g);
    case PgMethod::kAlternate:
      return alternate_draw(s.alternate, g) * 0.25;
    case PgMethod::kAlternatePieces: {
      double sum = 0.0;
      for (int i = 0; i < s.pieces.count; ++i) sum += alternate_draw(s.pieces.piece, g) * 0.25;
      return alternate_draw(s.pieces.rest, g) * 0.25 + sum;
    }
    case PgMethod::kNaN:
      break;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

// One raw PG(h, z) draw; the caller clamps. The sign of z never matters.
inline double pg_sample(double h, double z, GeneratorState& g) {
  PgSetup s;
  pg_setup(h, z, s);
  return pg_draw(s, g);
}

}  // namespace vexol
