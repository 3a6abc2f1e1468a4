// Constants shared by several samplers, written as the doubles they round
// to so that every sampler uses the very same bits.
#pragma once

namespace vexol::math {

inline constexpr double PI = 3.141592653589793;
inline constexpr double PI_SQUARED = 9.869604401089358;
inline constexpr double PI_SQUARED_OVER_8 = 1.2337005501361697;
// Correctly rounded 1/sqrt(2), used by Devroye's and the saddle-point set-ups.
// The alternate sampler's set-up keeps the double below it, as its stream
// always had it (alternate_constants::INV_SQRT_2_ALTERNATE).
inline constexpr double SQRT_HALF = 0.7071067811865476;
inline constexpr double LOG_2 = 0.6931471805599453;

}  // namespace vexol::math
