#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "polya_gamma/alternate.h"
#include "polya_gamma/pg_sample.h"
#include "test_support.h"

namespace vexol {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

AlternateState set_up(double h, double c) {
  AlternateState s{};
  s.tilt = c;
  alternate_setup(s, h, false);
  return s;
}

TEST(TruncationPoint, TableEntriesAndInterpolation) {
  EXPECT_EQ(alternate_truncation_point(2.5), 5.107017272);
  EXPECT_EQ(alternate_truncation_point(4.0), 8.255882407);
  EXPECT_EQ(alternate_truncation_point(1.0), 1.273239366);
  EXPECT_EQ(alternate_truncation_point(0.3), 1.273239366);
  EXPECT_EQ(alternate_truncation_point(7.0), 8.255882407);
  EXPECT_EQ(alternate_truncation_point(1.0625), 1.273239366 + (1.901515423 - 1.273239366) * 0.5);
  EXPECT_TRUE(std::isnan(alternate_truncation_point(kNaN)));
}

TEST(AlternateSetup, ZeroTilt) {
  const AlternateState s = set_up(2.5, 0.0);
  EXPECT_EQ(s.rate, 1.2337005501361697);
  EXPECT_EQ(s.log_rate, std::log(1.2337005501361697));
  EXPECT_EQ(s.truncation, 5.107017272);
  EXPECT_EQ(s.inv_truncation, 1.0 / 5.107017272);
  EXPECT_EQ(s.half_h_squared, 3.125);
  EXPECT_EQ(s.mean, 0.0);
  EXPECT_EQ(s.tilt_squared, 0.0);
  const double qL =
      std::erfc(2.5 / std::sqrt(2 * 5.107017272)) * std::exp(2.5 * 0.6931471805599453);
  const double qR = upper_incomplete_gamma(2.5, 1.2337005501361697 * 5.107017272, true) *
                    std::exp((0.4515827052894549 - s.log_rate) * 2.5);
  EXPECT_EQ(s.right_probability, static_cast<float>(qR / (qR + qL)));
}

TEST(AlternateSetup, RemainderKeepsTiltValues) {
  AlternateState s{};
  s.tilt = 0.75;
  alternate_setup(s, 4.0, false);
  const double rate = s.rate, log_rate = s.log_rate, tilt_squared = s.tilt_squared;
  // Overwrite to prove the remainder set-up does not recompute them.
  s.rate = 123.0;
  s.log_rate = 4.0;
  s.tilt_squared = 7.0;
  alternate_setup(s, 2.0, true);
  EXPECT_EQ(s.rate, 123.0);
  EXPECT_EQ(s.log_rate, 4.0);
  EXPECT_EQ(s.tilt_squared, 7.0);
  EXPECT_EQ(s.shape, 2.0);
  EXPECT_EQ(s.mean, 2.0 / 0.75);

  AlternateState fresh = set_up(2.0, 0.75);
  AlternateState again{};
  again.tilt = 0.75;
  alternate_setup(again, 4.0, false);
  alternate_setup(again, 2.0, true);
  EXPECT_EQ(again.rate, rate);
  EXPECT_EQ(again.log_rate, log_rate);
  EXPECT_EQ(again.tilt_squared, tilt_squared);
  EXPECT_EQ(again.right_probability, fresh.right_probability);
}

TEST(AlternateSetup, NaNShapeStaysInsideTable) {
  AlternateState s{};
  s.tilt = 0.5;
  alternate_setup(s, kNaN, true);
  EXPECT_TRUE(std::isnan(s.truncation));
  GeneratorState g = seed_generator(1);
  const GeneratorState start = g;
  EXPECT_TRUE(std::isnan(testing::run_with_deadline([&] { return alternate_draw(s, g); })));
  EXPECT_TRUE(testing::same_state(start, g));
}

TEST(IncompleteGamma, IntegerShapeIsTheFiniteSum) {
  for (double x : {0.1, 1.0, 4.5, 20.0}) {
    EXPECT_NEAR(upper_incomplete_gamma(3.0, x, true), std::exp(-x) * (1 + x + x * x / 2), 1e-15);
    EXPECT_EQ(upper_incomplete_gamma(1.0, x, true), std::exp(-x));
  }
}

TEST(IncompleteGamma, HalfIntegerShapeUsesErfc) {
  for (double x : {0.1, 1.0, 4.5, 20.0}) {
    const double s = std::sqrt(x);
    // Q(1.5, x) = erfc(sqrt x) + 2 sqrt(x/pi) e^-x
    EXPECT_NEAR(upper_incomplete_gamma(1.5, x, true),
                std::erfc(s) + 2 * std::sqrt(x / M_PI) * std::exp(-x), 1e-15);
    // Q(2.5, x) = erfc(sqrt x) + (2 sqrt(x/pi) + 4 x^1.5/(3 sqrt pi)) e^-x
    EXPECT_NEAR(
        upper_incomplete_gamma(2.5, x, true),
        std::erfc(s) + (2 * std::sqrt(x / M_PI) + 4 * x * s / (3 * std::sqrt(M_PI))) * std::exp(-x),
        1e-14);
  }
}

TEST(IncompleteGamma, ContinuedFractionsAgainstReference) {
  // Reference values of Q(a, x) and Gamma(a, x) from SciPy's gammaincc
  // (times gamma(a)); the fraction runs in single precision.
  struct Case {
    double a, x;
    bool regularized;
    double expected;
  };
  const Case cases[] = {
      {30.0, 20.0, true, 0.9781817824744425},  {30.0, 40.0, true, 0.043228682151735594},
      {29.7, 25.0, true, 0.8024986308708841},  {2.3, 1.0, true, 0.8095457638818521},
      {2.3, 6.0, true, 0.0267627321638931},    {20.0, 12.0, false, 1.1905652072555693e+17},
      {20.0, 30.0, false, 2660800264842415.0},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(upper_incomplete_gamma(c.a, c.x, c.regularized), c.expected,
                2e-6 * std::fabs(c.expected))
        << "a = " << c.a << ", x = " << c.x;
  }
}

TEST(GammaTail, ShapeOneIsShiftedExponential) {
  GeneratorState g = seed_generator(3), r = seed_generator(3);
  EXPECT_EQ(draw_gamma_tail(1.0, 2.0, 5.0, g), exponential(r) / 2.0 + 5.0);
  EXPECT_TRUE(testing::same_state(g, r));
}

TEST(GammaTail, ConditionalMeanAboveBound) {
  // E[X | X > bound] for Gamma(a, rate): a Q(a + 1, d) / (Q(a, d) rate),
  // d = rate * bound, evaluated with SciPy's gammaincc.
  struct Case {
    double a, rate, bound, expected;
  };
  for (const Case c :
       {Case{0.5, 3.125, 0.2, 0.4498770925357046}, Case{2.5, 1.2337, 5.1, 6.086588575800231},
        Case{20.0, 30.0, 0.9, 0.9843758301978066}}) {
    const auto x = testing::draw_many(
        200000, 31, [c](GeneratorState& g) { return draw_gamma_tail(c.a, c.rate, c.bound, g); });
    double mean = 0, mn = kInf;
    for (double v : x) {
      mean += v;
      mn = std::min(mn, v);
    }
    mean /= x.size();
    EXPECT_GT(mn, c.bound);
    EXPECT_NEAR(mean, c.expected, 2e-3 * c.expected) << c.a;
  }
}

TEST(GammaTail, ShapesWithinRoundingOfOneEnd) {
  // Just above a = 1 the optimal proposal rate rounds to 1 and the
  // acceptance test could never pass. The tail draw there is the a = 1
  // exponential; a little further up the rejection loop is kept.
  const double b = 1.2337005501361697, bound = 1.273239366;
  for (int ulps = 1; ulps <= 40; ++ulps) {
    double a = 1.0;
    for (int k = 0; k < ulps; ++k) a = std::nextafter(a, 2.0);
    GeneratorState g = seed_generator(50 + ulps), r = seed_generator(50 + ulps);
    for (int i = 0; i < 50; ++i) {
      const double x = testing::run_with_deadline([&] { return draw_gamma_tail(a, b, bound, g); });
      ASSERT_GT(x, bound) << ulps;
      const double shape_one = draw_gamma_tail(1.0, b, bound, r);
      if (ulps == 1) {
        ASSERT_EQ(x, shape_one);
      }
    }
  }
  GeneratorState g = seed_generator(7), r = seed_generator(7);
  const double a = 1.0 + 1e-6;
  bool any_other = false;
  for (int i = 0; i < 50; ++i)
    any_other |= draw_gamma_tail(a, b, bound, g) != exponential(r) / b + bound;
  EXPECT_TRUE(any_other) << "the rejection loop still runs at a = 1 + 1e-6";
}

TEST(AlternateDraw, ShapesJustAboveOneAndPiecesWithSuchRemaindersEnd) {
  // The right piece of these shapes (and of the remainders h - 4 and h - 3
  // of the pieces regime) is the gamma tail just above a = 1. Draws end,
  // and h = 1 + 2^-52 keeps the law of PG(1, z).
  const double above_one = std::nextafter(1.0, 2.0);
  for (double h : {above_one, std::nextafter(above_one, 2.0), 1.0 + 4e-15, 1.0 + 1e-14,
                   std::nextafter(5.0, 6.0), 5.0 + 4e-15, std::nextafter(4.0, 5.0)}) {
    for (double z : {0.0, 0.48466896056076303, 1.5, 7.0}) {
      GeneratorState g = seed_generator(21);
      for (int i = 0; i < 200; ++i) {
        const double x = testing::run_with_deadline([&] { return pg_sample(h, z, g); });
        ASSERT_TRUE(std::isfinite(x) && x > 0.0) << h << " " << z;
      }
    }
  }
  const auto x = testing::draw_many(
      100000, 23, [&](GeneratorState& g) { return pg_sample(above_one, 1.0, g); });
  testing::expect_moments(x, testing::pg_mean(1.0, 1.0), testing::pg_variance(1.0, 1.0));
  testing::expect_laplace(x, 1.0, 1.0, {1.0, 5.0});
}

TEST(AlternateDraw, RightPieceAtShapeOneIsOneExponential) {
  // Remainder shape 1: a proposal from the right piece takes U1, one
  // exponential and U2 (three outputs when each ziggurat draw is fast).
  AlternateState s = set_up(1.0, 0.0);
  s.right_probability = 1.0f;  // force the right piece
  GeneratorState g = seed_generator(0), r = seed_generator(0);
  alternate_draw(s, g);
  uniform_nonzero(r);
  const double X = exponential(r) / s.rate + s.truncation;
  EXPECT_EQ(s.x, X);
}

TEST(AlternateDraw, MatchesExactLaw) {
  // J*(h, c)/4 is PG(h, 2c).
  for (double h : {1.0, 1.3, 2.5, 3.9, 4.0}) {
    for (double z : {0.0, 0.8, 3.0}) {
      AlternateState s = set_up(h, z * 0.5);
      const auto x =
          testing::draw_many(150000, 40 + static_cast<uint64_t>(h * 10 + z),
                             [&s](GeneratorState& g) { return alternate_draw(s, g) * 0.25; });
      testing::expect_moments(x, testing::pg_mean(h, z), testing::pg_variance(h, z));
      testing::expect_laplace(x, h, z, {1.0, 5.0});
    }
  }
}

TEST(AlternateDraw, NonFiniteAndHugeTiltsEnd) {
  GeneratorState g = seed_generator(2);
  for (double c : {kInf}) {
    AlternateState s = set_up(2.5, c);
    EXPECT_EQ(testing::run_with_deadline([&] { return alternate_draw(s, g); }), 0.0);
  }
  for (double c : {1e100, 1e154, 2e154, 1e200, 1e300, std::numeric_limits<double>::max()}) {
    for (double h : {1.5, 3.0, 4.0}) {
      AlternateState s = set_up(h, c);
      for (int i = 0; i < 10; ++i) {
        const double x = testing::run_with_deadline([&] { return alternate_draw(s, g); });
        ASSERT_TRUE(std::isfinite(x)) << h << " " << c;
        ASSERT_GE(x, 0.0);
      }
    }
  }
  // A NaN tilt is a zero tilt.
  AlternateState a = set_up(2.5, kNaN), b = set_up(2.5, 0.0);
  EXPECT_EQ(a.right_probability, b.right_probability);
  GeneratorState ga = seed_generator(8), gb = seed_generator(8);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(alternate_draw(a, ga), alternate_draw(b, gb));
}

}  // namespace
}  // namespace vexol
