// Exact PG(h, z) draws for 0 < h < 1 by inversion of the distribution
// function: x = F^-1(U) for one uniform U, with F computed to a few units in
// the last place in logarithms and the equation solved by safeguarded Newton
// steps to the precision F itself has.
//
// The law, with c = |z| and X ~ PG(h, z) = J*(h, c/2)/4:
//
// Small x (Devroye's alternating series for J*(h), Polson, Scott and Windle
// 2013, tilted by cosh^h(c/2) e^(-c^2 x/2)): every term of the density is an
// inverse-Gaussian kernel, so the distribution function is the series
//
//   F(x) = (1 + e^-c)^h / 2  sum_n (-1)^n w_n e^(-n c)
//          [erfc((a_n - c x)/r) + e^(2 a_n c) erfc((a_n + c x)/r)],
//
// a_n = n + h/2, r = sqrt(2x), w_n = Gamma(n + h)/(Gamma(h) n!), and the
// survival function the same series of inverse-Gaussian survival functions,
// which converges fast enough once e^-c is small. Both pieces of a term
// carry exp(-(a_n - c x)^2/(2x)) times a scaled complementary error function
// erfcx(v) = e^(v^2) erfc(v); writing them so keeps every term in range
// without subtracting large exponents.
//
// Large x (the expansion at the first singularity s_1 = -pi^2/2 of the
// Laplace transform cosh^-h(sqrt(s/2)), inverted term by term):
//
//   p(x) = C x^(h-1) e^(-beta x) sum_j G_j x^-j,   beta = pi^2/2 + c^2/2,
//   C = (2 pi cosh(c/2))^h / Gamma(h),   G_j = g_j prod_{i=1..j} (h - i),
//
// where sum_j g_j v^j = exp(h Q(v)), Q(v) = sum_m (-1)^m sigma_m (v/2)^m / m
// and sigma_m = sum_{k>=2} (pi^2 k (k-1))^-m. For h < 1 the sum is
// asymptotic; from x = 1 on, 32 terms and the neglected next singularity
// (relative size e^(-4 pi^2 x)) leave less than 1e-16. Integrated term by
// term it gives the survival function
//
//   S(x) = C x^h e^(-beta x) sum_j G_j x^-j R(h - j, beta x),
//   R(s, y) = Gamma(s, y) y^-s e^y,
//
// R by Legendre's continued fraction for the upper incomplete gamma
// function, which converges for every real s once y > 0 (here y >= pi^2/2).
//
// Which is used where: the left half (U < 1/2) solves log F(x) = log U, the
// right half log S(x) = log(1 - U) (1 - U is exact there), so that both tails
// are reached to the resolution of U. At x <= 1 F comes from the small-x
// series, S from the small-x survival series when c >= 3 + log(1 + h) and
// from 1 - F otherwise; above 1, S from the large-x series and F = 1 - S.
//
// Why a few ulps: each term above is a product of libm functions (exp, log,
// erfc) and of the scaled erfc, each good to an ulp or two, the alternating
// sums are dominated by their first term (the next is below about a third
// of it at x <= 1 for h < 1, so the sum loses no digits), and so log F and
// log S carry an absolute error of a few ulps of their own magnitude. Near
// a solution, d log F / d log x = x p(x)/F(x), which in the left tail grows
// like |log F| (log F ~ -h^2/(8x)), and d log S / d log x ~ beta x ~ |log S|
// in the right tail: an error of a few ulps of |log F| moves x by a few ulps
// of x. Newton's iteration converges quadratically to the root of the
// computed function, and the loop stops when the step is below 4 ulps of x.
// The one place with more error is S = 1 - F below x = 1 for small tilts,
// where the absolute error of F (an ulp of 1) becomes 1e-16/S relative;
// the tests measure how far that moves a draw.
#pragma once

#include <cmath>
#include <limits>

#include "polya_gamma/draw_floor.h"
#include "polya_gamma/math_constants.h"
#include "random/generator.h"
#include "random/log_gamma.h"

