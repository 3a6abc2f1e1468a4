// The methods on request (pg_methods.h): which sampler serves which shape,
// the exact inversion for h < 1 against quantiles computed independently
// in 60-digit arithmetic, the law of the exact pieces, and the value rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "polya_gamma/pg_methods.h"
#include "test_support.h"

namespace vexol {
namespace {

using testing::draw_many;
using testing::expect_laplace;
using testing::expect_moments;
using testing::outputs_between;
using testing::pg_mean;
using testing::pg_variance;
using testing::same_state;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_draw(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// --- Which sampler serves which shape --------------------------------------

TEST(Methods, DefaultRequestIsTheDefaultBlock) {
  std::vector<double> h, z;
  for (int i = 0; i < 640; ++i) {
    static const double shapes[] = {0.3, 1.0, 2.0, 3.5, 6.0, 12.0, 49.0, 60.0, 1000.0, 0.0};
    h.push_back(shapes[i % 10]);
    z.push_back(0.37 * (i % 13) - 2.0);
  }
  GeneratorState a = seed_generator(11), b = seed_generator(11);
  std::vector<double> x(64), y(64);
  for (size_t start = 0; start < h.size(); start += 64) {
    pg_sample_block(&h[start], &z[start], 64, a, x.data());
    pg_sample_block_method(&h[start], &z[start], 64, PgMethodRequest::kDefault, b, y.data());
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(same_draw(x[i], y[i])) << start + i;
  }
  EXPECT_TRUE(same_state(a, b));
}

TEST(Methods, SaddleServesEveryFiniteShapeFromEightAndTheDefaultBelow) {
  for (double h : {8.0, 20.0, 50.0, 50.5, 100.0, 1000.0, 1e6, SADDLE_MAX_SHAPE}) {
    for (double z : {0.0, 1.5, -30.0}) {
      GeneratorState a = seed_generator(5), b = seed_generator(5);
      for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(same_draw(pg_sample_method(h, z, PgMethodRequest::kSaddle, a),
                              saddle_point_draw(h, z, b)))
            << h << " " << z;
      }
      EXPECT_TRUE(same_state(a, b));
    }
  }
  // Beyond SADDLE_MAX_SHAPE the default's normal approximation.
  for (double h : {0.0, 0.4, 1.0, 2.0, 5.5, 7.99, kNaN, kInf, -kInf, 2e12, 1e300}) {
    GeneratorState a = seed_generator(6), b = seed_generator(6);
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(
          same_draw(pg_sample_method(h, 0.7, PgMethodRequest::kSaddle, a), pg_sample(h, 0.7, b)))
          << h;
    }
    EXPECT_TRUE(same_state(a, b));
  }
}

TEST(Methods, ExactKeepsTheDefaultWhereItIsExactAlready) {
  for (double h : {0.0, -0.0, 1.0, 1.5, 2.0, 4.0, 5.5, 7.99, kNaN, kInf, -kInf, -2.0}) {
    for (double z : {0.0, 0.5, -3.0}) {
      GeneratorState a = seed_generator(7), b = seed_generator(7);
      for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(
            same_draw(pg_sample_method(h, z, PgMethodRequest::kExact, a), pg_sample(h, z, b)))
            << h << " " << z;
      }
      EXPECT_TRUE(same_state(a, b));
    }
  }
}

TEST(Methods, ExactPiecesAreFoursThenTheDefaultRest) {
  // h = 8 + 4k + r: k + 1 pieces of 4 from one set-up, then PG(4 + r)
  // exactly as the default draws it, from the same outputs.
  for (double h : {8.0, 9.25, 11.99, 15.99}) {
    const double z = 1.3;
    GeneratorState a = seed_generator(8), b = seed_generator(8);
    const int64_t fours = static_cast<int64_t>(std::floor((h - 4.0) / 4.0));
    const double rest = h - 4.0 * fours;
    ASSERT_GE(rest, 4.0);
    ASSERT_LT(rest, 8.0);
    AlternateState four{};
    four.tilt = z * 0.5;
    alternate_setup(four, 4.0, false);
    for (int i = 0; i < 5; ++i) {
      double sum = 0.0;
      for (int64_t k = 0; k < fours; ++k) sum += alternate_draw(four, b) * 0.25;
      const double expected = sum + pg_sample(rest, z, b);
      ASSERT_TRUE(same_draw(pg_sample_method(h, z, PgMethodRequest::kExact, a), expected)) << h;
    }
    EXPECT_TRUE(same_state(a, b));
  }
}

