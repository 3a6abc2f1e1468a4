// Exact J*(h, c) draws for shapes 1 <= h <= 4 (J* = 4 PG(h, 2c)) by the
// alternate method of J. Windle, N. G. Polson and J. G. Scott, "Sampling
// Polya-Gamma random variates: alternate and approximate techniques",
// arXiv:1405.0506, 2014: rejection from an inverse-Gaussian (or Levy) piece
// on (0, t] and a gamma piece on (t, inf), decided by the alternating series
// of the density of J(h), summed in single precision.
#pragma once

#include <cmath>
#include <limits>

#include "polya_gamma/gamma_tail.h"
#include "polya_gamma/incomplete_gamma.h"
#include "polya_gamma/math_constants.h"
#include "random/generator.h"
#include "random/log_gamma.h"
#include "random/ziggurat.h"

namespace vexol {

// Everything one element's draws need, set up once per shape and tilt. The
// caller zero-fills it and sets `tilt` before the first set-up.
struct AlternateState {
  float right_probability;
  double log_rate;
  double rate;
  double half_h_squared;
  double log_gamma_h;
  double h_log2;
  double inv_truncation;
  double log_x;
  double mean_squared;
  double mean;
  double tilt_squared;
  double shape;
  double tilt;
  double x;
  double truncation;
};

namespace alternate_constants {
using math::PI_SQUARED_OVER_8;
inline constexpr double LOG_HALF_PI = 0.4515827052894549;
using math::LOG_2;
inline constexpr double LOG_SQRT_2PI = 0.9189385332046728;
// 1/sqrt(2) one ulp below the correctly rounded math::SQRT_HALF, as the
// alternate set-up's left mass has always been computed. It reaches the
// draws only through the right-piece probability rounded to float, which the
// other constant leaves unchanged on every one of 3.4 million set-ups tried
// (h = 1..4, |z| up to 40); a set-up next to a float rounding boundary could
// still tell them apart, so the stream keeps its own constant.
inline constexpr double INV_SQRT_2_ALTERNATE = 0.7071067811865475;
}  // namespace alternate_constants

// Truncation point t for h = 1 + k/8, k = 0..24.
inline constexpr double TRUNCATION_TABLE[25] = {
    1.273239366, 1.901515423, 2.281992126, 2.607829551, 2.910421526, 3.200449543, 3.482766779,
    3.759955106, 4.033540671, 4.304486011, 4.573437633, 4.840840644, 5.107017272, 5.372204821,
    5.636581947, 5.900288573, 6.163432428, 6.42609433,  6.688351603, 6.950254767, 7.211854235,
    7.473186206, 7.734284136, 7.995175158, 8.255882407};

// ln(n!) for n = 0..15.
inline constexpr double LOG_FACTORIAL[16] = {0.0,
                                             0.0,
                                             0.6931471805599453,
                                             1.791759469228055,
                                             3.1780538303479458,
                                             4.787491742782046,
                                             6.579251212010101,
                                             8.525161361065415,
                                             10.60460290274525,
                                             12.801827480081469,
                                             15.104412573075516,
                                             17.502307845873887,
                                             19.987214495661885,
                                             22.552163853123425,
                                             25.19122118273868,
                                             27.89927138384089};

// Linear interpolation in the table; a NaN shape gives NaN rather than an
// index outside it.
inline double alternate_truncation_point(double h) {
  if (h <= 1.0) return TRUNCATION_TABLE[0];
  if (h >= 4.0) return TRUNCATION_TABLE[24];
  if (std::isnan(h)) return h;
  const double b = (h - 1.0) * 8.0;
  const int k = static_cast<int>(b);
  return TRUNCATION_TABLE[k] + (TRUNCATION_TABLE[k + 1] - TRUNCATION_TABLE[k]) * (b - k);
}

// Fills `s` for shape h and the tilt already in `s.tilt`. With `remainder`
// the values that depend on the tilt alone are kept from an earlier set-up.
inline void alternate_setup(AlternateState& s, double h, bool remainder) {
  using namespace alternate_constants;
  const double t = alternate_truncation_point(h);
  s.shape = h;
  s.truncation = t;
  s.inv_truncation = 1.0 / t;
  s.half_h_squared = (h * 0.5) * h;
  s.log_gamma_h = log_gamma(h);
  s.h_log2 = h * LOG_2;

  const double c = s.tilt;
  double left_mass;
  if (c > 0.0) {
    if (!remainder) {
      s.tilt_squared = c * c;
      s.rate = s.tilt_squared * 0.5 + PI_SQUARED_OVER_8;
      s.log_rate = std::log(s.rate);
    }
    s.mean = h / c;
    s.mean_squared = s.mean * s.mean;
    const double root_t = std::sqrt(t);
    const double a = h * INV_SQRT_2_ALTERNATE / root_t;
    const double b = root_t * c * INV_SQRT_2_ALTERNATE;
    const double E = std::exp(h * c);
    left_mass =
        std::exp(s.h_log2 - h * c) * ((std::erfc(a - b) + (std::erfc(a + b) * E) * E) * 0.5);
  } else {
    if (!remainder) {
      s.rate = PI_SQUARED_OVER_8;
      s.log_rate = std::log(PI_SQUARED_OVER_8);
    }
    left_mass = std::erfc(h / std::sqrt(t + t)) * std::exp(s.h_log2);
  }
  const double right_mass =
      upper_incomplete_gamma(h, s.rate * t, true) * std::exp((LOG_HALF_PI - s.log_rate) * h);
  s.right_probability = static_cast<float>(right_mass / (right_mass + left_mass));
}

// Left piece for tilt > 0: the inverse Gaussian with mean `mean` and shape
// h^2 restricted to (0, t). The result is left in `s.x`.
inline void alternate_draw_left(AlternateState& s, GeneratorState& g) {
  const double t = s.truncation;
  const double mu = s.mean;
  if (mu > t) {
    // Levy proposals restricted to (0, t), accepted with prob. exp(-c^2 X/2).
    do {
      s.x = 1.0 / draw_gamma_tail(0.5, s.half_h_squared, s.inv_truncation, g);
    } while (!(std::log1p(-uniform_nonzero(g)) < (s.tilt_squared * (-0.5)) * s.x));
    return;
  }
  // The whole inverse Gaussian by transformation, rejected until below t.
  // Both draws are made even when no swap follows.
  do {
    const double N = normal(g);
    const double y = ((N * 0.5) * N) / s.tilt_squared + mu;
    double X = y - std::sqrt(std::fabs(y * y - s.mean_squared));
    s.x = X;
    if ((X + mu) * uniform_nonzero(g) > mu) {
      X = s.mean_squared / X;
      s.x = X;
    }
  } while (!(s.x < t));
}

namespace detail {

// The n-th term of the alternating series of the density of J(h) at X,
// without the tilt factor exp(-c^2 X/2), which the proposal already carries.
inline float alternate_series_term(const AlternateState& s, int n) {
  using namespace alternate_constants;
  const double h = s.shape;
  const double k = static_cast<double>(n + n) + h;
  const double log_n_factorial = n < 16 ? LOG_FACTORIAL[n] : log_gamma(n + 1.0);
  const double L = n == 0 ? 0.0 : log_gamma(n + h) - s.log_gamma_h;
  const double e =
      ((((L + s.h_log2) - log_n_factorial) - LOG_SQRT_2PI) - 1.5 * s.log_x) - ((k * 0.5) * k) / s.x;
  return static_cast<float>(k * std::exp(e));
}

// The envelope at X, in double, rounded to float by the caller.
inline double alternate_envelope(const AlternateState& s) {
  using namespace alternate_constants;
  const double h = s.shape;
  const double X = s.x;
  if (X > s.truncation) {
    return std::exp((((h - 1.0) * s.log_x + h * LOG_HALF_PI) - X * PI_SQUARED_OVER_8) -
                    s.log_gamma_h);
  }
  if (X > 0.0) {
    return h * std::exp(((s.h_log2 - s.half_h_squared / X) - 1.5 * s.log_x) - LOG_SQRT_2PI);
  }
  return 0.0;
}

}  // namespace detail

// One draw of J*(h, c) from a set-up state.
inline double alternate_draw(AlternateState& s, GeneratorState& g) {
  // No draw is defined for a NaN shape (its set-up is NaN throughout); an
  // infinite tilt has the limit 0.
  if (std::isnan(s.shape)) return s.shape;
  if (std::isinf(s.tilt)) return 0.0;

  const double h = s.shape;
  const double t = s.truncation;
  for (;;) {
    const double U1 = uniform_nonzero(g);
    double X;
    if (static_cast<double>(s.right_probability) >= U1) {
      X = draw_gamma_tail(h, s.rate, t, g);
    } else if (s.tilt > 0.0) {
      alternate_draw_left(s, g);
      X = s.x;
    } else {
      X = 1.0 / draw_gamma_tail(0.5, s.half_h_squared, s.inv_truncation, g);
    }
    s.x = X;
    s.log_x = std::log(X);

    const float U2 = static_cast<float>(uniform_nonzero(g));
    const float A = U2 * static_cast<float>(detail::alternate_envelope(s));

    float S = detail::alternate_series_term(s, 0);
    for (int n = 1;; ++n) {
      const float a = detail::alternate_series_term(s, n);
      const float previous = S;
      if (n & 1) {
        S = previous - a;
        if (previous >= S && S >= A) return X;
      } else {
        S = previous + a;
        if (previous >= S && A > S) break;  // rejected: a new attempt
        // A sum or threshold that is not a number can never decide. This
        // happens only for tilts so large that the proposal underflows to
        // 0; the proposal is then the answer.
        if (std::isnan(S) || std::isnan(A)) return X;
      }
    }
  }
}

}  // namespace vexol
