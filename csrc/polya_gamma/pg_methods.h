// Methods on request, beside the default dispatch of pg_sample.h, which
// they leave untouched:
//
//   kDefault  pg_sample_block itself: the default stream, bit for bit.
//   kSaddle   the saddle-point approximation for 8 <= h <= SADDLE_MAX_SHAPE
//             (the default sends h > 50 to the normal approximation); below
//             8 and above the default dispatch. Beyond 1e12 the saddle-point
//             sampler's own tolerances (its Newton solve stops at 1e-5)
//             exceed the spread of the law, about 0.4/sqrt(h) of its mean,
//             and its draws degenerate from about 1e14 on; the normal
//             approximation there is off by a Kolmogorov distance of about
//             1e-7.
//   kExact    exact draws wherever the default approximates:
//               0 < h < 1   inversion of the distribution function
//                           (small_shape_inversion.h), one uniform per draw;
//               8 <= h < 16 a sum of exact pieces: alternate-sampler draws
//                           of PG(4, z), then the rest, in [4, 8), as the
//                           default draws 4 <= h < 8 (pieces of 3 or 4 and
//                           a remainder in [1, 4]);
//               16 <= h <= EXACT_CONCENTRATED_MIN_SHAPE,
//               |z| <= EXACT_CONCENTRATED_MIN_TILT
//                           the saddle-point proposal corrected by the
//                           law's own density (exact_saddle.h), at a cost
//                           that does not grow with h (the pieces' grows
//                           linearly: from 16 on they cost more);
//               h >= 16 beyond those  the concentrated law's sampler
//                           (exact_concentrated.h): a normal proposal in
//                           the tilt, corrected to the law the same way;
//             elsewhere (h = 0, 1 <= h < 8, NaN or infinite h) the default
//             dispatch, whose draws there are exact already.
//
// The value rules are the default's: h = 0 (also -0.0) gives 0 (the caller
// floors it), a NaN or infinite h NaN, an infinite z 0, and z and -z the
// same draws. For h < 1 a NaN tilt gives NaN, as the default's gamma series
// does; from h = 8 to EXACT_CONCENTRATED_MIN_SHAPE the saddle point and the
// alternate pieces treat it as 0, as the default's samplers between 1 and
// 50 do; beyond, NaN again, as the default's normal approximation.
//
// The corrected saddle point is exact up to the rounding of its exponents,
// of size h times the double's precision: a relative error in the density
// of the draws of about 1e-11 at h = 1e5. The concentrated law's sampler
// forms its exponent from the tilt alone, with a relative error of a few
// times 1e-15 at any h.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "polya_gamma/alternate.h"
#include "polya_gamma/exact_concentrated.h"
#include "polya_gamma/exact_saddle.h"
#include "polya_gamma/pg_block.h"
#include "polya_gamma/pg_sample.h"
#include "polya_gamma/saddle_point.h"
#include "polya_gamma/small_shape_inversion.h"
#include "random/generator.h"

