#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "random/generator.h"
#include "test_support.h"

namespace vexol {
namespace {

uint64_t bits_of(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

TEST(Seeding, SeedZeroWords) {
  const GeneratorState g = seed_generator(0);
  EXPECT_EQ(g.s0, 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(g.s1, 0x06C45D188009454FULL);
  EXPECT_EQ(g.s2, 0xF88BB8A8724C81ECULL);
  EXPECT_EQ(g.s3, 0x1B39896A51A8749BULL);
}

TEST(Seeding, SeedOneWordsAndFirstOutput) {
  GeneratorState g = seed_generator(1);
  EXPECT_EQ(g.s0, 0xBEEB8DA1658EEC67ULL);
  EXPECT_EQ(g.s1, 0xF893A2EEFB32555EULL);
  EXPECT_EQ(g.s2, 0x71C18690EE42C90BULL);
  EXPECT_EQ(g.s3, 0x71BB54D8D101B5B9ULL);
  EXPECT_EQ(next_u64(g), 0xF9D20113EC80C6D5ULL);
}

TEST(Seeding, SeedsDifferingInOneBitGiveUnrelatedStates) {
  // All 64 single-bit seeds give distinct first outputs (no bit is ignored).
  std::vector<uint64_t> firsts;
  for (int b = 0; b < 64; ++b) {
    GeneratorState g = seed_generator(uint64_t{1} << b);
    firsts.push_back(next_u64(g));
  }
  std::sort(firsts.begin(), firsts.end());
  EXPECT_EQ(std::unique(firsts.begin(), firsts.end()), firsts.end());
}

TEST(Stream, FirstOutputsFromSeedZero) {
  GeneratorState g = seed_generator(0);
  EXPECT_EQ(next_u64(g), 0x422EA740D0977210ULL);
  EXPECT_EQ(next_u64(g), 0xE062B061B42E2928ULL);
  EXPECT_EQ(next_u64(g), 0x5A071FC5930841B6ULL);
}

TEST(Stream, UniformsFromSeedZeroToTheBit) {
  GeneratorState g = seed_generator(0);
  EXPECT_EQ(bits_of(uniform(g)), bits_of(0.2585243733634266));
  EXPECT_EQ(bits_of(uniform(g)), bits_of(0.8765058744940509));
  EXPECT_EQ(bits_of(uniform(g)), bits_of(0.35167120526878737));
}

TEST(Conversion, ScaleIsTwoToTheMinus53) {
  EXPECT_EQ(bits_of(TWO_POW_MINUS_53), 0x3CA0000000000000ULL);
}

TEST(Conversion, ZeroTopBitsGiveZeroOrSubstituteAndConsumeOneOutput) {
  for (uint64_t out : {uint64_t{0}, uint64_t{0x7FF}}) {
    GeneratorState g = testing::state_with_next_output(out);
    GeneratorState after = g;
    ASSERT_EQ(next_u64(after), out);

    GeneratorState a = g;
    EXPECT_EQ(uniform(a), 0.0);
    EXPECT_TRUE(testing::same_state(a, after));

    GeneratorState b = g;
    EXPECT_EQ(uniform_nonzero(b), 1e-300);
    EXPECT_TRUE(testing::same_state(b, after));
  }
}

TEST(Conversion, AllOnesGivesLargestDoubleBelowOne) {
  const GeneratorState g = testing::state_with_next_output(~uint64_t{0});
  GeneratorState a = g, b = g;
  EXPECT_EQ(uniform(a), 0.9999999999999999);
  EXPECT_EQ(uniform_nonzero(b), 1.0 - TWO_POW_MINUS_53);
  EXPECT_LT(uniform_nonzero(b = g), 1.0);
}

TEST(Conversion, UniformNonzeroMatchesUniformAwayFromZero) {
  GeneratorState a = seed_generator(42), b = seed_generator(42);
  for (int i = 0; i < 1000; ++i) {
    const double u = uniform(a);
    ASSERT_EQ(uniform_nonzero(b), u);
    ASSERT_GT(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
}

}  // namespace
}  // namespace vexol
