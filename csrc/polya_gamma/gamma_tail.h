// X ~ Gamma(shape a, rate b) conditioned on X > bound, by rejection from a
// shifted exponential (a > 1; the rate of the proposal is the optimal one of
// A. Philippe, "Simulation of right and left truncated gamma distributions
// by mixtures", Statistics and Computing 7, 1997) or from a Pareto-like
// proposal (a < 1). In every loop the exponential is drawn before the uniform.
#pragma once

#include <cmath>
#include <limits>

#include "random/generator.h"
#include "random/ziggurat.h"

namespace vexol {

inline double draw_gamma_tail(double a, double b, double bound, GeneratorState& g) {
  const double d = b * bound;  // the bound in units of the rate
  if (a > 1.0) {
    const double r = (((d - a) + std::sqrt((d - a) * (d - a) + d * 4.0)) * 0.5) / d;
    const double k = (std::log((a - 1.0) / (1.0 - r)) - 1.0) * (a - 1.0);
    // Within about 1e-14 of a = 1 the optimal rate r rounds to 1 or above,
    // k is +inf or NaN and no proposal could ever be accepted. The law there
    // is the exponential one of a = 1 to within 1e-13: draw that. Every
    // other k is finite and keeps its draws.
    if (std::isnan(k) || k == std::numeric_limits<double>::infinity()) {
      return exponential(g) / b + bound;
    }
    for (;;) {
      const double Y = exponential(g) / r + d;
      const double U = uniform_nonzero(g);
      if (std::log1p(-U) <= (std::log(Y) * (a - 1.0) - Y * (1.0 - r)) - k) return bound * (Y / d);
    }
  }
  if (a == 1.0) return exponential(g) / b + bound;
  for (;;) {
    const double G = exponential(g) / d + 1.0;
    const double U = uniform_nonzero(g);
    if (std::log1p(-U) <= std::log(G) * (a - 1.0)) return G * bound;
  }
}

}  // namespace vexol