namespace vexol {

namespace small_shape_constants {
inline constexpr int SMALL_X_TERMS = 14;
inline constexpr int LARGE_X_TERMS = 32;
// The small-x series serves x <= this, the large-x one beyond.
inline constexpr double SERIES_SPLIT = 1.0;
inline constexpr double HALF_PI_SQUARED = 4.934802200544679;
inline constexpr double LOG_2PI = 1.8378770664093453;
inline constexpr double LOG_SQRT_2PI = 0.9189385332046728;
inline constexpr double INV_SQRT_PI = 0.5641895835477563;
inline constexpr int NEWTON_STEP_LIMIT = 100;
// sigma_m = sum_{k>=2} (pi^2 k (k - 1))^-m for m = 1..32 (sigma_1 = 1/pi^2),
// summed in 40-digit arithmetic.
inline constexpr double SIGMA[LARGE_X_TERMS] = {
    1.0132118364233777e-1,  2.9757811167262516e-3,  1.3563247827418777e-4,  6.6741421068812251e-6,
    3.3511626092132354e-7,  1.6928818900977947e-8,  8.5682463412897671e-10, 4.3393883922721923e-11,
    2.1981353874355046e-12, 1.1135505876811951e-13, 5.6412494115342239e-15, 2.8578795762119663e-16,
    1.4478168900755851e-17, 7.3347229825065893e-19, 3.715813553418745e-20,  1.8824530496688792e-21,
    9.5366184094820738e-23, 4.8313073010290267e-24, 2.4475688671888909e-25, 1.2399528726373395e-26,
    6.2816746346155607e-28, 3.1823335459736724e-29, 1.6121890080796023e-30, 8.1674449276317509e-32,
    4.1376759369965169e-33, 2.0961711173228812e-34, 1.0619326936199015e-35, 5.3798138733027522e-37,
    2.7254455470924437e-38, 1.3807268439207127e-39, 6.994843905639776e-41,  3.5436293195640708e-42};
}  // namespace small_shape_constants

namespace detail {

// v^2 = hi + lo exactly (Dekker's product; no fused operations are formed).
inline void exact_square(double v, double& hi, double& lo) {
  const double t = 134217729.0 * v;
  const double vh = t - (t - v);
  const double vl = v - vh;
  hi = v * v;
  lo = ((vh * vh - hi) + (vh * vl + vh * vl)) + vl * vl;
}

// erfcx(v) = e^(v^2) erfc(v) for v >= 0. Below 26 from erfc with v^2
// carried exactly into the exponential (erfc(26) is still a normal number);
// above, Laplace's continued fraction, whose 12 levels are exact to
// rounding from 26 on.
inline double erfcx_nonnegative(double v) {
  if (v < 26.0) {
    double hi, lo;
    exact_square(v, hi, lo);
    return (std::exp(hi) * std::erfc(v)) * (1.0 + lo);
  }
  double t = v;
  for (int k = 12; k >= 1; --k) t = v + (0.5 * k) / t;
  return small_shape_constants::INV_SQRT_PI / t;
}

// ln(1 + e^-c) and ln cosh(c/2) for c >= 0 without overflow.
inline double log1p_exp_minus(double c) { return std::log1p(std::exp(-c)); }
inline double log_cosh_half(double c) { return (c * 0.5 - math::LOG_2) + log1p_exp_minus(c); }

// R(s, y) = Gamma(s, y) y^-s e^y for y > 0 by the modified Lentz method on
// Gamma(s, y) = e^-y y^s / (y + 1 - s - 1 (1 - s) / (y + 3 - s - ...)).
inline double incomplete_gamma_ratio(double s, double y) {
  constexpr double tiny = 1e-300;
  double b = y + 1.0 - s;
  double C = 1.0 / tiny;
  double D = 1.0 / b;
  double f = D;
  for (int i = 1; i < 500; ++i) {
    const double an = -static_cast<double>(i) * (static_cast<double>(i) - s);
    b += 2.0;
    D = an * D + b;
    if (std::fabs(D) < tiny) D = tiny;
    C = b + an / C;
    if (std::fabs(C) < tiny) C = tiny;
    D = 1.0 / D;
    const double delta = C * D;
    f *= delta;
    if (std::fabs(delta - 1.0) <= std::numeric_limits<double>::epsilon()) break;
  }
  return f;
}

}  // namespace detail

// Log-density, log-CDF and log-survival function of PG(h, z), 0 < h < 1,
// finite z. The large-x coefficients are computed on first use.
class SmallShapeLaw {
 public:
  SmallShapeLaw(double h, double z) : h_(h), c_(std::fabs(z)) {
    using namespace small_shape_constants;
    lambda_ = (c_ * 0.5) * c_;
    beta_ = HALF_PI_SQUARED + lambda_;
    log_weight_[0] = 0.0;
    for (int n = 1; n < SMALL_X_TERMS; ++n) {
      log_weight_[n] = log_weight_[n - 1] + std::log(((n - 1) + h) / n);
    }
    const double log_cosh = detail::log_cosh_half(c_);
    series_front_ = h * detail::log1p_exp_minus(c_) - math::LOG_2;
    small_pdf_front_ = ((h - 1.0) * math::LOG_2 - LOG_SQRT_2PI) + h * log_cosh;
    large_front_ = h * (LOG_2PI + log_cosh) - log_gamma(h);
    small_sf_converges_ = c_ >= 3.0 + std::log1p(h);
  }

