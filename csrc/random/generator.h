// xoshiro256** seeded by SplitMix64, and the two uniform conversions.
//
// Reference algorithms: D. Blackman and S. Vigna, "Scrambled linear
// pseudorandom number generators", ACM TOMS 47(4), 2021; SplitMix64 from
// G. Steele, D. Lea and C. Flood, "Fast splittable pseudorandom number
// generators", OOPSLA 2014.  Every draw of the library is a deterministic
// function of these few lines, so they are kept tiny and exact.
#pragma once

#include <cstdint>

namespace vexol {

// Four words and nothing else: no cached spare normal, no counter. One
// state per chunk of work, kept on the stack of the thread that runs it.
struct GeneratorState {
  uint64_t s0;
  uint64_t s1;
  uint64_t s2;
  uint64_t s3;
};

inline constexpr uint64_t GOLDEN_GAMMA = 0x9E3779B97F4A7C15ULL;
inline constexpr double TWO_POW_MINUS_53 = 1.1102230246251565e-16;  // 0x3CA0000000000000
inline constexpr double UNIFORM_ZERO_SUBSTITUTE = 1e-300;

// The SplitMix64 output mix: a bijection of 64-bit words mapping only 0 to 0.
inline uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Words 0..3 are SplitMix64 outputs 2..5 from `seed` (the first is skipped).
// The four mixed inputs are pairwise distinct, so at most one word is zero
// and the state can never be all zero.
inline GeneratorState seed_generator(uint64_t seed) {
  GeneratorState g;
  g.s0 = mix64(seed + 2 * GOLDEN_GAMMA);
  g.s1 = mix64(seed + 3 * GOLDEN_GAMMA);
  g.s2 = mix64(seed + 4 * GOLDEN_GAMMA);
  g.s3 = mix64(seed + 5 * GOLDEN_GAMMA);
  return g;
}

inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// xoshiro256**: one 64-bit output per call.
inline uint64_t next_u64(GeneratorState& g) {
  const uint64_t result = rotl(g.s1 * 5, 7) * 9;
  const uint64_t t = g.s1 << 17;
  g.s2 ^= g.s0;
  g.s3 ^= g.s1;
  g.s1 ^= g.s2;
  g.s0 ^= g.s3;
  g.s2 ^= t;
  g.s3 = rotl(g.s3, 45);
  return result;
}

// Top 53 bits of an output as a double in [0, 1 - 2^-53]; exact.
inline double output_to_uniform(uint64_t o) {
  return static_cast<double>(o >> 11) * TWO_POW_MINUS_53;
}

// In [0, 1). Used only by the ziggurat samplers, which take the layer index
// from the low bits of the same output.
inline double uniform(GeneratorState& g) { return output_to_uniform(next_u64(g)); }

// In (0, 1): an exact zero becomes 1e-300, never a redraw, so that every
// call consumes exactly one output. Every uniform that is compared with a
// probability, divided by or passed to a logarithm comes from here.
inline double uniform_nonzero(GeneratorState& g) {
  const double u = uniform(g);
  return u <= 0.0 ? UNIFORM_ZERO_SUBSTITUTE : u;
}

}  // namespace vexol
