#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "random/gamma.h"
#include "test_support.h"

namespace vexol {
namespace {

using testing::outputs_between;

TEST(Gamma, ConstantsToTheBit) {
  uint64_t third, squeeze;
  std::memcpy(&third, &ONE_THIRD, 8);
  std::memcpy(&squeeze, &GAMMA_SQUEEZE, 8);
  EXPECT_EQ(third, 0x3FD5555555555555ULL);
  EXPECT_EQ(squeeze, 0x3FA0F27BB2FEC56DULL);
}

TEST(Gamma, ShapeTwoAndAHalfFromSeedZero) {
  // normal -> z = -1.156877987 (one output), U = 0.8765058744940509, squeeze.
  const GeneratorState start = seed_generator(0);
  GeneratorState g = start;
  const double x = gamma(2.5, g);
  EXPECT_NEAR(x, 0.8709520472, 1e-9);
  EXPECT_EQ(outputs_between(start, g), 2);

  GeneratorState r = start;
  const double z = normal(r);
  const double d = 2.5 - ONE_THIRD;
  EXPECT_EQ(d, 2.1666666666666665);
  const double v = z * (1.0 / std::sqrt(d * 9.0)) + 1.0;
  EXPECT_EQ(x, v * (v * v) * d);
}

TEST(Gamma, ShapeOneHalfDrawsUniformFirst) {
  const GeneratorState start = seed_generator(0);
  GeneratorState g = start;
  const double x = gamma(0.5, g);
  EXPECT_NEAR(x, 0.2318782531, 1e-9);
  EXPECT_EQ(outputs_between(start, g), 3);

  GeneratorState r = start;
  const double U = uniform_nonzero(r);
  EXPECT_EQ(U, 0.2585243733634266);
  const double G = gamma(1.5, r);
  EXPECT_NEAR(G, 3.469421230, 1e-8);
  EXPECT_EQ(x, std::pow(U, 2.0) * G);
}

TEST(Gamma, ShapeOneTakesMarsagliaTsangBranch) {
  // d = 0.6666666666666667, d * 9 = 6.000000000000001; no leading uniform.
  EXPECT_EQ((1.0 - ONE_THIRD) * 9.0, 6.000000000000001);
  GeneratorState a = seed_generator(3), b = seed_generator(3);
  EXPECT_EQ(gamma(1.0, a), detail::gamma_marsaglia_tsang(1.0, b));
  EXPECT_TRUE(testing::same_state(a, b));
}

TEST(Gamma, NonPositiveRejectionConsumesNoUniform) {
  // With a tiny shape-plus-one the transformed normal is often <= 0; each
  // such attempt must take exactly the normal draw's outputs.
  GeneratorState g = seed_generator(5);
  const double a = 1.0 + 1e-9;  // b = 1/sqrt(9 d) ~ 0.41: v <= 0 when z <= -2.45
  int rejections_seen = 0;
  for (int i = 0; i < 20000; ++i) {
    GeneratorState probe = g;
    const double z = normal(probe);
    const double b = 1.0 / std::sqrt((a - ONE_THIRD) * 9.0);
    if (z * b + 1.0 <= 0.0) {
      ++rejections_seen;
      // The draw from g must equal a draw that starts after that normal.
      GeneratorState skip = probe, full = g;
      const double expected = detail::gamma_marsaglia_tsang(a, skip);
      EXPECT_EQ(detail::gamma_marsaglia_tsang(a, full), expected);
      EXPECT_TRUE(testing::same_state(full, skip));
    }
    gamma(a, g);
  }
  EXPECT_GT(rejections_seen, 0);
}

TEST(Gamma, EdgesOfTheDomain) {
  GeneratorState g = seed_generator(1);
  EXPECT_EQ(gamma(0.0, g), 0.0);
  EXPECT_EQ(gamma(-0.0, g), std::numeric_limits<double>::infinity());
  EXPECT_EQ(gamma(std::numeric_limits<double>::infinity(), g),
            std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(gamma(std::numeric_limits<double>::quiet_NaN(), g)));
}

TEST(Gamma, NegativeShapesAreNaNAtOnce) {
  for (double a :
       {-1e-300, -0.5, -1.0, -3.5, -1e9, -1e300, -std::numeric_limits<double>::infinity()}) {
    const GeneratorState start = seed_generator(2);
    GeneratorState g = start;
    const double x = testing::run_with_deadline([&] { return gamma(a, g); });
    EXPECT_TRUE(std::isnan(x)) << a;
    EXPECT_EQ(outputs_between(start, g), 0) << a;
  }
}

TEST(Gamma, MomentsAcrossShapes) {
  for (double a : {0.1, 0.5, 1.0, 2.5, 30.0}) {
    const auto x = testing::draw_many(400000, 100 + static_cast<uint64_t>(a * 10),
                                      [a](GeneratorState& g) { return gamma(a, g); });
    for (double v : x) ASSERT_GE(v, 0.0);
    testing::expect_moments(x, a, a);
  }
}

}  // namespace
}  // namespace vexol