  double h() const { return h_; }
  double tilt() const { return c_; }

  // log F(x) for x > 0.
  double log_cdf(double x) {
    if (x <= small_shape_constants::SERIES_SPLIT) return small_log_cdf(x);
    return std::log1p(-std::exp(large_log_sf(x)));
  }

  // log S(x) = log(1 - F(x)) for x > 0.
  double log_sf(double x) {
    if (x > small_shape_constants::SERIES_SPLIT) return large_log_sf(x);
    if (small_sf_converges_) return small_log_sf(x);
    return std::log1p(-std::exp(small_log_cdf(x)));
  }

  double log_pdf(double x) {
    if (x <= small_shape_constants::SERIES_SPLIT) return small_log_pdf(x);
    return large_log_pdf(x);
  }

 private:
  // log of sum_n (-1)^n e^(t_n) with t_0 the largest term; stops once the
  // terms no longer matter.
  template <typename Term>
  double alternating_log_sum(Term term) const {
    const double first = term(0);
    double sum = 1.0;
    for (int n = 1; n < small_shape_constants::SMALL_X_TERMS; ++n) {
      const double ratio = std::exp(term(n) - first);
      sum += (n & 1) ? -ratio : ratio;
      if (ratio < 1e-18) break;
    }
    return first + std::log(sum);
  }

  double small_log_cdf(double x) const {
    const double r = std::sqrt(x + x);
    const double cx = c_ * x;
    return series_front_ + alternating_log_sum([&](int n) {
             const double a = n + h_ * 0.5;
             const double d = a - cx;
             const double q = -(d * d) / (x + x);  // -(a - c x)^2 / (2x)
             const double vm = d / r;
             const double vp = (a + cx) / r;
             double log_term;
             if (vm >= 0.0) {
               log_term =
                   q + std::log(detail::erfcx_nonnegative(vm) + detail::erfcx_nonnegative(vp));
             } else {
               log_term = std::log(std::erfc(vm) + std::exp(q) * detail::erfcx_nonnegative(vp));
             }
             return (log_weight_[n] - n * c_) + log_term;
           });
  }

  double small_log_sf(double x) const {
    const double r = std::sqrt(x + x);
    const double cx = c_ * x;
    return series_front_ + alternating_log_sum([&](int n) {
             const double a = n + h_ * 0.5;
             const double d = cx - a;
             const double q = -(d * d) / (x + x);
             const double u = d / r;
             const double vp = (a + cx) / r;
             // Survival function of the n-th inverse-Gaussian piece.
             double log_term;
             if (u >= 0.0) {
               log_term =
                   q + std::log(detail::erfcx_nonnegative(u) - detail::erfcx_nonnegative(vp));
             } else {
               log_term = std::log(std::erfc(u) - std::exp(q) * detail::erfcx_nonnegative(vp));
             }
             return (log_weight_[n] - n * c_) + log_term;
           });
  }

  double small_log_pdf(double x) const {
    const double front = (small_pdf_front_ - 1.5 * std::log(x)) - lambda_ * x;
    return front + alternating_log_sum([&](int n) {
             const double m = 2.0 * n + h_;
             return (log_weight_[n] + std::log(m)) - (m * m) / (8.0 * x);
           });
  }

  void ensure_large_coefficients() {
    using namespace small_shape_constants;
    if (large_ready_) return;
    // m q_m = (-1)^m sigma_m / 2^m; j g_j = h sum_{m=1..j} m q_m g_{j-m}.
    double mq[LARGE_X_TERMS + 1];
    double scale = 1.0;
    for (int m = 1; m <= LARGE_X_TERMS; ++m) {
      scale *= 0.5;
      mq[m] = ((m & 1) ? -SIGMA[m - 1] : SIGMA[m - 1]) * scale;
    }
    double g[LARGE_X_TERMS];
    g[0] = 1.0;
    double falling = 1.0;  // prod_{i=1..j} (h - i)
    large_[0] = 1.0;
    for (int j = 1; j < LARGE_X_TERMS; ++j) {
      double acc = 0.0;
      for (int m = 1; m <= j; ++m) acc += mq[m] * g[j - m];
      g[j] = h_ * acc / j;
      falling *= h_ - j;
      large_[j] = g[j] * falling;
    }
    large_ready_ = true;
  }

