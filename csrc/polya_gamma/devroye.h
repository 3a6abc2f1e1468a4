// Exact PG(1, z) draws by Devroye's alternating-series method for the
// Jacobi distribution J*(1, zeta), zeta = |z|/2 (PG(1, z) = J*(1, zeta)/4):
// L. Devroye, "On exact simulation algorithms for some distributions related
// to Jacobi theta functions", Statistics & Probability Letters 79, 2009, as
// used by N. G. Polson, J. G. Scott and J. Windle, "Bayesian inference for
// logistic models using Polya-Gamma latent variables", JASA 108, 2013.
#pragma once

#include <cmath>

#include "polya_gamma/math_constants.h"
#include "random/generator.h"
#include "random/ziggurat.h"

namespace vexol {

inline constexpr double DEVROYE_TRUNCATION = 0.64;
inline constexpr double DEVROYE_INV_SQRT_TRUNCATION = 1.25;  // sqrt(1/0.64)

namespace devroye_constants {
using math::PI;
using math::PI_SQUARED;
using math::PI_SQUARED_OVER_8;
using math::SQRT_HALF;
inline constexpr double MINUS_PI_SQUARED_OVER_4 = -2.4674011002723395;
inline constexpr double HALF_PI = 1.5707963267948966;
inline constexpr double FOUR_OVER_PI = 1.2732395447351628;
}  // namespace devroye_constants

namespace detail {

// Small tilt: proposals from the mu = infinity limit truncated to (0, t],
// accepted with probability exp(-x^2 X / 2).
inline double truncated_inverse_gaussian_small_tilt(double x, GeneratorState& g) {
  constexpr double t = DEVROYE_TRUNCATION;
  double X = 0.0;
  double alpha = 0.0;
  // alpha starts at 0 and every uniform is >= 1e-300, so the first uniform
  // never returns: it is part of the stream all the same.
  while (!(uniform_nonzero(g) <= alpha)) {
    double E1, E2;
    do {
      E1 = exponential(g);
      E2 = exponential(g);
    } while (E1 * E1 > (E2 + E2) / t);
    const double y = E1 * t + 1.0;
    X = t / (y * y);
    alpha = std::exp((x * (-0.5) * x) * X);
  }
  return X;
}

// Large tilt: inverse Gaussian IG(mu, 1) by transformation (Michael, Schucany
// and Haas, 1976), repeated until the draw lies in (0, t].
inline double truncated_inverse_gaussian_large_tilt(double mu, GeneratorState& g) {
  constexpr double t = DEVROYE_TRUNCATION;
  for (;;) {
    const double N = normal(g);
    const double q = (N * N) * mu;
    double X = (q * (mu * 0.5) + mu) - std::sqrt(q * q + q * 4.0) * (mu * 0.5);
    if (uniform_nonzero(g) > mu / (X + mu)) X = (mu * mu) / X;
    if (!(X > t)) return X;
  }
}

// x = |tilt| and mu = 1/x, given.
inline double truncated_inverse_gaussian(double x, double mu, GeneratorState& g) {
  if (mu > DEVROYE_TRUNCATION) return truncated_inverse_gaussian_small_tilt(x, g);
  return truncated_inverse_gaussian_large_tilt(mu, g);
}

}  // namespace detail

// IG(1/|tilt|, 1) conditioned on X <= 0.64. A tilt of 0 is allowed.
inline double truncated_inverse_gaussian_draw(double tilt, GeneratorState& g) {
  const double x = std::fabs(tilt);
  return detail::truncated_inverse_gaussian(x, 1.0 / x, g);
}

// What a draw needs from z, computed once per element: a sum of h draws
// with the same z (integer h) shares it, since the set-up costs as much as
// a typical draw (seven calls into libm).
struct DevroyeSetup {
  double zeta;  // |z| / 2
  double mu;    // 1 / zeta, the mean of the left proposal's inverse Gaussian
  double K;     // rate of the exponential right proposal
  double p;     // probability of proposing from the right piece
};

// The most set-ups devroye_setups computes one stage at a time.
inline constexpr int DEVROYE_SETUP_BATCH = 64;

// The set-ups of z[0, n). The probability p that an attempt proposes from
// the right piece (x > t) takes seven libm calls in a chain three deep;
// each stage is done for a batch of elements before the next, so that the
// calls of one stage do not wait for each other and the core overlaps them.
// The arithmetic of each element is the same whatever n. Both terms of the
// left mass are summed in logarithms so that K exp(K t) is never formed;
// for |z| above about 96.8 they overflow all the same and p is 0.
inline void devroye_setups(const double* z, int n, DevroyeSetup* out) {
  using namespace devroye_constants;
  constexpr double t = DEVROYE_TRUNCATION;
  constexpr double s = DEVROYE_INV_SQRT_TRUNCATION;
  for (int start = 0; start < n; start += DEVROYE_SETUP_BATCH) {
    const int m = n - start < DEVROYE_SETUP_BATCH ? n - start : DEVROYE_SETUP_BATCH;
    DevroyeSetup* o = out + start;
    double B[DEVROYE_SETUP_BATCH], L[DEVROYE_SETUP_BATCH], R[DEVROYE_SETUP_BATCH];
    for (int i = 0; i < m; ++i) {
      const double zeta = std::fabs(z[start + i]) * 0.5;
      const double K = (zeta * 0.5) * zeta + PI_SQUARED_OVER_8;
      o[i].zeta = zeta;
      o[i].mu = 1.0 / std::fabs(zeta);
      o[i].K = K;
      B[i] = std::log(K) + K * t;
    }
    for (int i = 0; i < m; ++i) L[i] = std::erfc(-((o[i].zeta * t - 1.0) * s) * SQRT_HALF);
    for (int i = 0; i < m; ++i) R[i] = std::erfc(((o[i].zeta * t + 1.0) * s) * SQRT_HALF);
    for (int i = 0; i < m; ++i) L[i] = std::log(0.5 * L[i]);
    for (int i = 0; i < m; ++i) R[i] = std::log(0.5 * R[i]);
    for (int i = 0; i < m; ++i) R[i] = std::exp(R[i] + (B[i] + o[i].zeta));  // f
    for (int i = 0; i < m; ++i) L[i] = std::exp(L[i] + (B[i] - o[i].zeta));  // g_l
    for (int i = 0; i < m; ++i) o[i].p = 1.0 / ((R[i] + L[i]) * FOUR_OVER_PI + 1.0);
  }
}

inline DevroyeSetup devroye_setup(double z) {
  DevroyeSetup s;
  devroye_setups(&z, 1, &s);
  return s;
}

// Probability that an attempt proposes from the right piece.
inline double devroye_right_probability(double z) { return devroye_setup(z).p; }

inline double devroye_draw(const DevroyeSetup& s, GeneratorState& g) {
  using namespace devroye_constants;
  constexpr double t = DEVROYE_TRUNCATION;
  const double zeta = s.zeta;
  const double K = s.K;
  const double p = s.p;

  for (;;) {
    double X;
    if (p > uniform_nonzero(g)) {
      X = exponential(g) / K + t;
    } else {
      X = detail::truncated_inverse_gaussian(std::fabs(zeta), s.mu, g);
    }

    // The side of the series is fixed for the whole attempt; X == t is left.
    const bool right = X > t;
    double left_factor = 0.0;
    double a;
    if (right) {
      a = std::exp(X * MINUS_PI_SQUARED_OVER_4 * 0.5) * HALF_PI;
    } else {
      left_factor = std::pow(2.0 / (X * PI), 1.5);
      a = left_factor * PI * 0.5 * std::exp(-0.5 / X);
    }
    const double Y = uniform_nonzero(g) * a;
    double S = a;

    for (int n = 1;; ++n) {
      const double m = static_cast<double>(n) + 0.5;
      if (right) {
        a = std::exp(((-m) * m) * PI_SQUARED * X * 0.5) * (m * PI);
      } else {
        a = left_factor * PI * m * std::exp((m * (-2.0)) * m / X);
      }
      if (n & 1) {
        S -= a;
        if (S >= Y) return X * 0.25;
      } else {
        S += a;
        if (S < Y) break;  // rejected: a new attempt
        // A sum that is not a number can never decide. This happens only
        // where the tilt is NaN (the proposal is NaN), infinite (the
        // proposal is 0) or so large that (2/(X pi))^1.5 overflows; the
        // proposal is then the best answer there is.
        if (std::isnan(S)) return X * 0.25;
      }
    }
  }
}

inline double devroye_draw(double z, GeneratorState& g) {
  return devroye_draw(devroye_setup(z), g);
}

}  // namespace vexol
