#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "random/ziggurat.h"
#include "test_support.h"

namespace vexol {
namespace {

using testing::outputs_between;

void expect_rel(double actual, double expected, double rel = 1e-9) {
  EXPECT_NEAR(actual, expected, std::fabs(expected) * rel);
}

TEST(ZigguratTables, NormalReferenceEdges) {
  const ZigguratTables& t = ziggurat_tables;
  expect_rel(t.normal_x[0], 3.713086247);
  EXPECT_EQ(t.normal_x[1], NORMAL_R);
  expect_rel(t.normal_x[2], 3.223084985);
  expect_rel(t.normal_x[16], 2.395434278);
  expect_rel(t.normal_x[127], 0.2723208648);
  EXPECT_EQ(t.normal_x[128], 0.0);
  expect_rel(t.normal_ratio[0], 0.9271586026);
  EXPECT_EQ(t.normal_ratio[127], 0.0);
}

TEST(ZigguratTables, ExponentialReferenceEdges) {
  const ZigguratTables& t = ziggurat_tables;
  expect_rel(t.exp_x[0], 8.697117470);
  EXPECT_EQ(t.exp_x[1], EXP_R);
  expect_rel(t.exp_x[2], 6.941033629);
  expect_rel(t.exp_x[16], 4.480211747);
  expect_rel(t.exp_x[255], 0.06385216382);
  EXPECT_EQ(t.exp_x[256], 0.0);
  expect_rel(t.exp_ratio[0], 0.8850193753);
  EXPECT_EQ(t.exp_ratio[255], 0.0);
}

TEST(ZigguratTables, TableIsTheBuildAndEdgesDecrease) {
  ZigguratTables fresh{};
  build_ziggurat_tables(fresh);
  EXPECT_EQ(std::memcmp(&fresh, &ziggurat_tables, sizeof fresh), 0);
  for (int k = 1; k < 128; ++k) ASSERT_LT(fresh.normal_x[k + 1], fresh.normal_x[k]) << k;
  for (int k = 1; k < 256; ++k) ASSERT_LT(fresh.exp_x[k + 1], fresh.exp_x[k]) << k;
  for (int k = 0; k < 128; ++k)
    ASSERT_EQ(fresh.normal_ratio[k], fresh.normal_x[k + 1] / fresh.normal_x[k]);
  for (int k = 0; k < 256; ++k) ASSERT_EQ(fresh.exp_ratio[k], fresh.exp_x[k + 1] / fresh.exp_x[k]);
}

TEST(ZigguratConstants, BitPatterns) {
  uint64_t r, e;
  std::memcpy(&r, &NORMAL_R, 8);
  std::memcpy(&e, &EXP_R, 8);
  EXPECT_EQ(r, 0x400B8A7C476D2BE8ULL);
  EXPECT_EQ(e, 0x401EC9D9297EBB83ULL);
}

TEST(Normal, FirstDrawFromSeedZero) {
  // Layer 16, u = -0.4829512532731468: the fast path, one output.
  const GeneratorState start = seed_generator(0);
  GeneratorState g = start;
  const double x = normal(g);
  EXPECT_EQ(x, -0.4829512532731468 * ziggurat_tables.normal_x[16]);
  EXPECT_NEAR(x, -1.156877987, 1e-9);
  EXPECT_EQ(outputs_between(start, g), 1);
}

TEST(Exponential, FirstDrawFromSeedZero) {
  const GeneratorState start = seed_generator(0);
  GeneratorState g = start;
  const double x = exponential(g);
  EXPECT_EQ(x, 0.2585243733634266 * ziggurat_tables.exp_x[16]);
  EXPECT_NEAR(x, 1.158243934, 1e-9);
  EXPECT_EQ(outputs_between(start, g), 1);
}

// Counts outputs per draw over a long stream: every draw takes at least one,
// fast-path draws exactly one, and the layers that can never pass the fast
// test (normal 127, exponential 255) always take more.
TEST(Normal, OutputsPerDrawFollowLayers) {
  GeneratorState g = seed_generator(7);
  int wedge_layer_seen = 0, tail_seen = 0;
  for (int i = 0; i < 200000; ++i) {
    GeneratorState peek = g;
    const uint64_t o = next_u64(peek);
    const unsigned layer = o & 0x7F;
    const double u = 2.0 * output_to_uniform(o) - 1.0;
    const GeneratorState before = g;
    const double x = normal(g);
    const int used = outputs_between(before, g);
    if (ziggurat_tables.normal_ratio[layer] > std::fabs(u)) {
      ASSERT_EQ(used, 1);
      ASSERT_EQ(x, u * ziggurat_tables.normal_x[layer]);
    } else {
      ASSERT_GE(used, 2);
    }
    if (layer == 127) ++wedge_layer_seen;
    if (layer == 0 && !(ziggurat_tables.normal_ratio[0] > std::fabs(u))) {
      // The tail keeps the sign of the attempt's u and lies beyond NORMAL_R.
      ++tail_seen;
      ASSERT_GT(std::fabs(x), NORMAL_R);
      ASSERT_EQ(x > 0, u >= 0);
    }
  }
  EXPECT_GT(wedge_layer_seen, 0);
  EXPECT_GT(tail_seen, 0);
}

TEST(Exponential, OutputsPerDrawFollowLayers) {
  GeneratorState g = seed_generator(8);
  int tail_seen = 0;
  for (int i = 0; i < 200000; ++i) {
    GeneratorState peek = g;
    const uint64_t o = next_u64(peek);
    const unsigned layer = o & 0xFF;
    const double U = output_to_uniform(o);
    const GeneratorState before = g;
    const double x = exponential(g);
    const int used = outputs_between(before, g);
    if (ziggurat_tables.exp_ratio[layer] > U) {
      ASSERT_EQ(used, 1);
      ASSERT_EQ(x, U * ziggurat_tables.exp_x[layer]);
    } else {
      ASSERT_GE(used, 2);
    }
    if (layer == 0 && !(ziggurat_tables.exp_ratio[0] > U)) {
      ++tail_seen;
      ASSERT_GE(x, EXP_R);  // the offset carries into the result
    }
  }
  EXPECT_GT(tail_seen, 0);
}

TEST(Exponential, ZeroUniformInALowLayerReturnsTheOffset) {
  // Output 5: layer 5, top 53 bits zero. The fast test 0 < ratio passes.
  GeneratorState g = testing::state_with_next_output(5);
  const GeneratorState start = g;
  EXPECT_EQ(exponential(g), 0.0);
  EXPECT_EQ(outputs_between(start, g), 1);
}

TEST(Normal, LayerZeroInsideTheBaseReturnsFromTheFastPath) {
  // Output with layer 0 and u = 0.5 (U = 0.75): |u| < ratio[0] ~ 0.927.
  const uint64_t o = (uint64_t{3} << 62);
  GeneratorState g = testing::state_with_next_output(o);
  const GeneratorState start = g;
  EXPECT_EQ(normal(g), 0.5 * ziggurat_tables.normal_x[0]);
  EXPECT_LT(0.5 * ziggurat_tables.normal_x[0], NORMAL_R);
  EXPECT_EQ(outputs_between(start, g), 1);
}

TEST(Normal, LayerZeroBeyondTheBaseTakesTheTailWithTheSignOfU) {
  // u = -1 (top bits zero, layer 0): the tail, negative, beyond NORMAL_R.
  GeneratorState g = testing::state_with_next_output(0);
  const double x = normal(g);
  EXPECT_LT(x, -NORMAL_R);
}

TEST(Normal, MomentsAndTail) {
  const auto x = testing::draw_many(1000000, 11, [](GeneratorState& g) { return normal(g); });
  testing::expect_moments(x, 0.0, 1.0);
  // P(|X| > 3) = 0.0026998; binomial standard error about 5.2e-5.
  size_t beyond = 0;
  for (double v : x) beyond += std::fabs(v) > 3.0;
  EXPECT_NEAR(beyond / 1e6, 0.0026997960632601866, 5 * 5.2e-5);
}

TEST(Exponential, MomentsAndTail) {
  const auto x = testing::draw_many(1000000, 12, [](GeneratorState& g) { return exponential(g); });
  testing::expect_moments(x, 1.0, 1.0);
  size_t beyond = 0;
  for (double v : x) {
    ASSERT_GE(v, 0.0);
    beyond += v > EXP_R;
  }
  EXPECT_NEAR(beyond / 1e6, std::exp(-EXP_R), 5 * std::sqrt(std::exp(-EXP_R) / 1e6));
}

}  // namespace
}  // namespace vexol