  double large_log_pdf(double x) {
    ensure_large_coefficients();
    double sum = 0.0, power = 1.0;
    for (int j = 0; j < small_shape_constants::LARGE_X_TERMS; ++j) {
      sum += large_[j] * power;
      power /= x;
    }
    return ((large_front_ + (h_ - 1.0) * std::log(x)) - beta_ * x) + std::log(sum);
  }

  double large_log_sf(double x) {
    ensure_large_coefficients();
    const double y = beta_ * x;
    double sum = 0.0, power = 1.0;
    for (int j = 0; j < small_shape_constants::LARGE_X_TERMS; ++j) {
      const double term = large_[j] * power * detail::incomplete_gamma_ratio(h_ - j, y);
      sum += term;
      if (std::fabs(term) < 1e-18 * std::fabs(sum)) break;
      power /= x;
    }
    return ((large_front_ + h_ * std::log(x)) - y) + std::log(sum);
  }

  double h_;
  double c_;
  double lambda_;
  double beta_;
  double series_front_;
  double small_pdf_front_;
  double large_front_;
  bool small_sf_converges_;
  bool large_ready_ = false;
  double log_weight_[small_shape_constants::SMALL_X_TERMS];
  double large_[small_shape_constants::LARGE_X_TERMS];
};

// The x > 0 with F(x) = u (u < 1/2) or S(x) = 1 - u (u >= 1/2), for u in
// (0, 1); DRAW_FLOOR when that x is below the floor. Safeguarded Newton
// steps on log F (in 1/x) or log S (in x) inside a bracket that every
// evaluation narrows; a step that leaves the bracket is replaced by the bracket's
// geometric midpoint (or, before there is an upper end, by doubling x).
inline double small_shape_quantile(SmallShapeLaw& law, double u) {
  using namespace small_shape_constants;
  constexpr double eps = std::numeric_limits<double>::epsilon();
  const bool left = u < 0.5;
  const double target = left ? std::log(u) : std::log(1.0 - u);
  // g(x) = log F(x) - target, or target - log S(x): both increase with x.
  double x_low = DRAW_FLOOR;
  const double at_floor = left ? law.log_cdf(x_low) - target : target - law.log_sf(x_low);
  if (at_floor >= 0.0) return DRAW_FLOOR;
  double x_high = std::numeric_limits<double>::infinity();
  // Start at the mean h tanh(c/2)/(2c).
  const double c = law.tilt();
  const double mean = c < 1e-8 ? law.h() * 0.25 : law.h() * std::tanh(c * 0.5) / (c + c);
  double x = std::fmax(mean, 2.0 * DRAW_FLOOR);
  for (int step = 0; step < NEWTON_STEP_LIMIT; ++step) {
    const double tail = left ? law.log_cdf(x) : law.log_sf(x);
    const double g = left ? tail - target : target - tail;
    if (g == 0.0) return x;
    if (g < 0.0) {
      x_low = x;
    } else {
      x_high = x;
    }
    // g'(x) = p(x)/F(x), or p(x)/S(x). In the left half the step is taken
    // in 1/x, in which log F is nearly linear (log F ~ -h^2/(8x) in the
    // tail); in the right half in x, in which log S is (log S ~ -beta x).
    const double slope = std::exp(law.log_pdf(x) - tail);
    double next = left ? 1.0 / (1.0 / x + g / (slope * x * x)) : x - g / slope;
    // A step of a few ulps is the end: the computed g is only good to a
    // few ulps of itself, and a smaller step moves x by less than that.
    if (std::fabs(next - x) <= 4.0 * eps * x) return next;
    if (!(next > x_low && next < x_high)) {
      next = std::isinf(x_high) ? x + x : std::sqrt(x_low) * std::sqrt(x_high);
    }
    if (x_high - x_low <= 4.0 * eps * x_low) return next;
    x = next;
  }
  return x;
}

// One exact draw of PG(h, z) for 0 < h < 1: one uniform, always consumed.
inline double small_shape_exact_draw(double h, double z, GeneratorState& g) {
  const double u = uniform_nonzero(g);
  if (std::isnan(z)) return z;
  if (std::isinf(z)) return 0.0;
  SmallShapeLaw law(h, z);
  return small_shape_quantile(law, u);
}

}  // namespace vexol
