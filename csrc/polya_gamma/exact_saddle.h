// Exact PG(h, z) draws for large h at about the cost of the saddle-point
// approximation.
//
// The saddle-point sampler (saddle_point.h) proposes X = 4x/h from a
// two-piece envelope Q and accepts it when U Q(X) <= P(X), P the
// saddle-point approximation s of the density of X (Daniels, "Saddlepoint
// approximations in statistics", Ann. Math. Statist. 25, 1954; J. Windle,
// N. G. Polson and J. G. Scott, arXiv:1405.0506, section 4, for the
// envelope). Here it is accepted when U Q(X) <= P(X) r(X) instead, with
// r = p/s the ratio of the law's own density to the approximation, so that
// the accepted X have density p exactly (von Neumann's rejection, with the
// same uniform). Exponential tilting multiplies p and s by one factor, so r
// depends on h and X only, and on the whole support
//
//     1 - RATIO_SPREAD/h <= r(X) <= 1
//
// (validation/saddle_ratio_bound.py establishes both against an
// arbitrary-precision evaluation of p: the worst case is the gamma-like right
// tail, where r tends to Stirling's 1/(1 + 1/(12h) + ...); the left tail
// tends to the inverse Gaussian's exact r = 1). Hence U Q > P rejects and
// U Q <= P (1 - RATIO_SPREAD/h) accepts without r; only in between, with
// probability below RATIO_SPREAD/h per proposal, is r computed: by the
// trapezoidal rule along the parabola through the saddle point that the
// density uses (vexol/_density_contour.py), relative to its Gaussian term,
// which cancels the large factors of p and s analytically.
//
// P is evaluated at the saddle point solved to the last bit (the envelope's
// own Newton solve stops at 1e-5, which for large h moves P by a factor
// exp(h 1e-10)). What remains of floating point is the rounding of the
// exponents h (...) of P and Q, a relative error of a few times h 1e-16 in
// the density of the draws (1e-10 at h = 1e6).
#pragma once

#include <cmath>

#include "polya_gamma/saddle_point.h"
#include "random/generator.h"