namespace vexol {

enum class PgMethodRequest : int32_t {
  kDefault = 0,
  kSaddle = 1,
  kExact = 2,
};

inline constexpr int32_t PG_METHOD_REQUEST_COUNT = 3;

inline constexpr double EXACT_PIECES_MIN_SHAPE = 8.0;
inline constexpr double EXACT_SADDLE_MIN_SHAPE = 16.0;
inline constexpr double SADDLE_MAX_SHAPE = 1e12;
// From here on the concentrated law's sampler costs a third of the
// corrected saddle point and is the more accurate: its quadrature's error,
// about 5 h^-2.5 of the density within three sd (1.5e-12 at 1e5 against
// 40-digit integrals), is below the saddle point's rounding, h 1e-16, from
// between h = 1e4 and 1e5 on.
inline constexpr double EXACT_CONCENTRATED_MIN_SHAPE = 1e5;
// And from this tilt on at any h >= 16: the envelope's own solves stop at
// 1e-5 in m, which the law's mean 2/|z| falls below, and the corrected
// saddle point's law drifts visibly from about |z| = 1e8 (KS 0.0020 at
// 4e6 draws at |z| = 1e10, h = 20), where the concentrated law's
// sampler, whose window there is under 1e-2 of |u0|, stays exact.
inline constexpr double EXACT_CONCENTRATED_MIN_TILT = 1e6;

// One exact draw of PG(h, z) for h >= 8 (used below EXACT_SADDLE_MIN_SHAPE): `count`
// alternate draws of J*(4, |z|/2), then the rest r = h - 4 count in
// [4, 8) exactly as the default dispatch draws PG(r, z).
struct ExactPiecesSetup {
  AlternateState four;
  AlternatePiecesSetup rest;
  int64_t count;
};

inline void exact_pieces_setup(double h, double z, ExactPiecesSetup& out) {
  const double count = std::floor((h - 4.0) * 0.25);
  out.count = static_cast<int64_t>(count);
  double rest = h - 4.0 * count;
  // Rounding of h - 4 count for large h may leave the rest a hair outside
  // [4, 8); keep it inside, where the pieces below are defined.
  if (rest < 4.0) rest = 4.0;
  out.four = AlternateState{};
  out.four.tilt = std::fabs(z) * 0.5;
  alternate_setup(out.four, 4.0, false);
  detail::alternate_pieces_setup(rest, z, out.rest);
}

inline double exact_pieces_draw(ExactPiecesSetup& s, GeneratorState& g) {
  double sum = 0.0;
  for (int64_t i = 0; i < s.count; ++i) sum += alternate_draw(s.four, g) * 0.25;
  double rest = 0.0;
  for (int i = 0; i < s.rest.count; ++i) rest += alternate_draw(s.rest.piece, g) * 0.25;
  rest = alternate_draw(s.rest.rest, g) * 0.25 + rest;
  return sum + rest;
}

// One raw draw (the caller clamps) by the requested method.
inline double pg_sample_method(double h, double z, PgMethodRequest method, GeneratorState& g) {
  const bool finite = !std::isinf(h) && !std::isnan(h);
  if (method == PgMethodRequest::kSaddle && finite && h >= 8.0 && h <= SADDLE_MAX_SHAPE) {
    return saddle_point_draw(h, z, g);
  }
  if (method == PgMethodRequest::kExact && finite) {
    if (h >= EXACT_PIECES_MIN_SHAPE && h < EXACT_SADDLE_MIN_SHAPE) {
      ExactPiecesSetup s;
      exact_pieces_setup(h, z, s);
      return exact_pieces_draw(s, g);
    }
    if (h >= EXACT_SADDLE_MIN_SHAPE) {
      if (h > EXACT_CONCENTRATED_MIN_SHAPE || std::fabs(z) > EXACT_CONCENTRATED_MIN_TILT) {
        return exact_concentrated_draw(h, z, g);
      }
      return exact_saddle_draw(h, z, g);
    }
    if (h > 0.0 && h < 1.0) return small_shape_exact_draw(h, z, g);
  }
  return pg_sample(h, z, g);
}

// draws[i] for i = 0, 1, ..., count - 1 in order, unclamped. The default
// method is pg_sample_block itself; the others go element by element.
inline void pg_sample_block_method(const double* h, const double* z, int count,
                                   PgMethodRequest method, GeneratorState& g, double* draws) {
  if (method == PgMethodRequest::kDefault) {
    pg_sample_block(h, z, count, g, draws);
    return;
  }
  double hb[PG_BLOCK_SIZE], zb[PG_BLOCK_SIZE];
  for (int i = 0; i < count; ++i) {
    hb[i] = h[i];
    zb[i] = z[i];
  }
  for (int i = 0; i < count; ++i) draws[i] = pg_sample_method(hb[i], zb[i], method, g);
}

}  // namespace vexol