// --- The inversion for h < 1 -------------------------------------------------

// Quantiles x with F(x) = u (left half) or S(x) = 1 - u (right half),
// found by bisection on the distribution function summed in 60-digit
// arithmetic (mpmath), independently of this code.
struct Quantile {
  double h, z, u, x;
};
constexpr Quantile kQuantiles[] = {
    {0.01, 0.0, 1e-15, 3.8793298368106269e-07},
    {0.01, 0.0, 0.3, 2.3074505106142543e-05},
    {0.01, 1.0, 0.01, 3.7597475484875038e-06},
    {0.01, 20.0, 0.99, 0.0036637806173220079},
    {0.01, 20.0, 0.99999899999999997, 0.036057372309172629},
    {0.1, 0.0, 1e-06, 0.00010390006264800234},
    {0.1, 0.0, 0.5, 0.0047150686846322495},
    {0.1, 0.0, 0.99, 0.32689557727367274},
    {0.1, 0.0, 0.99999899999999997, 1.9213059878856842},
    {0.1, 0.0, 0.99999999999999978, 6.2222890751154543},
    {0.1, 1.0, 0.8, 0.022596814717110256},
    {0.1, 4.0, 0.3, 0.0018676182260089691},
    {0.1, 4.0, 0.99999999999999978, 2.3766915963939956},
    {0.1, 20.0, 1e-15, 3.76581091551522e-05},
    {0.1, 20.0, 0.8, 0.0036197197901453038},
};

double ulps_apart(double a, double b) { return std::fabs(a - b) / (std::nextafter(b, kInf) - b); }

TEST(SmallShapeInversion, MatchesIndependentQuantilesToAFewUlps) {
  for (const Quantile& q : kQuantiles) {
    SmallShapeLaw law(q.h, q.z);
    const double x = small_shape_quantile(law, q.u);
    EXPECT_LE(ulps_apart(x, q.x), 8.0)
        << "h " << q.h << " z " << q.z << " u " << q.u << ": " << x << " vs " << q.x;
  }
}

TEST(SmallShapeInversion, WhereTheSurvivalFunctionIsOneMinusTheCdfTheErrorStaysSmall) {
  // Below x = 1 with a small tilt, S = 1 - F carries F's absolute error
  // (an ulp of 1) into S: 145 ulps here, 3e-14 of x.
  const Quantile q{0.01, 0.0, 0.99, 0.056125975943202719};
  SmallShapeLaw law(q.h, q.z);
  EXPECT_LE(ulps_apart(small_shape_quantile(law, q.u), q.x), 256.0);
}

TEST(SmallShapeInversion, TheTwoSeriesMeetAtTheSplit) {
  // Below x = 1 the small-x series, above it the large-x one: the
  // distribution function and the density must agree on both sides.
  for (double h : {0.02, 0.3, 0.7, 0.99}) {
    for (double z : {0.0, 2.0, 8.0}) {
      SmallShapeLaw law(h, z);
      const double below = std::nextafter(small_shape_constants::SERIES_SPLIT, 0.0);
      const double above = std::nextafter(small_shape_constants::SERIES_SPLIT, kInf);
      // Below the split S may be 1 - F, with F's absolute error of an ulp.
      const double log_sf = law.log_sf(above);
      const double tolerance = std::fmax(1e-13 * std::fabs(log_sf), 4e-16 / std::exp(log_sf));
      EXPECT_NEAR(law.log_sf(below), log_sf, tolerance) << h << " " << z;
      EXPECT_NEAR(law.log_cdf(below), law.log_cdf(above), 1e-15) << h << " " << z;
      EXPECT_NEAR(law.log_pdf(below), law.log_pdf(above), 1e-12 * std::fabs(law.log_pdf(above)))
          << h << " " << z;
    }
  }
}