namespace vexol {

namespace exact_saddle_constants {
// r >= 1 - RATIO_SPREAD/h; the largest h (1 - r) found is 1/12 = 0.0833.
inline constexpr double RATIO_SPREAD = 0.09;
// The contour's trapezoid: step in units of the integrand's width, the
// parabola's bend, and nodes t = k STEP for k < NODES (the integrand is
// below e^-40 of its peak past the twelfth; 16 leave a wide margin on a
// path that is taken about once in 10 h draws).
inline constexpr double STEP = 0.65;
inline constexpr double BEND = 0.4;
inline constexpr int NODES = 16;
inline constexpr double SQRT_2_OVER_PI = 0.7978845608028654;
// Below this |2u| the saddle point's m and slope come from their series
// (truncated below 1e-17 of either); above it their closed forms lose at
// most a few times 1e-15 to cancellation.
inline constexpr double SERIES_ARGUMENT = 0.1;
// tan(r)/r = sum_k TAN_SERIES[k] s^k, s = r^2 (2^(2k+2) (2^(2k+2) - 1)
// |B_(2k+2)| / (2k+2)!), convergent for |s| < pi^2/4.
inline constexpr int TAN_SERIES_TERMS = 15;
inline constexpr double TAN_SERIES[TAN_SERIES_TERMS] = {
    1.0,
    0.3333333333333333,
    0.13333333333333333,
    0.05396825396825397,
    0.021869488536155203,
    0.008863235529902197,
    0.003592128036572481,
    0.0014558343870513183,
    0.000590027440945586,
    0.00023912911424355248,
    9.691537956929451e-05,
    3.927832388331683e-05,
    1.5918905069328964e-05,
    6.451689215655431e-06,
    2.6147711512907546e-06,
};
// Past this sqrt(w0) in the left tail, r = 1 to far below double
// precision: the terms beyond the inverse Gaussian's are of relative size
// e^(-2 sqrt(w0)), and 1 - r below 2 w0 e^(-2 sqrt(w0))/h (30-digit
// evaluations from sqrt(w0) = 5 to 1e5, h = 8 to 1e12), 1e-31 here.
inline constexpr double LEFT_TAIL_ROOT = 40.0;
inline constexpr int POLISH_STEPS = 12;
// m(u) has its pole where sqrt(2u) = pi/2.
inline constexpr double POLE_U = 1.2337005501361697;
}  // namespace exact_saddle_constants

// m(u) = tan(sqrt(2u))/sqrt(2u) (tanh for u < 0), the mean of X under the
// tilt -u, and its slope dm/du, to double precision.
struct SaddleMean {
  double m;
  double slope;
};

inline SaddleMean saddle_mean(double u) {
  using namespace exact_saddle_constants;
  const double s = u + u;
  if (std::fabs(s) < SERIES_ARGUMENT) {
    double m = TAN_SERIES[TAN_SERIES_TERMS - 1];
    double dm_ds = (TAN_SERIES_TERMS - 1) * TAN_SERIES[TAN_SERIES_TERMS - 1];
    for (int k = TAN_SERIES_TERMS - 2; k >= 1; --k) {
      m = m * s + TAN_SERIES[k];
      dm_ds = dm_ds * s + k * TAN_SERIES[k];
    }
    return {m * s + TAN_SERIES[0], 2.0 * dm_ds};
  }
  // dm/du = (1 - m)/s + m^2, formed without its two terms of size m^2
  // that cancel for large |s| (the far left tail, large tilts): with
  // r = sqrt|s|, (tanh(r)/r - sech^2 r)/r^2 below 0 and
  // (sec^2 r - tan(r)/r)/r^2 above.
  const double r = std::sqrt(std::fabs(s));
  if (s > 0.0) {
    const double t = std::tan(r);
    const double m = t / r;
    return {m, ((1.0 + t * t) - m) / s};
  }
  const double m = std::tanh(r) / r;
  const double sech = 1.0 / std::cosh(r);
  return {m, (m - sech * sech) / (r * r)};
}

// The saddle point u of X (m(u) = X) to the last bit, by Newton's method
// from the envelope's solve (within 1e-5 of X in m); `mean` gets m and its
// slope there. The iteration runs on 1/m, which is concave and falls to 0
// at the pole u = pi^2/8 (the far right tail), so that it does not
// overshoot into the pole as Newton's method on m itself does; a step that
// would still cross it is halved towards it instead.
inline double polish_saddle_point(double X, double u, SaddleMean& mean) {
  using namespace exact_saddle_constants;
  mean = saddle_mean(u);
  if (!(u < POLE_U) || !(std::fabs(mean.m - X) <= 1e-3 * X)) {
    // The envelope's solve starts far right of X = 4 from one guess and can
    // leave the branch; start again from the asymptotes instead, within
    // about 1% of the root: in w = -2u and T = 1/X, w ~ -pi^2/4 + 2T +
    // (pi^2/4 - 2) T^2 for T <= 1 (exact at both ends), w ~ (T^2 - 1)(1 +
    // 1/(2 T^2)) above.
    const double T = 1.0 / X;
    const double w = T <= 1.0 ? -2.0 * POLE_U + T * (2.0 + (2.0 * POLE_U - 2.0) * T)
                              : (T * T - 1.0) * (1.0 + 0.5 / (T * T));
    u = -0.5 * w;
    mean = saddle_mean(u);
  }
  for (int i = 0; i < POLISH_STEPS; ++i) {
    const double step = (mean.m / X) * ((mean.m - X) / mean.slope);
    double next = u - step;
    if (!(next < POLE_U)) next = 0.5 * (u + POLE_U);
    mean = saddle_mean(next);
    const double moved = std::fabs(next - u);
    u = next;
    if (moved <= 4e-16 * (1.0 + std::fabs(u))) break;
  }
  return u;
}

// r = p/s at X for shape h, given the saddle point u of X and the slope
// of m there: the trapezoidal sum of exp(Phi(w) - Phi(w0)) dw/(i sigma dt)
// along w(t) = w0 + sigma (i t - BEND t^2/sqrt(h)), w = -2u, against the
// sum's Gaussian limit sqrt(2 pi)/2. Every term is formed as a difference
// to the crossing point (cosh(q)/cosh(q0) - 1 from real functions of the
// halves of dq = q - q0), so nothing of size h cancels. r is known to lie
// in [1 - RATIO_SPREAD/h, 1]: a computed value outside (or not a number) is
// held to that interval, so that its error moves the law by no more than
// the interval's width.
inline double saddle_density_ratio(double h, double X, double u, double slope) {
  using namespace exact_saddle_constants;
  const double w0 = -2.0 * u;
  const double r0 = std::sqrt(std::fabs(w0));
  if (w0 > 0.0 && r0 >= LEFT_TAIL_ROOT) return 1.0;
  // Phi''(w0) = h slope/4 in w (dm/dw = -slope/2), sigma its inverse
  // square root.
  const double sigma = std::sqrt(4.0 / (h * slope));
  const double x = 0.25 * h * X;
  // In the left tail the integrand is nearly the inverse Gaussian's, which
  // is an exact Gaussian along w = (sqrt(w0) + i s)^2, a parabola of bend
  // sigma/(4 w0): where that bends less than the density's own parabola,
  // take it (with the density's, small h lost 1e-9 of r from sqrt(w0) = 10
  // on, and the sum overflowed from about 100).
  double bend = BEND / std::sqrt(h);
  if (w0 > 0.0) bend = std::fmin(bend, sigma / (4.0 * w0));
  const bool pos = w0 >= 0.0;
  const double tanh0 = pos ? std::tanh(r0) : std::tan(r0);
  double total = 0.5;
  for (int k = 1; k < NODES; ++k) {
    const double t = k * STEP;
    const double dw_re = -(sigma * bend) * (t * t);
    const double dw_im = sigma * t;
    // q = sqrt(w0 + dw) on the principal branch (Im w > 0 at every node).
    const double w_re = w0 + dw_re;
    const double big = std::sqrt(0.5 * (std::hypot(w_re, dw_im) + std::fabs(w_re)));
    const double small = dw_im / (2.0 * big);
    const double q_re = w_re >= 0.0 ? big : small;
    const double q_im = w_re >= 0.0 ? small : big;
    // dq = dw/(q + q0), q0 = r0 (w0 >= 0) or i r0.
    const double c_re = q_re + (pos ? r0 : 0.0);
    const double c_im = q_im + (pos ? 0.0 : r0);
    const double c2 = c_re * c_re + c_im * c_im;
    const double du = (dw_re * c_re + dw_im * c_im) / c2;
    const double dv = (dw_im * c_re - dw_re * c_im) / c2;
    const double sh = std::sinh(0.5 * du);
    const double ch = std::sqrt(1.0 + sh * sh);
    const double sn = std::sin(0.5 * dv);
    const double cs = std::cos(0.5 * dv);
    const double sinh_u = 2.0 * sh * ch;
    const double cosh_u = 1.0 + 2.0 * sh * sh;
    const double sin_v = 2.0 * sn * cs;
    const double cos_v = 1.0 - 2.0 * sn * sn;
    // cosh(q)/cosh(q0) - 1 = (cosh dq - 1) + tanh(q0) sinh dq
    const double s_re = sinh_u * cos_v;
    const double s_im = cosh_u * sin_v;
    const double t_re = pos ? tanh0 * s_re : -tanh0 * s_im;
    const double t_im = pos ? tanh0 * s_im : tanh0 * s_re;
    const double ratio_re = (2.0 * sh * sh) * cos_v - 2.0 * sn * sn + t_re;
    const double ratio_im = sinh_u * sin_v + t_im;
    const double log_re =
        0.5 * std::log1p(2.0 * ratio_re + ratio_re * ratio_re + ratio_im * ratio_im);
    const double log_im = std::atan2(ratio_im, 1.0 + ratio_re);
    const double e_re = 2.0 * x * dw_re - h * log_re;
    const double e_im = 2.0 * x * dw_im - h * log_im;
    const double mag = std::exp(e_re);
    // times dw/(i sigma dt) = 1 + 2 i bend t
    total += mag * (std::cos(e_im) - (2.0 * bend * t) * std::sin(e_im));
  }
  const double r = (STEP * total) * SQRT_2_OVER_PI;
  if (std::isnan(r)) return 1.0;
  return std::fmin(1.0, std::fmax(1.0 - RATIO_SPREAD / h, r));
}

// One exact draw from a saddle-point set-up. An infinite tilt gives the
// limit 0; beyond |z| = 1e10 the set-up's one normal draw stays (there the
// envelope itself has lost its digits, see saddle_point.h).
inline double exact_saddle_draw(SaddlePointSetup& s, GeneratorState& g) {
  using namespace exact_saddle_constants;
  if (s.kind != SaddlePointSetup::kEnvelope) return saddle_point_draw(s, g);
  SaddlePointState& st = s.state;
  const double h = st.shape;
  const double eta = st.half_tilt_squared;
  const double D = s.density_factor;
  const double squeeze = 1.0 - RATIO_SPREAD / h;
  SaddlePointDerivatives derivatives;
  SaddleMean mean;
  for (;;) {
    const double X = saddle_point_propose(s, g);
    st.x = X;
    const double u = polish_saddle_point(
        X, solve_saddle_point(X, saddle_point_initial_guess(X), derivatives), mean);
    const double Q = saddle_point_envelope(st);
    const double T = Q * uniform_nonzero(g);
    const double P =
        (std::exp((saddle_point_cumulant(u, st) - (eta + u) * X) * h) * D) / std::sqrt(mean.slope);
    // r <= 1: above P never accepts. (A P that is not a number accepts, as
    // in the approximation's own loop, rather than loop for ever.)
    if (T > P) continue;
    if (std::isnan(P) || T <= P * squeeze || T <= P * saddle_density_ratio(h, X, u, mean.slope)) {
      return clamp_draw((h * 0.25) * X);
    }
  }
}

inline double exact_saddle_draw(double h, double z, GeneratorState& g) {
  SaddlePointSetup s;
  saddle_point_setup(h, z, s);
  return exact_saddle_draw(s, g);
}

}  // namespace vexol
