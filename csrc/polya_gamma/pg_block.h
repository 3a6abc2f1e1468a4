// A block of consecutive PG draws from one generator: the unit the chunk
// runner works in. The draws are exactly those of pg_sample called on each
// element in order. What a draw needs from h and z alone (Devroye's,
// the alternate and the saddle-point set-ups, the normal approximation's
// moments) is computed for the whole block first: those libm calls do not
// depend on each other, so the core overlaps them, where one element at a
// time each set-up would wait for the draw before it, and that draw for the
// set-up.
#pragma once

#include <cmath>
#include <cstdint>

#include "polya_gamma/pg_sample.h"
#include "random/generator.h"

namespace vexol {

// The most elements pg_sample_block takes at once.
inline constexpr int PG_BLOCK_SIZE = 64;

// draws[i] = pg_sample(h[i], z[i], g) for i = 0, 1, ..., count - 1 in that
// order, unclamped. 0 <= count <= PG_BLOCK_SIZE. Every h[i] and z[i] is read
// before the first draw is written, so draws may overlap h or z.
inline void pg_sample_block(const double* h, const double* z, int count, GeneratorState& g,
                            double* draws) {
  // The logistic case, h = 1 throughout, skips the dispatch: the same
  // set-ups and draws as below, without the general set-up records.
  bool all_shape_one = true;
  for (int i = 0; i < count; ++i) all_shape_one &= h[i] == 1.0;
  if (all_shape_one) {
    DevroyeSetup devroye[PG_BLOCK_SIZE];
    devroye_setups(z, count, devroye);
    // 0.0 + draw, as the one-term sum of the general path.
    for (int i = 0; i < count; ++i) draws[i] = 0.0 + devroye_draw(devroye[i], g);
    return;
  }

  // Large shapes throughout (h > 50, finite): the normal approximation's
  // moments, then one normal per element.
  bool all_normal = true;
  for (int i = 0; i < count; ++i) all_normal &= h[i] > 50.0 && !std::isinf(h[i]);
  if (all_normal) {
    NormalSetup moments[PG_BLOCK_SIZE];
    for (int i = 0; i < count; ++i) detail::normal_setup(h[i], z[i], moments[i]);
    for (int i = 0; i < count; ++i) draws[i] = normal(g) * moments[i].sd + moments[i].mean;
    return;
  }

  PgSetup setups[PG_BLOCK_SIZE];
  // Devroye's set-ups, the most common by far (h = 1), are gathered and
  // computed one stage at a time for all of them (devroye_setups).
  int devroye_element[PG_BLOCK_SIZE];
  double devroye_tilt[PG_BLOCK_SIZE] = {};  // only [0, devroye_count) is read
  int devroye_count = 0;
  for (int i = 0; i < count; ++i) {
    if (pg_setup_but_devroye(h[i], z[i], setups[i])) {
      devroye_element[devroye_count] = i;
      devroye_tilt[devroye_count] = z[i];
      ++devroye_count;
    }
  }
  DevroyeSetup devroye[PG_BLOCK_SIZE];
  devroye_setups(devroye_tilt, devroye_count, devroye);
  for (int k = 0; k < devroye_count; ++k)
    setups[devroye_element[k]].devroye_sum.devroye = devroye[k];

  for (int i = 0; i < count; ++i) draws[i] = pg_draw(setups[i], g);
}

}  // namespace vexol