TEST(SmallShapeInversion, DistributionAndSurvivalAddUpToOne) {
  for (double h : {0.001, 0.2, 0.95}) {
    for (double z : {0.0, 1.0, 5.0, 40.0}) {
      SmallShapeLaw law(h, z);
      for (double x : {1e-5, 1e-3, 0.05, 0.3, 0.9, 1.2, 3.0}) {
        const double total = std::exp(law.log_cdf(x)) + std::exp(law.log_sf(x));
        EXPECT_NEAR(total, 1.0, 1e-14) << h << " " << z << " " << x;
      }
    }
  }
}

TEST(SmallShapeInversion, OneUniformPerDrawAndTheDrawIsItsQuantile) {
  for (double h : {0.05, 0.5, 0.9}) {
    for (double z : {0.0, 3.0}) {
      GeneratorState g = seed_generator(21);
      for (int i = 0; i < 50; ++i) {
        GeneratorState before = g, copy = g;
        const double x = pg_sample_method(h, z, PgMethodRequest::kExact, g);
        ASSERT_EQ(outputs_between(before, g), 1);
        const double u = uniform_nonzero(copy);
        SmallShapeLaw law(h, z);
        ASSERT_EQ(x, small_shape_quantile(law, u));
      }
    }
  }
}

TEST(SmallShapeInversion, LawOfTheDraws) {
  for (double h : {0.1, 0.5, 0.9}) {
    for (double z : {0.0, 2.0}) {
      const auto x = draw_many(20000, 31, [&](GeneratorState& g) {
        return clamp_draw(pg_sample_method(h, z, PgMethodRequest::kExact, g));
      });
      expect_moments(x, pg_mean(h, z), pg_variance(h, z));
      expect_laplace(x, h, z, {0.5, 5.0, 50.0});
    }
  }
}

TEST(Methods, ExactFromSixteenIsTheCorrectedSaddlePointThenTheConcentratedSampler) {
  for (double h : {16.0, 22.5, 100.0, EXACT_CONCENTRATED_MIN_SHAPE, 1e6, SADDLE_MAX_SHAPE, 1e300}) {
    for (double z : {0.0, 1.3, -40.0, 2e6}) {
      const bool saddle = h <= EXACT_CONCENTRATED_MIN_SHAPE && z < EXACT_CONCENTRATED_MIN_TILT;
      GeneratorState a = seed_generator(9), b = seed_generator(9);
      for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(
            same_draw(pg_sample_method(h, z, PgMethodRequest::kExact, a),
                      saddle ? exact_saddle_draw(h, z, b) : exact_concentrated_draw(h, z, b)))
            << h << " " << z;
      }
      EXPECT_TRUE(same_state(a, b));
    }
  }
}

// --- The corrected saddle point ---------------------------------------------

// p/s at the x whose saddle point is w0 = -2u, from the Bromwich integral
// along the vertical line through w0 in 30-digit arithmetic (mpmath, as
// validation/saddle_ratio_bound.py computes it), independently of the
// trapezoid here.
struct Ratio {
  double h, w0, r;
};
constexpr Ratio kRatios[] = {
    {24.0, -2.4, 0.9965345542883972},
    {24.0, 0.0, 0.9970321779514669},
    {24.0, 100.0, 0.9999999890768043},
    {50.0, -1.0, 0.998434734619527},
    {1000.0, -2.0, 0.9999172710732671},
    {1000.0, 10.0, 0.999985048091326},
    // The far left tail of small shapes (large tilts land there).
    {16.0, 144.0, 0.9999999996218696},
    {16.0, 400.0, 0.9999999999999999},
    {50.0, 1e4, 1.0},
};

