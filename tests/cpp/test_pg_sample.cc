#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "polya_gamma/pg_sample.h"
#include "test_support.h"

namespace vexol {
namespace {

using testing::outputs_between;
using testing::same_state;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// --- Which method serves which (h, z) -------------------------------------

TEST(Dispatch, ShapeOneIsOneDevroyeDrawForAnyTilt) {
  for (double z : {0.0, 0.5, 1.0, 2.0, -7.5}) {
    GeneratorState a = seed_generator(1), b = seed_generator(1);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(pg_sample(1.0, z, a), 0.0 + devroye_draw(z, b));
    EXPECT_TRUE(same_state(a, b));
  }
}

TEST(Dispatch, SmallIntegerShapesSumDevroyeDrawsUpToUnitTilt) {
  for (double h : {2.0, 3.0, 4.0}) {
    for (double z : {0.0, 0.5, 1.0, -1.0}) {
      GeneratorState a = seed_generator(2), b = seed_generator(2);
      for (int i = 0; i < 20; ++i) {
        double sum = 0.0;
        for (int k = 0; k < static_cast<int>(h); ++k) sum += devroye_draw(z, b);
        ASSERT_EQ(pg_sample(h, z, a), sum) << h << " " << z;
      }
      EXPECT_TRUE(same_state(a, b));
    }
  }
}

double one_alternate_piece(double h, double z, GeneratorState& g) {
  AlternateState s{};
  s.tilt = std::fabs(z) * 0.5;
  alternate_setup(s, h, false);
  return alternate_draw(s, g) * 0.25;
}

TEST(Dispatch, IntegerShapesAboveUnitTiltTakeOneAlternatePiece) {
  for (double h : {2.0, 3.0, 4.0}) {
    GeneratorState a = seed_generator(3), b = seed_generator(3);
    for (int i = 0; i < 20; ++i)
      ASSERT_EQ(pg_sample(h, 1.0000001, a), one_alternate_piece(h, 1.0000001, b));
  }
  GeneratorState a = seed_generator(3), b = seed_generator(3);
  EXPECT_EQ(pg_sample(2.7, 0.3, a), one_alternate_piece(2.7, 0.3, b));
}

// The pieces regime: whole pieces of `piece` from one set-up, then the
// remainder from a second set-up of the same state.
double pieces(double h, double z, double piece, int count, GeneratorState& g) {
  AlternateState s{};
  s.tilt = std::fabs(z) * 0.5;
  alternate_setup(s, piece, false);
  double sum = 0.0;
  for (int i = 0; i < count; ++i) sum += alternate_draw(s, g) * 0.25;
  alternate_setup(s, h - piece * count, true);
  return alternate_draw(s, g) * 0.25 + sum;
}

TEST(Dispatch, ShapesBetweenFourAndEightTakePieces) {
  struct Case {
    double h, piece;
    int count;
  };
  for (const Case c : {Case{4.5, 3.0, 1}, Case{5.0, 4.0, 1}, Case{6.0, 4.0, 1}, Case{7.0, 4.0, 1},
                       Case{7.999, 4.0, 1}}) {
    for (double z : {0.0, 0.5, 2.0}) {
      GeneratorState a = seed_generator(4), b = seed_generator(4);
      for (int i = 0; i < 20; ++i)
        ASSERT_EQ(pg_sample(c.h, z, a), pieces(c.h, z, c.piece, c.count, b)) << c.h;
    }
  }
}

TEST(Dispatch, SaddlePointFromEightToFifty) {
  for (double h : {8.0, 50.0}) {
    GeneratorState a = seed_generator(5), b = seed_generator(5);
    EXPECT_EQ(pg_sample(h, 1.5, a), saddle_point_draw(h, 1.5, b));
  }
  // Just above 50 the normal approximation takes exactly one normal draw.
  GeneratorState a = seed_generator(5), r = seed_generator(5);
  const double x = pg_sample(std::nextafter(50.0, 100.0), 1.5, a);
  EXPECT_EQ(outputs_between(seed_generator(5), a), 1);
  EXPECT_NE(x, saddle_point_draw(50.0, 1.5, r));
}

TEST(Dispatch, NonPositiveIntegerShapesUpToUnitTiltAreZero) {
  for (double h : {0.0, -0.0, -1.0, -3.0}) {
    GeneratorState g = seed_generator(6);
    EXPECT_EQ(testing::run_with_deadline([&] { return pg_sample(h, 0.5, g); }), 0.0) << h;
    EXPECT_EQ(outputs_between(seed_generator(6), g), 0);
  }
}

TEST(Dispatch, InfiniteShapesGiveNaNAndKeepTheDrawsAfterThem) {
  // No PG law has an infinite shape. +inf draws the one normal of the
  // normal approximation's regime, -inf nothing, as they always did, so that
  // the element after an infinite shape keeps its draw.
  for (double z : {0.0, -0.0, 0.5, 1.0, 3.0, 100.0, 1e300, kInf, -kInf, kNaN}) {
    for (double h : {kInf, -kInf}) {
      GeneratorState g = seed_generator(14), expected = seed_generator(14);
      for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(std::isnan(pg_sample(h, z, g))) << h << " " << z;
        if (h > 0) normal(expected);
      }
      EXPECT_TRUE(same_state(g, expected)) << h << " " << z;
      EXPECT_EQ(pg_sample(1.0, 0.5, g), pg_sample(1.0, 0.5, expected));
    }
  }
}

// --- Normal approximation --------------------------------------------------

TEST(NormalApproximation, SeriesMomentsBelowOneThousandth) {
  const double h = 60.0;
  for (double z : {0.0, 0.000999}) {
    GeneratorState a = seed_generator(7), b = seed_generator(7);
    const double mean = (0.25 - (z * z) / 48.0) * h;
    const double var = (0.041666666666666664 - (z * z) / 240.0) * h;
    EXPECT_EQ(pg_sample(h, z, a), normal(b) * std::sqrt(var) + mean);
  }
  // 0.001 itself uses the closed forms.
  GeneratorState a = seed_generator(7), b = seed_generator(7);
  const double z = 0.001, T = std::tanh(z * 0.5);
  const double mean = ((h * 0.5) * T) / z;
  const double var = (((std::sinh(z) - z) * (h * 0.25)) * (1 - T * T)) / ((z * z) * z);
  EXPECT_EQ(pg_sample(h, z, a), normal(b) * std::sqrt(var) + mean);
}

// The variance h (sinh a - a) sech^2(a/2) / (4 a^3) in long double, with
// its large-a form h (2 - 4 a e^-a) / (4 a^3) where sinh leaves the range.
long double reference_variance(long double h, long double a) {
  if (a > 5000) return h * (2.0L - 4.0L * a * std::exp(-a)) / (4.0L * a * a * a);
  const long double c = std::cosh(a / 2);
  return h * (std::sinh(a) - a) / (4.0L * a * a * a * c * c);
}

TEST(NormalApproximation, LargeTiltsKeepTheLawsSpread) {
  // 1 - tanh^2(a/2) cancels as a grows: the spread was off from about 30 on
  // and 0 from 38.1. From 24 on it comes from the stable form.
  for (double h : {51.0, 75.0, 1000.0, 1e200}) {
    for (double z : {24.0, -30.0, 38.0, 39.0, 100.0, 709.0, 711.0, 1e5}) {
      GeneratorState a = seed_generator(8), b = seed_generator(8);
      const double x = pg_sample(h, z, a);
      const double n = normal(b);
      const double mean = ((h * 0.5) * std::tanh(std::fabs(z) * 0.5)) / std::fabs(z);
      const long double sd = std::sqrt(reference_variance(h, std::fabs(z)));
      const double spread = n * static_cast<double>(sd);
      EXPECT_NEAR(x, mean + spread, 1e-15 * mean + 1e-13 * std::fabs(spread)) << h << " " << z;
      EXPECT_EQ(outputs_between(seed_generator(8), a), 1);
    }
  }
  // Just below 24 the draws keep the bits they always had.
  GeneratorState a = seed_generator(8), b = seed_generator(8);
  const double h = 75.0, z = 23.99, T = std::tanh(z * 0.5);
  const double var = (((std::sinh(z) - z) * (h * 0.25)) * (1 - T * T)) / ((z * z) * z);
  EXPECT_EQ(pg_sample(h, z, a), normal(b) * std::sqrt(var) + ((h * 0.5) * T) / z);
  // An infinite tilt is the point mass at 0; the normal is still drawn.
  GeneratorState g = seed_generator(8);
  EXPECT_EQ(pg_sample(100.0, kInf, g), 0.0);
  EXPECT_EQ(outputs_between(seed_generator(8), g), 1);
  EXPECT_TRUE(std::isnan(pg_sample(100.0, kNaN, g)));
}

// --- Gamma series ----------------------------------------------------------

TEST(GammaSeries, TwentyGammaDrawsThenOneForTheTail) {
  const double h = 0.5, z = 2.0;
  GeneratorState a = seed_generator(9), b = seed_generator(9);
  const double x = pg_sample(h, z, a);
  const double w = z / 6.283185307179586;
  double A = 0;
  for (int k = 1; k <= 20; ++k) A += gamma(h, b) / ((k - 0.5) * (k - 0.5) + w * w);
  const GeneratorState after_twenty = b;
  gamma(1.0, b);  // any shape >= 1 draw advances like the tail draw does
  EXPECT_GT(outputs_between(after_twenty, a), 0);
  EXPECT_NE(x, A * 0.05066059182116889);
}

TEST(GammaSeries, VisiblyOffRegionsDrawExactlyByInversion) {
  // Tiny shapes and large tilts, where the series' law is visibly off, take
  // the exact inversion: one uniform. The series keeps the rest, and an
  // infinite tilt, whose tail variance is 0: 20 gamma draws and the floor.
  for (double h : {1e-300, 0.001, 0.0999, 0.1, 0.99}) {
    for (double z : {0.0, -3.0, 50.0, -50.01, 1e120}) {
      const bool exact = h < 0.1 || std::fabs(z) > 50.0;
      GeneratorState a = seed_generator(10), b = seed_generator(10);
      const double x = pg_sample(h, z, a);
      if (exact) {
        EXPECT_EQ(x, small_shape_exact_draw(h, z, b)) << h << " " << z;
        EXPECT_EQ(outputs_between(seed_generator(10), a), 1);
      } else {
        EXPECT_GT(outputs_between(seed_generator(10), a), 20) << h << " " << z;
      }
    }
  }
  GeneratorState a = seed_generator(10), b = seed_generator(10);
  EXPECT_EQ(pg_sample(0.5, kInf, a), 0.0);
  for (int k = 0; k < 20; ++k) gamma(0.5, b);
  EXPECT_TRUE(same_state(a, b));
}

TEST(GammaSeries, LimitSumsAtAndBelowTheThreshold) {
  // Below w = 1e-4 (z = 0 included) the full sums take their limits, at it
  // the closed forms: both without a division by zero, both followed by the
  // moment-matched tail draw, and the two laws nearly equal.
  const double z_at = 0.0001 * 6.283185307179586;
  for (double z : {0.0, std::nextafter(z_at, 0.0), z_at}) {
    GeneratorState a = seed_generator(11), b = seed_generator(11);
    const double x = pg_sample(0.7, z, a);
    for (int k = 0; k < 20; ++k) gamma(0.7, b);
    EXPECT_TRUE(std::isfinite(x)) << z;
    EXPECT_GT(x, 0.0) << z;
    EXPECT_FALSE(same_state(a, b)) << "no tail draw at z = " << z;
  }
}

// --- The law of every regime ----------------------------------------------

struct Regime {
  const char* name;
  double h, z;
  bool exact;
};

class RegimeLaw : public ::testing::TestWithParam<Regime> {};

TEST_P(RegimeLaw, MomentsAndLaplaceTransform) {
  const Regime r = GetParam();
  const auto x = testing::draw_many(200000, 1000 + static_cast<uint64_t>(r.h * 100 + r.z * 10),
                                    [&](GeneratorState& g) { return pg_sample(r.h, r.z, g); });
  if (r.h < 8.0 || r.h > 50.0) {
    testing::expect_moments(x, testing::pg_mean(r.h, r.z), testing::pg_variance(r.h, r.z));
  } else {  // the saddle point approximates the law closely, not exactly
    const testing::SampleMoments m = testing::moments_of(x);
    EXPECT_NEAR(m.mean, testing::pg_mean(r.h, r.z), 5e-3 * testing::pg_mean(r.h, r.z));
    EXPECT_NEAR(m.variance, testing::pg_variance(r.h, r.z), 3e-2 * testing::pg_variance(r.h, r.z));
  }
  if (r.exact) testing::expect_laplace(x, r.h, r.z, {0.5, 2.0, 8.0});
}

INSTANTIATE_TEST_SUITE_P(AllRegimes, RegimeLaw,
                         ::testing::Values(Regime{"GammaSeriesSmallShape", 0.3, 1.5, false},
                                           Regime{"GammaSeriesZeroTilt", 0.8, 0.0, false},
                                           Regime{"ShapeOne", 1.0, 2.5, true},
                                           Regime{"IntegerSum", 3.0, 0.5, true},
                                           Regime{"IntegerSumAtUnitTilt", 4.0, 1.0, true},
                                           Regime{"AlternateOnePiece", 2.5, 1.0, true},
                                           Regime{"AlternateIntegerAboveUnitTilt", 2.0, 3.0, true},
                                           Regime{"PiecesThreePlusRest", 4.5, 1.0, true},
                                           Regime{"PiecesFourPlusRest", 6.0, 2.0, true},
                                           Regime{"SaddlePoint", 20.0, 1.0, false},
                                           Regime{"SaddlePointZeroTilt", 8.0, 0.0, false},
                                           Regime{"NormalApproximation", 100.0, 1.0, false},
                                           Regime{"NormalApproximationZeroTilt", 75.0, 0.0, false}),
                         [](const ::testing::TestParamInfo<Regime>& info) {
                           return std::string(info.param.name);
                         });

// --- Symmetry and termination over every kind of double ---------------------

TEST(Dispatch, SignOfTiltNeverMatters) {
  for (double h : {0.4, 1.0, 2.0, 2.5, 4.5, 6.0, 7.5, 8.0, 30.0, 60.0}) {
    for (double z : {0.0, 0.3, 1.0, 2.0, 9.0, 120.0}) {
      GeneratorState a = seed_generator(12), b = seed_generator(12);
      for (int i = 0; i < 20; ++i)
        ASSERT_EQ(pg_sample(h, z, a), pg_sample(h, -z, b)) << h << " " << z;
      ASSERT_TRUE(same_state(a, b));
    }
  }
}

TEST(Dispatch, EveryPairOfDoublesEnds) {
  const double values[] = {kNaN,   kInf,
                           -kInf,  0.0,
                           -0.0,   5e-324,
                           1e-300, 1e-8,
                           0.5,    1.0,
                           2.0,    3.0,
                           3.5,    4.0,
                           4.5,    7.999,
                           8.0,    49.0,
                           50.0,   51.0,
                           1e3,    1e10,
                           1e154,  1e206,
                           1e300,  std::numeric_limits<double>::max(),
                           -0.5,   -1.0,
                           -2.5,   -1e300};
  GeneratorState g = seed_generator(13);
  for (double h : values) {
    for (double z : values) {
      const double x = testing::run_with_deadline([&] { return pg_sample(h, z, g); });
      // Valid shapes (h > 0) never give a negative draw beyond the normal
      // approximation's, and finite valid inputs never give NaN there.
      if (h > 0 && h <= 50 && !std::isnan(z)) {
        EXPECT_FALSE(std::isnan(x)) << h << " " << z;
        EXPECT_GE(x, 0.0) << h << " " << z;
      }
      if (std::isnan(h)) {
        EXPECT_TRUE(std::isnan(x)) << h << " " << z;
      }
    }
  }
}

}  // namespace
}  // namespace vexol
