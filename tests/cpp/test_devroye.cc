#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "polya_gamma/devroye.h"
#include "test_support.h"

namespace vexol {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(DevroyeMixture, RightProbabilityFallsWithTilt) {
  EXPECT_NEAR(devroye_right_probability(0.0), 0.57770, 5e-6);
  EXPECT_NEAR(devroye_right_probability(1.0), 0.54600, 5e-6);
  EXPECT_NEAR(devroye_right_probability(2.0), 0.46059, 5e-6);
  EXPECT_NEAR(devroye_right_probability(4.0), 0.23054, 5e-6);
  EXPECT_NEAR(devroye_right_probability(8.0), 0.012603, 5e-7);
  EXPECT_NEAR(devroye_right_probability(16.0), 4.08e-8, 5e-10);
  EXPECT_EQ(devroye_right_probability(-4.0), devroye_right_probability(4.0));
}

TEST(DevroyeMixture, MassesOverflowToZeroProbabilityBeyondAbout97) {
  EXPECT_GT(devroye_right_probability(96.5), 0.0);
  EXPECT_EQ(devroye_right_probability(97.0), 0.0);
  EXPECT_EQ(devroye_right_probability(1e10), 0.0);
}

TEST(DevroyeMixture, ZeroTiltMatchesClosedForm) {
  // At z = 0 the two logarithmic terms are equal and the right mass is
  // (pi/(2K)) exp(-K t) with K = pi^2/8.
  const double K = 1.2337005501361697, t = 0.64;
  const double right = (3.141592653589793 / (2 * K)) * std::exp(-K * t);
  const double left = 2 * 2 * 0.5 * std::erfc(1.25 / std::sqrt(2.0));  // 2 M, M = 2 Phi(-1/sqrt t)
  EXPECT_NEAR(devroye_right_probability(0.0), right / (right + left), 1e-12);
}

TEST(DevroyeMixture, SetUpsOfManyTiltsAreThoseOfEachAlone) {
  // Batches of DEVROYE_SETUP_BATCH, each a stage at a time: every element
  // of every batch, the last partial one included, is set up from its own
  // tilt exactly as it would be alone.
  const int n = 2 * DEVROYE_SETUP_BATCH + 17;
  std::vector<double> z(n);
  GeneratorState r = seed_generator(31);
  for (int i = 0; i < n; ++i) z[i] = (uniform(r) - 0.2) * 12.0;
  z[5] = kNaN;
  z[DEVROYE_SETUP_BATCH] = kInf;
  z[n - 1] = 150.0;
  std::vector<DevroyeSetup> all(n);
  devroye_setups(z.data(), n, all.data());
  // Equal bits, or NaN in both: the sign of a NaN is not part of any result.
  auto same = [](double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
  };
  for (int i = 0; i < n; ++i) {
    const DevroyeSetup one = devroye_setup(z[i]);
    ASSERT_TRUE(same(one.zeta, all[i].zeta) && same(one.mu, all[i].mu) && same(one.K, all[i].K) &&
                same(one.p, all[i].p))
        << "element " << i << ", z " << z[i];
  }
  EXPECT_TRUE(std::isnan(all[5].p));
  EXPECT_EQ(all[n - 1].p, 0.0);
}

TEST(Devroye, SignOfTiltDoesNotMatter) {
  for (double z : {0.0, 0.3, 1.0, 3.2, 10.0, 200.0}) {
    GeneratorState a = seed_generator(9), b = seed_generator(9);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(devroye_draw(z, a), devroye_draw(-z, b)) << z;
    EXPECT_TRUE(testing::same_state(a, b));
  }
}

TEST(Devroye, FirstDrawFollowsTheDrawOrder) {
  // Replays the first attempt by hand from seed 0 at z = 0: the mixture
  // uniform picks the piece; the right piece takes one exponential.
  GeneratorState g = seed_generator(0), r = seed_generator(0);
  const double x = devroye_draw(0.0, g);
  const double p = devroye_right_probability(0.0);
  const double U1 = uniform_nonzero(r);  // 0.2585... < p: right piece
  ASSERT_LT(U1, p);
  const double X = exponential(r) / 1.2337005501361697 + 0.64;
  EXPECT_EQ(x, X * 0.25);  // accepted on the first attempt from this seed
}

TEST(TruncatedInverseGaussian, StaysBelowTruncationInBothRegimes) {
  for (double tilt : {0.0, 0.5, 1.5624, 1.5625, 3.0, 40.0}) {
    GeneratorState g = seed_generator(4);
    for (int i = 0; i < 20000; ++i) {
      const double x = truncated_inverse_gaussian_draw(tilt, g);
      ASSERT_GT(x, 0.0);
      ASSERT_LE(x, DEVROYE_TRUNCATION);
    }
  }
}

TEST(TruncatedInverseGaussian, ZeroTiltAcceptsSecondUniform) {
  // alpha = 1 after the first proposal: one uniform, one (E1, E2) pair or
  // more, then one uniform that always returns.
  GeneratorState g = seed_generator(6), r = seed_generator(6);
  const double x = truncated_inverse_gaussian_draw(0.0, g);
  uniform_nonzero(r);
  double E1, E2;
  do {
    E1 = exponential(r);
    E2 = exponential(r);
  } while (E1 * E1 > (E2 + E2) / 0.64);
  uniform_nonzero(r);
  const double y = E1 * 0.64 + 1.0;
  EXPECT_EQ(x, 0.64 / (y * y));
  EXPECT_TRUE(testing::same_state(g, r));
}

TEST(TruncatedInverseGaussian, LargeTiltUsesNormalThenUniform) {
  GeneratorState g = seed_generator(10), r = seed_generator(10);
  const double x = truncated_inverse_gaussian_draw(3.0, g);
  const double mu = 1.0 / 3.0;
  double X;
  do {
    const double N = normal(r);
    const double q = (N * N) * mu;
    X = (q * (mu * 0.5) + mu) - std::sqrt(q * q + q * 4.0) * (mu * 0.5);
    if (uniform_nonzero(r) > mu / (X + mu)) X = (mu * mu) / X;
  } while (X > 0.64);
  EXPECT_EQ(x, X);
  EXPECT_TRUE(testing::same_state(g, r));
}

// The exact law of PG(1, z): mean, variance and Laplace transform.
TEST(Devroye, MatchesExactLaw) {
  for (double z : {0.0, 0.5, 2.0, 3.125, 7.0}) {
    const auto x = testing::draw_many(400000, 20 + static_cast<uint64_t>(z * 8),
                                      [z](GeneratorState& g) { return devroye_draw(z, g); });
    testing::expect_moments(x, testing::pg_mean(1, z), testing::pg_variance(1, z));
    testing::expect_laplace(x, 1.0, z, {0.5, 2.0, 10.0});
  }
}

TEST(Devroye, NonFiniteAndHugeTiltsEnd) {
  GeneratorState g = seed_generator(1);
  EXPECT_TRUE(std::isnan(testing::run_with_deadline([&] { return devroye_draw(kNaN, g); })));
  EXPECT_EQ(testing::run_with_deadline([&] { return devroye_draw(kInf, g); }), 0.0);
  EXPECT_EQ(testing::run_with_deadline([&] { return devroye_draw(-kInf, g); }), 0.0);
  for (double z : {1e206, 5e206, 1e250, -1e300, std::numeric_limits<double>::max()}) {
    for (int i = 0; i < 20; ++i) {
      const double x = testing::run_with_deadline([&] { return devroye_draw(z, g); });
      ASSERT_TRUE(std::isfinite(x)) << z;
      ASSERT_GE(x, 0.0) << z;
      ASSERT_LE(x, DEVROYE_TRUNCATION * 0.25) << z;
    }
  }
}

TEST(Devroye, LargeFiniteTiltStillExact) {
  // |z| = 100: every attempt proposes from the left piece; the law holds.
  const double z = 100.0;
  const auto x =
      testing::draw_many(200000, 77, [z](GeneratorState& g) { return devroye_draw(z, g); });
  testing::expect_moments(x, testing::pg_mean(1, z), testing::pg_variance(1, z));
}

}  // namespace
}  // namespace vexol