TEST(ExactSaddle, RatioAgainstArbitraryPrecisionAndWithinItsBounds) {
  for (const Ratio& c : kRatios) {
    const double u = -0.5 * c.w0;
    const SaddleMean m = saddle_mean(u);
    const double r = saddle_density_ratio(c.h, m.m, u, m.slope);
    EXPECT_NEAR(r, c.r, 1e-12) << c.h << " " << c.w0;
    EXPECT_LE(r, 1.0);
    EXPECT_GE(r, 1.0 - exact_saddle_constants::RATIO_SPREAD / c.h);
  }
  // The saddle point polished from the envelope's 1e-5 solve to the last bit.
  for (double X : {0.05, 0.7, 1.0, 1.0001, 3.0, 40.0, 1000.0}) {
    SaddlePointDerivatives d;
    SaddleMean m;
    const double u =
        polish_saddle_point(X, solve_saddle_point(X, saddle_point_initial_guess(X), d), m);
    // Within what one ulp of u moves m by (near the pole m is steep).
    const SaddleMean at = saddle_mean(u);
    EXPECT_NEAR(at.m, X, 4e-16 * X + 4.5e-16 * at.slope * (1.0 + std::fabs(u))) << X;
  }
}

TEST(ExactSaddle, LawAtLargeShapes) {
  // The Laplace transform at t = c/sd probes the whole law at the scale of
  // its spread, where the approximation's skew would show.
  for (double h : {1e3, 1e6}) {
    for (double z : {0.0, 30.0}) {
      const auto x = draw_many(20000, 43, [&](GeneratorState& g) {
        return pg_sample_method(h, z, PgMethodRequest::kExact, g);
      });
      const double mean = pg_mean(h, z);
      const double sd = std::sqrt(pg_variance(h, z));
      expect_moments(x, mean, pg_variance(h, z));
      // E exp(-t (x - mean)), so that nothing underflows at h = 1e6.
      for (double t : {0.5 / sd, 2.0 / sd}) {
        std::vector<double> e(x.size());
        for (size_t i = 0; i < x.size(); ++i) e[i] = std::exp(-t * (x[i] - mean));
        const testing::SampleMoments m = testing::moments_of(e);
        const double a = 0.5 * std::fabs(z);
        const double log_laplace =
            h * (std::log(std::cosh(a)) - std::log(std::cosh(std::sqrt(a * a + 0.5 * t))));
        EXPECT_NEAR(m.mean, std::exp(log_laplace + t * mean), 5 * std::sqrt(m.variance / m.n))
            << h << " " << z << " " << t;
      }
    }
  }
}

// --- The concentrated law's sampler --------------------------------------------

// Its construction holds at any h whose window stays clear of m's pole,
// and its approximations (the quadrature) are at their coarsest where the
// window is widest: at h = 2000 the law's skewness, about 2/sqrt(h), is
// 0.044 and 10^6 draws measure it to 0.0025 and the mean to 0.001 sd. The
// normal proposal accepted as it comes, the square root's factor dropped
// or a one- or two-node quadrature each move one of them by 6 to 21 of
// its standard errors.
TEST(ExactConcentrated, SkewnessAtAModerateShape) {
  for (double z : {0.0, 3.0}) {
    const double h = 2000.0;
    ConcentratedSetup s;
    concentrated_setup(h, z, s);
    const auto x =
        draw_many(1000000, 47, [&](GeneratorState& g) { return concentrated_draw(s, g); });
    // Cumulants of X = 4x/h: m(u0), m'(u0)/h, m''(u0)/h^2 (m'' by a central
    // difference of m').
    const double d = 1e-4;
    const double m2 = (saddle_mean(s.u0 + d).slope - saddle_mean(s.u0 - d).slope) / (2 * d);
    const double skew = m2 / (std::pow(saddle_mean(s.u0).slope, 1.5) * std::sqrt(h));
    expect_moments(x, pg_mean(h, z), pg_variance(h, z));
    const testing::SampleMoments m = testing::moments_of(x);
    double third = 0.0;
    for (double v : x) third += (v - m.mean) * (v - m.mean) * (v - m.mean);
    third /= m.n;
    EXPECT_NEAR(third / std::pow(m.variance, 1.5), skew, 4.0 * std::sqrt(6.0 / m.n)) << z;
  }
}

