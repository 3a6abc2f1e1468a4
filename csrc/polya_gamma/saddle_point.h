// Approximate PG(h, z) draws for middle shapes (8 <= h <= 50) by sampling
// the saddle-point approximation of the density of J(h, c)/h, c = |z|/2, by
// rejection from a two-piece envelope (inverse Gaussian left of a split
// point, gamma right of it): J. Windle, N. G. Polson and J. G. Scott,
// "Sampling Polya-Gamma random variates: alternate and approximate
// techniques", arXiv:1405.0506, 2014, section 4.
#pragma once

#include <algorithm>
#include <cmath>

#include "polya_gamma/draw_floor.h"
#include "polya_gamma/gamma_tail.h"
#include "polya_gamma/incomplete_gamma.h"
#include "polya_gamma/math_constants.h"
#include "random/generator.h"
#include "random/ziggurat.h"

namespace vexol {

// The two-piece envelope and the target's constants; `x` is the point at
// which saddle_point_envelope evaluates the envelope.
struct SaddlePointState {
  double right_constant;
  double left_constant;
  double right_slope;
  double left_slope;
  double right_multiplier;
  double left_multiplier;
  double log_cosh_tilt;
  double half_tilt_squared;
  double log_split;
  double split;
  double shape;
  double x;
};

// phi' and phi'' at the last point evaluated by the Newton solve.
struct SaddlePointDerivatives {
  double value;
  double slope;
};

namespace saddle_point_constants {
inline constexpr double SPLIT_FACTOR = 2.75;
inline constexpr double TANGENT_FACTOR = 3.0;
inline constexpr double LOG_SPLIT_FACTOR = 1.0116009116784799;
inline constexpr double LOG_TANGENT_FACTOR = 1.0986122886681098;
inline constexpr double INV_2PI = 0.15915494309189535;
using math::SQRT_HALF;
inline constexpr double NEWTON_TOLERANCE = 1e-05;
inline constexpr double SMALL_ARGUMENT = 1e-12;
inline constexpr int NEWTON_STEP_LIMIT = 25;
// Beyond this |z| the envelope and the target lose every significant digit
// to cancellation ((eta + u) X against phi(u), both of order |z|).
inline constexpr double TILT_LIMIT = 1e10;
}  // namespace saddle_point_constants

// tanh(x)/x for x >= 0 by a rational approximation; no call to tanh.
inline double tanh_over_x(double x) {
  if (x > 4.95) return 1.0 / x;
  const double y = x * x;
  return (((-99.22592967223608 - y * 0.9643749277722548) * y - 1613.4119023996227) * y) /
             (((y + 112.74474380534949) * y + 2233.7720718962314) * y + 4840.235707198869) +
         1.0;
}

inline double saddle_point_initial_guess(double x) {
  if (x <= 0.25) return -9.0;
  if (x <= 0.5) return -1.78;
  if (x <= 1.0) return -0.147;
  if (x <= 1.5) return 0.345;
  if (x <= 2.5) return 0.72;
  if (x <= 4.0) return 0.95;
  return 1.15;
}

// Newton's method on phi'(u) = x from u0, at most 25 steps.
inline double solve_saddle_point(double x, double u0, SaddlePointDerivatives& out) {
  using namespace saddle_point_constants;
  double u = u0;
  int steps = 0;
  for (;;) {
    const double s = u + u;
    double d;
    if (s < 0.0) {
      d = tanh_over_x(std::sqrt(-s));
    } else if (s > 0.0) {
      const double r = std::sqrt(s);
      d = std::tan(r) / r;
    } else {
      d = 1.0;
    }
    const double slope = std::fabs(s) < SMALL_ARGUMENT ? 2.0 / 3.0 : (1.0 - d) / s + d * d;
    out.value = d;
    out.slope = slope;
    if (std::fabs(d - x) <= NEWTON_TOLERANCE || slope <= NEWTON_TOLERANCE) return u;
    const double u_new = u - (d - x) / slope;
    if (std::fabs(u_new - u) > NEWTON_TOLERANCE * std::fabs(u_new) + NEWTON_TOLERANCE &&
        ++steps < NEWTON_STEP_LIMIT) {
      u = u_new;
      continue;
    }
    return u_new;
  }
}

// ln cosh x. Where cosh overflows (|x| above about 710.5) the same value
// comes from |x| - ln 2 + ln(1 + e^(-2|x|)); below, nothing changes.
inline double log_cosh(double x) {
  const double c = std::cosh(x);
  if (!std::isinf(c)) return std::log(c);
  const double a = std::fabs(x);
  return (a - math::LOG_2) + std::log1p(std::exp(-2.0 * a));
}

// phi(u) = log cosh(c) - log cos(sqrt(2u)), continued analytically for u < 0.
inline double saddle_point_cumulant(double u, const SaddlePointState& s) {
  if (u < 0.0) return s.log_cosh_tilt - log_cosh(std::sqrt(u * (-2.0)));
  if (u > 0.0) return s.log_cosh_tilt - std::log(std::cos(std::sqrt(u + u)));
  return s.log_cosh_tilt;
}

inline double saddle_point_envelope(const SaddlePointState& s) {
  const double X = s.x;
  const double h = s.shape;
  const double l = std::log(X);
  if (X > s.split) {
    return std::exp(((X * s.right_slope + s.right_constant) + s.log_split) * h + (h - 1.0) * l) *
           s.right_multiplier;
  }
  return std::exp(
             ((X * s.left_slope + s.left_constant) * h + (1.0 / s.split - 1.0 / X) * (h * 0.5)) -
             1.5 * l) *
         s.left_multiplier;
}

// Everything a draw needs from h and z, computed before it: the envelope,
// the probability of its left piece and the two pieces' parameters.
struct SaddlePointSetup {
  enum Kind : int {
    kEnvelope,   // rejection from the two-piece envelope
    kZero,       // infinite tilt: the limit 0, no generator output
    kLargeTilt,  // |z| > TILT_LIMIT: one normal draw (mean, sd)
  };
  Kind kind;
  SaddlePointState state;
  double left_probability;
  double mu;              // left piece: inverse Gaussian with mean mu and shape h
  double F;               // 1 / mu
  double lambda_r;        // right piece: gamma with rate lambda_r
  double density_factor;  // sqrt(h / (2 pi))
  double mean;            // kLargeTilt
  double sd;              // kLargeTilt
};

inline void saddle_point_setup(double h, double z, SaddlePointSetup& out) {
  using namespace saddle_point_constants;
  // The limit of PG(h, z) as |z| grows without bound.
  if (std::isinf(z)) {
    out.kind = SaddlePointSetup::kZero;
    return;
  }
  if (std::fabs(z) > TILT_LIMIT) {
    // For |z| beyond TILT_LIMIT, PG(h, z) has mean h/(2|z|) and variance
    // h/(2|z|^3) to double precision, a relative spread below 1e-5: one
    // normal draw with those moments.
    const double a = std::fabs(z);
    out.kind = SaddlePointSetup::kLargeTilt;
    out.mean = (h * 0.5) / a;
    out.sd = std::sqrt((h * 0.5) / a) / a;
    return;
  }
  out.kind = SaddlePointSetup::kEnvelope;

  SaddlePointState& st = out.state;
  st = SaddlePointState{};
  const double c = std::fabs(z) * 0.5;
  double rho = 1.0, log_rho = 0.0, eta = 0.0, kappa = 0.0;
  if (c > 0.0) {
    rho = tanh_over_x(c);
    log_rho = std::log(rho);
    eta = (c * 0.5) * c;
    kappa = log_cosh(c);
  }
  st.half_tilt_squared = eta;
  st.log_cosh_tilt = kappa;
  st.shape = h;

  const double xc = rho * SPLIT_FACTOR;
  st.split = xc;
  const double xr = rho * TANGENT_FACTOR;
  SaddlePointDerivatives derivatives;
  const double u_r = solve_saddle_point(xr, saddle_point_initial_guess(xr), derivatives);
  solve_saddle_point(xc, saddle_point_initial_guess(xc), derivatives);
  const double slope_at_split = derivatives.slope;

  st.left_slope = ((1.0 / rho) * (1.0 / rho)) * (-0.5);
  const double r = saddle_point_cumulant(-eta, st);
  st.left_constant = (r - (1.0 / xc) * 0.5) + 1.0 / rho;
  st.log_split = log_rho + LOG_SPLIT_FACTOR;
  st.right_slope = -(u_r + eta) - 1.0 / xr;
  const double K_r = saddle_point_cumulant(u_r, st);
  st.right_constant = (((K_r + 1.0) - LOG_TANGENT_FACTOR) - log_rho) + st.log_split;

  const double w = ((1.0 / xc) * (1.0 / xc)) * slope_at_split;
  const double B = 1.0 / std::sqrt(w * (1.0 / xc));
  const double D = std::sqrt(h * INV_2PI);
  out.density_factor = D;
  st.left_multiplier = D * B;
  st.right_multiplier = D / std::sqrt(w);

  // Left piece: inverse Gaussian with mean mu and shape h, below xc.
  const double F = std::sqrt(st.left_slope * (-2.0));
  const double mu = 1.0 / F;
  out.F = F;
  out.mu = mu;
  const double G = std::sqrt(xc / h);
  const double I = std::log1p(std::erfc(((xc / mu - 1.0) / G) * SQRT_HALF) * (-0.5));
  const double I2 = std::log1p(std::erfc((-(xc / mu + 1.0) / G) * SQRT_HALF) * (-0.5));
  const double left_mass = std::exp((std::log1p(std::exp((I2 + 2.0 / (mu / h)) - I)) + I) +
                                    (((0.5 / xc) + st.left_constant) - F) * h) *
                           B;
  // Right piece: gamma with rate lambda_r, above xc.
  const double lambda_r = (-h) * st.right_slope;
  out.lambda_r = lambda_r;
  const double log_rate_term = (st.right_constant - std::log(lambda_r)) * h;
  double right_mass = std::exp(log_rate_term) *
                      (upper_incomplete_gamma(h, xc * lambda_r, false) * st.right_multiplier);
  if (std::isnan(right_mass)) {
    // For large h |z| the first factor overflows exactly where the
    // incomplete gamma underflows, and inf * 0 would make every attempt
    // propose from the right piece. The product is tiny: take it in logs.
    right_mass = std::exp(log_rate_term + log_upper_incomplete_gamma(h, xc * lambda_r) +
                          std::log(st.right_multiplier));
  }
  out.left_probability = left_mass / (right_mass + left_mass);
}

// One proposal X from the two-piece envelope of a kEnvelope set-up.
inline double saddle_point_propose(const SaddlePointSetup& s, GeneratorState& g) {
  const double h = s.state.shape;
  const double xc = s.state.split;
  const double mu = s.mu;
  const double F = s.F;
  double X;
  if (s.left_probability > uniform_nonzero(g)) {
    do {
      const double N = normal(g);
      X = ((((mu * mu) * 0.5) * N) * N) / h + mu;
      X = X - std::sqrt(std::fabs(X * X - mu * mu));
      if (uniform_nonzero(g) * (X * F + 1.0) > 1.0) X = (mu * mu) / X;
    } while (!(X < xc));
  } else {
    X = draw_gamma_tail(h, s.lambda_r, xc, g);
  }
  return X;
}

// One draw from a set-up; `s.state.x` is overwritten.
inline double saddle_point_draw(SaddlePointSetup& s, GeneratorState& g) {
  using namespace saddle_point_constants;
  if (s.kind == SaddlePointSetup::kZero) return 0.0;
  if (s.kind == SaddlePointSetup::kLargeTilt) {
    return clamp_draw(normal(g) * s.sd + s.mean);
  }
  SaddlePointState& st = s.state;
  const double h = st.shape;
  const double eta = st.half_tilt_squared;
  const double D = s.density_factor;
  SaddlePointDerivatives derivatives;
  for (;;) {
    const double X = saddle_point_propose(s, g);
    st.x = X;

    const double u = solve_saddle_point(X, saddle_point_initial_guess(X), derivatives);
    const double Q = saddle_point_envelope(st);
    const double T = Q * uniform_nonzero(g);
    const double P = (std::exp((saddle_point_cumulant(u, st) - (eta + u) * X) * h) * D) /
                     std::sqrt(derivatives.slope);
    // A P that is not a number accepts.
    if (T > P) continue;
    return clamp_draw((h * 0.25) * X);
  }
}

inline double saddle_point_draw(double h, double z, GeneratorState& g) {
  SaddlePointSetup s;
  saddle_point_setup(h, z, s);
  return saddle_point_draw(s, g);
}

}  // namespace vexol
