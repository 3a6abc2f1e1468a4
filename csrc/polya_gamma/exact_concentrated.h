// Exact PG(h, z) draws where the law is concentrated: h beyond
// EXACT_CONCENTRATED_MIN_SHAPE or |z| beyond EXACT_CONCENTRATED_MIN_TILT
// (pg_methods.h).
//
// There the saddle-point sampler's exponents h (phi(u) - (eta + u) X) round
// to h times the double's precision, and lose every digit at large h or
// h|z| (terms of that size whose difference is of order 1), its envelope
// with them. Here X = 4x/h is parametrized by its tilt
// offset v from the mean's tilt u0 = -z^2/8: X = m(u0 + v), with m, m' as
// in exact_saddle.h. Taken in v, the saddle-point approximation of the
// density of X (Daniels, Ann. Math. Statist. 25, 1954) is
//
//     s(v) = sqrt(h/(2 pi)) sqrt(m'(u0 + v)) exp(h E(v)),
//     E(v) = -int_0^v t m'(u0 + t) dt,
//
// an exponent formed from v and m' alone, in which nothing of size h
// cancels. m' is increasing (every cumulant of PG is positive), so on a
// window [-V, V'] around 0, with m_lo = m'(u0 - V) and m_hi = m'(u0 + V'),
//
//     s(v) <= sqrt(h/(2 pi)) sqrt(m_hi) exp(-h m_lo v^2/2):
//
// v is proposed from N(0, 1/(h m_lo)) and accepted with probability
//
//     sqrt(m'(u0 + v)/m_hi) exp(-h int_0^v t (m'(u0 + t) - m_lo) dt) r,
//
// r = p/s in [1 - RATIO_SPREAD/h, 1] the ratio of exact_saddle.h, computed
// only when the uniform falls in between (von Neumann's rejection, as
// there). The integral is a 3-point Gauss-Legendre rule, exact to degree
// five: its error within three sd is about 5 h^-2.5 of the density
// (1.5e-12 at h = 1e5, 4.5e-15 at 1e6, against 40-digit integrals); at a
// large tilt the window is 24/sqrt(h |z|/2) of |u0|, under 1e-2 from
// |z| = 1e6 on. The window is WINDOW standard deviations each
// way (Chernoff's bound puts the law's mass outside below 2 e^(-WINDOW^2/2), 1e-31), and at most
// half the way to the pole. The acceptance rate is about sqrt(m_lo/m_hi):
// 1 - 3e-5 at h = 1e12, z = 0, and 0.99 at h = 16, |z| = 1e6.
//
// Beyond CONCENTRATED_MAX_TILT the law's relative spread sqrt(2/(h|z|)) is
// below 1e-20, far below a double's resolution: the default's normal draw
// rounds to the same doubles as an exact one.
#pragma once

#include <cmath>

#include "polya_gamma/exact_saddle.h"
#include "polya_gamma/pg_sample.h"
#include "random/generator.h"
#include "random/ziggurat.h"

namespace vexol {

namespace concentrated_constants {
inline constexpr double WINDOW = 12.0;
inline constexpr double CONCENTRATED_MAX_TILT = 1e40;
// 3-point Gauss-Legendre on [0, 1]: nodes (1 -+ sqrt(3/5))/2 and 1/2.
inline constexpr double NODE_LOW = 0.1127016653792583;
inline constexpr double NODE_HIGH = 0.8872983346207417;
inline constexpr double WEIGHT_OUTER = 5.0 / 18.0;
inline constexpr double WEIGHT_MIDDLE = 8.0 / 18.0;
}  // namespace concentrated_constants

struct ConcentratedSetup {
  double shape;
  double u0;   // the mean's tilt, -c^2/2 with c = |z|/2
  double low;  // the window: -V <= v <= high
  double high;
  double slope_low;   // m'(u0 - V)
  double slope_high;  // m'(u0 + high)
  double sd;          // of the proposal, 1/sqrt(h slope_low)
  double squeeze;     // 1 - RATIO_SPREAD/h
};

inline void concentrated_setup(double h, double z, ConcentratedSetup& out) {
  using namespace concentrated_constants;
  const double c = 0.5 * std::fabs(z);
  const double u0 = -0.5 * c * c;
  const double spread = WINDOW / std::sqrt(h * saddle_mean(u0).slope);
  out.shape = h;
  out.u0 = u0;
  out.low = -spread;
  out.high = std::fmin(spread, 0.5 * (exact_saddle_constants::POLE_U - u0));
  out.slope_low = saddle_mean(u0 - spread).slope;
  out.slope_high = saddle_mean(u0 + out.high).slope;
  out.sd = 1.0 / std::sqrt(h * out.slope_low);
  out.squeeze = 1.0 - exact_saddle_constants::RATIO_SPREAD / h;
}

inline double concentrated_draw(const ConcentratedSetup& s, GeneratorState& g) {
  using namespace concentrated_constants;
  const double h = s.shape;
  for (;;) {
    const double v = normal(g) * s.sd;
    const double U = uniform_nonzero(g);
    if (!(v >= s.low && v <= s.high)) continue;
    // int_0^v t (m'(u0 + t) - m_lo) dt, each term >= 0 times v/2.
    double excess = 0.0;
    const double nodes[3] = {NODE_LOW, 0.5, NODE_HIGH};
    const double weights[3] = {WEIGHT_OUTER, WEIGHT_MIDDLE, WEIGHT_OUTER};
    for (int k = 0; k < 3; ++k) {
      const double t = v * nodes[k];
      excess += weights[k] * (t * (saddle_mean(s.u0 + t).slope - s.slope_low));
    }
    excess *= v;
    const double u = s.u0 + v;
    const SaddleMean at = saddle_mean(u);
    const double A = std::exp(-h * excess) * std::sqrt(at.slope / s.slope_high);
    if (U > A) continue;
    // Between A squeeze and A the law's own ratio decides (rarely asked).
    if (!(U <= A * s.squeeze) && U > A * saddle_density_ratio(h, at.m, u, at.slope)) continue;
    return clamp_draw((h * 0.25) * at.m);
  }
}

// One exact draw of PG(h, z) for h >= 16 (finite) with
// h > EXACT_CONCENTRATED_MIN_SHAPE or |z| > EXACT_CONCENTRATED_MIN_TILT (an
// infinite z gives the limit 0).
inline double exact_concentrated_draw(double h, double z, GeneratorState& g) {
  using namespace concentrated_constants;
  if (std::isinf(z)) return 0.0;
  // A NaN tilt gives NaN, the default's normal approximation's rule.
  if (std::isnan(z) || std::fabs(z) > CONCENTRATED_MAX_TILT) return pg_sample(h, z, g);
  ConcentratedSetup s;
  concentrated_setup(h, z, s);
  return concentrated_draw(s, g);
}

}  // namespace vexol