TEST(ExactConcentrated, WhereTheMethodUsesIt) {
  // From EXACT_CONCENTRATED_MIN_SHAPE and beyond the envelope's tilt limit:
  // the law's mean and variance, and z and -z alike.
  struct Case {
    double h, z;
  } cases[] = {{2e5, 1.0}, {1e13, 0.0}, {1e20, 2.0}, {20.0, 2e6}, {20.0, 1e11}, {1e6, -3e12}};
  for (const Case& c : cases) {
    const auto x = draw_many(20000, 53, [&](GeneratorState& g) {
      return pg_sample_method(c.h, c.z, PgMethodRequest::kExact, g);
    });
    expect_moments(x, pg_mean(c.h, c.z), pg_variance(c.h, c.z));
    GeneratorState a = seed_generator(9), b = seed_generator(9);
    EXPECT_TRUE(same_draw(pg_sample_method(c.h, c.z, PgMethodRequest::kExact, a),
                          pg_sample_method(c.h, -c.z, PgMethodRequest::kExact, b)));
  }
}

// --- The exact pieces and the corrected saddle point: the law ----------------

TEST(ExactPieces, LawOfTheDraws) {
  for (double h : {8.0, 20.0, 101.5}) {
    for (double z : {0.0, 3.0}) {
      const auto x = draw_many(20000, 41, [&](GeneratorState& g) {
        return pg_sample_method(h, z, PgMethodRequest::kExact, g);
      });
      expect_moments(x, pg_mean(h, z), pg_variance(h, z));
      expect_laplace(x, h, z, {0.1, 1.0});
    }
  }
}

// --- Value rules --------------------------------------------------------------

TEST(Methods, ValueRulesOfTheDefault) {
  for (PgMethodRequest m : {PgMethodRequest::kSaddle, PgMethodRequest::kExact}) {
    GeneratorState g = seed_generator(3);
    for (double h : {0.3, 20.0, 300.0}) {
      EXPECT_TRUE(std::isnan(pg_sample_method(kNaN, 1.0, m, g)));
      EXPECT_TRUE(std::isnan(pg_sample_method(kInf, 1.0, m, g)));
      EXPECT_TRUE(std::isnan(pg_sample_method(-kInf, 1.0, m, g)));
      EXPECT_EQ(clamp_draw(pg_sample_method(h, kInf, m, g)), DRAW_FLOOR) << h;
      EXPECT_EQ(clamp_draw(pg_sample_method(h, -kInf, m, g)), DRAW_FLOOR) << h;
      EXPECT_EQ(clamp_draw(pg_sample_method(0.0, 2.0, m, g)), DRAW_FLOOR);
      EXPECT_EQ(clamp_draw(pg_sample_method(-0.0, 2.0, m, g)), DRAW_FLOOR);
      // z and -z: the same draws from the same state.
      GeneratorState a = g, b = g;
      EXPECT_TRUE(same_draw(pg_sample_method(h, 2.5, m, a), pg_sample_method(h, -2.5, m, b)));
      // Finite inputs, finite draws.
      for (double z : {0.0, 1e-300, 5e-324, 1.0, 700.0, 1e10, 1e300}) {
        const double x = clamp_draw(pg_sample_method(h, z, m, g));
        EXPECT_TRUE(std::isfinite(x) && x >= DRAW_FLOOR) << h << " " << z << " " << x;
      }
    }
    // A NaN tilt below h = 1 gives NaN, as the default's gamma series.
    EXPECT_TRUE(std::isnan(pg_sample_method(0.3, kNaN, PgMethodRequest::kExact, g)));
  }
}

TEST(Methods, AwkwardShapesFinish) {
  testing::run_with_deadline([] {
    GeneratorState g = seed_generator(4);
    for (PgMethodRequest m : {PgMethodRequest::kSaddle, PgMethodRequest::kExact}) {
      for (double h : {1e-300, 5e-324, 1e-8, 0.999999999, 7.999999, 8.0, 1e6, 1e7, 1e100, 1e300}) {
        for (double z : {0.0, 1e-8, 3.0, 1e4, 1e12}) {
          const double x = clamp_draw(pg_sample_method(h, z, m, g));
          EXPECT_TRUE(std::isfinite(x) && x >= DRAW_FLOOR) << h << " " << z << " " << x;
          if (h >= 1e6 && z == 3.0) {
            // The mean h tanh(1.5)/6, relative spread below 1e-3.
            EXPECT_NEAR(x / pg_mean(h, z), 1.0, 0.02) << h;
          }
        }
      }
    }
    return 0;
  });
}

}  // namespace
}  // namespace vexol
