// A block of consecutive PG draws from one generator: the unit the chunk
// runner works in. The draws are exactly those of pg_sample called on each
// element in order; working a block at a time leaves room to prepare the
// per-element work that does not touch the generator ahead of the draws.
#pragma once

#include <cstdint>

#include "polya_gamma/pg_sample.h"
#include "random/generator.h"

namespace vexol {

// The most elements pg_sample_block takes at once.
inline constexpr int PG_BLOCK_SIZE = 64;

// draws[i] = pg_sample(h[i], z[i], g) for i = 0, 1, ..., count - 1 in that
// order, unclamped. 0 <= count <= PG_BLOCK_SIZE; draws must not overlap h
// or z.
inline void pg_sample_block(const double* h, const double* z, int count, GeneratorState& g,
                            double* draws) {
  for (int i = 0; i < count; ++i) draws[i] = pg_sample(h[i], z[i], g);
}

}  // namespace vexol
