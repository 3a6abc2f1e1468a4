// Helpers shared by the sampling tests: counting generator outputs, running
// a draw under a deadline, and checking sample moments against exact ones.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <vector>

#include "random/generator.h"

namespace vexol::testing {

inline bool same_state(const GeneratorState& a, const GeneratorState& b) {
  return a.s0 == b.s0 && a.s1 == b.s1 && a.s2 == b.s2 && a.s3 == b.s3;
}

// Multiplicative inverse of an odd number modulo 2^64 (Newton's iteration).
inline uint64_t inverse_mod_2_64(uint64_t a) {
  uint64_t x = a;
  for (int i = 0; i < 6; ++i) x *= 2 - a * x;
  return x;
}

// A valid state whose next output is `wanted`: xoshiro256** scrambles its
// output from s1 alone, so s1 = rotr(wanted / 9, 7) / 5 modulo 2^64.
inline GeneratorState state_with_next_output(uint64_t wanted) {
  const uint64_t rotated = wanted * inverse_mod_2_64(9);
  const uint64_t unrotated = (rotated >> 7) | (rotated << 57);
  return GeneratorState{1, unrotated * inverse_mod_2_64(5), 2, 3};
}

// Number of generator outputs that lead from `before` to `after`; -1 if
// more than `limit`.
inline int outputs_between(GeneratorState before, const GeneratorState& after, int limit = 100000) {
  for (int n = 0; n <= limit; ++n) {
    if (same_state(before, after)) return n;
    next_u64(before);
  }
  return -1;
}

// Runs `f` on another thread; a draw that does not end within `limit`
// fails the whole test binary instead of hanging it.
template <class F>
auto run_with_deadline(F f, std::chrono::seconds limit = std::chrono::seconds(20)) {
  auto result = std::async(std::launch::async, f);
  if (result.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "FATAL: a draw did not finish within %lld s\n",
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }
  return result.get();
}

struct SampleMoments {
  double mean = 0, variance = 0, fourth = 0;  // central moments
  size_t n = 0;
};

inline SampleMoments moments_of(const std::vector<double>& x) {
  SampleMoments m;
  m.n = x.size();
  for (double v : x) m.mean += v;
  m.mean /= m.n;
  for (double v : x) {
    const double d = v - m.mean;
    m.variance += d * d;
    m.fourth += d * d * d * d;
  }
  m.variance /= (m.n - 1);
  m.fourth /= m.n;
  return m;
}

// Sample mean and variance within `k` standard errors of the exact values.
inline void expect_moments(const std::vector<double>& x, double mean, double variance,
                           double k = 5.0) {
  const SampleMoments m = moments_of(x);
  const double se_mean = std::sqrt(variance / m.n);
  const double se_var = std::sqrt((m.fourth - m.variance * m.variance) / m.n);
  EXPECT_NEAR(m.mean, mean, k * se_mean) << "exact mean " << mean;
  EXPECT_NEAR(m.variance, variance, k * se_var) << "exact variance " << variance;
}

// Exact moments of PG(h, z).
inline double pg_mean(double h, double z) {
  const double a = std::fabs(z);
  return a == 0.0 ? h / 4.0 : h * std::tanh(a / 2) / (2 * a);
}
inline double pg_variance(double h, double z) {
  const double a = std::fabs(z);
  if (a == 0.0) return h / 24.0;
  const double sech = 1.0 / std::cosh(a / 2);
  // (sinh a - a) sech^2(a/2) = 2 tanh(a/2) - a sech^2(a/2), which neither
  // overflows nor cancels for large a.
  if (a > 1.0) return h * (2.0 * std::tanh(a / 2) - a * sech * sech) / (4 * a * a * a);
  return h * (std::sinh(a) - a) * sech * sech / (4 * a * a * a);
}

// E[exp(-t X)] for X ~ PG(h, z): cosh^h(z/2) / cosh^h(sqrt(z^2/4 + t/2)).
inline double pg_laplace(double h, double z, double t) {
  return std::pow(std::cosh(z / 2) / std::cosh(std::sqrt(z * z / 4 + t / 2)), h);
}

inline void expect_laplace(const std::vector<double>& x, double h, double z,
                           std::initializer_list<double> ts, double k = 5.0) {
  for (double t : ts) {
    std::vector<double> e(x.size());
    for (size_t i = 0; i < x.size(); ++i) e[i] = std::exp(-t * x[i]);
    const SampleMoments m = moments_of(e);
    EXPECT_NEAR(m.mean, pg_laplace(h, z, t), k * std::sqrt(m.variance / m.n))
        << "Laplace transform at t = " << t << " for h = " << h << ", z = " << z;
  }
}

template <class Draw>
std::vector<double> draw_many(size_t n, uint64_t seed, Draw draw) {
  GeneratorState g = seed_generator(seed);
  std::vector<double> x(n);
  for (auto& v : x) v = draw(g);
  return x;
}

}  // namespace vexol::testing
