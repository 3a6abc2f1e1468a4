// The least value a stored draw takes, and the rule that applies it: the
// one definition for the chunk runner, which clamps every draw it stores,
// and for the saddle-point sampler, whose draws have always been clamped
// by the sampler itself too.
#pragma once

namespace vexol {

inline constexpr double DRAW_FLOOR = 1e-12;

// Written as a comparison with the floor on the left so that a NaN draw
// fails it and passes through unchanged (std::max would turn NaN into the
// floor).
inline double clamp_draw(double draw) { return DRAW_FLOOR > draw ? DRAW_FLOOR : draw; }

}  // namespace vexol
