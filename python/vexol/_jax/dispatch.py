"""PG(h, z) draws in pure JAX, on any backend.

`draw(key, h, z, method=None)` chooses each element's method as the C++
sampler does, from its own h (and, for small integer h, |z|):

| h                         | method                                           |
|---------------------------|--------------------------------------------------|
| h > 50                    | normal with the exact mean and variance          |
| 8 <= h <= 50              | saddle-point approximation                       |
| h = 1; h = 2, 3, 4 with |z| <= 1 | sum of h exact Devroye PG(1, z) draws     |
| h < 1                     | 20 gamma terms + moment-matched gamma for the rest; |
|                           | inversion of the CDF for h < 0.1 or |z| > 50       |
| other 1 < h <= 4          | alternate sampler (exact)                        |
| 4 < h < 8                 | alternate pieces of 3 or 4 plus the remainder    |

method="saddle" takes the saddle point for every 8 <= h <= 1e12, and the
normal approximation above; method="exact" draws the exact law: 8 <= h < 16
as sums of exact pieces (Devroye draws for the integer part, one alternate
piece for a fractional part), 16 <= h <= 1e5 with |z| <= 1e6 by the
saddle point's proposal corrected by the law's own density
(saddle.draw(exact=True)), larger h or |z| by the concentrated law's
sampler (concentrated.py), h < 1 by inverting vexol's CDF, as the C++ path
does.

Each method runs only when some element needs it (a cond on the whole
array) and only on its own lanes, gathered and worked through in blocks,
and each rejection loop runs only while one of its own lanes is pending. The draws are not the C++ module's stream (the
randomness comes from JAX's PRNG), but the same law.
"""

import functools

import jax
import jax.numpy as jnp

from vexol._jax import alternate, concentrated, devroye, inversion, saddle, series
from vexol._jax._common import draw_floor, on_lanes, skip_unless, while_loop

METHODS = (None, "saddle", "exact")
EXACT_SADDLE_MIN_SHAPE = 16.0
SADDLE_MAX_SHAPE = 1e12
# From here on "exact" takes the concentrated law's sampler: cheaper than
# the corrected saddle point and more accurate (the saddle point's
# exponents round to h times the dtype's precision, 6e-3 at 1e5 in float32).
EXACT_CONCENTRATED_MIN_SHAPE = 1e5
# And from this tilt on at every h >= 16 (as the CPU path, whose saddle
# envelope's law drifts visibly from |z| = 1e8 on).
EXACT_CONCENTRATED_MIN_TILT = 1e6
# Below this shape or above this tilt the gamma series' law is visibly off
# at 10^6 draws; the default draws there by inversion (as the CPU path).
GAMMA_SERIES_MIN_SHAPE = 0.1
GAMMA_SERIES_MAX_TILT = 50.0


def _sum_of_draws(key, count, max_count, fn, like):
    """sum over i < count (per lane) of fn(fold_in(key, i), count > i), one
    masked draw per i while some lane still needs one."""

    def cond(carry):
        i, _ = carry
        return jnp.logical_and(i < max_count, jnp.any(count > i))

    def body(carry):
        i, acc = carry
        return i + 1, acc + fn(jax.random.fold_in(key, i), count > i)

    _, acc = while_loop(cond, body, (jnp.int32(0), jnp.zeros_like(like)))
    return acc


def _swap(draw):
    """A method's draw(key, h, z, active) as on_lanes calls it."""
    return lambda key, active, h, z: draw(key, h, z, active)


def _draw_flat(key, h, z, method):
    dtype = h.dtype
    floor = draw_floor(dtype)
    a = jnp.abs(z)
    nan_z = jnp.isnan(z)
    inf_z = jnp.isinf(z)
    valid = jnp.isfinite(h) & (h > 0)
    # Inputs the samplers never see: NaN z outside the direct-tilt methods
    # is a tilt of 0, infinite z the limit 0 (the floor).
    zs = jnp.where(nan_z | inf_z, 0.0, z)
    live = valid & ~inf_z
    exact = method == "exact"

    integer = h == jnp.floor(h)
    # As on the CPU path: exact pieces cost time linear in h, so from
    # EXACT_SADDLE_MIN_SHAPE on "exact" draws by the corrected saddle point,
    # and beyond SADDLE_MAX_SHAPE both take the default's normal
    # approximation.
    beyond_saddle = live & (h > SADDLE_MAX_SHAPE)
    concentrated_m = jnp.zeros_like(valid)
    if exact:
        # Beyond EXACT_CONCENTRATED_MIN_SHAPE or EXACT_CONCENTRATED_MIN_TILT
        # (where the saddle point's exponents lose their digits) the
        # concentrated law's sampler, up to the tilt from which the law is
        # narrower than the dtype resolves, where the normal draw rounds as
        # an exact one.
        large = live & (h >= EXACT_SADDLE_MIN_SHAPE)
        beyond = large & ((h > EXACT_CONCENTRATED_MIN_SHAPE) | (a > EXACT_CONCENTRATED_MIN_TILT))
        concentrated_m = beyond & (a <= concentrated.max_tilt(dtype))
        normal_m = beyond & ~concentrated_m
        saddle_m = large & ~beyond
        sum_m = live & (h >= 8) & (h < EXACT_SADDLE_MIN_SHAPE)
    else:
        normal_m = live & (h > 50) if method is None else beyond_saddle
        saddle_m = live & (h >= 8) & ((h <= 50) | (method == "saddle")) & ~beyond_saddle
        sum_m = jnp.zeros_like(valid)
    small_h = live & (h < 8)
    dev_m = small_h & ((h == 1) | (integer & (h <= 4) & (a <= 1)))
    series_m = small_h & (h < 1)
    alt_m = small_h & (h >= 1) & ~dev_m & (h <= 4)
    pieces_m = small_h & (h > 4) & ~dev_m

    keys = jax.random.split(key, 8)
    n = h.shape[0]

    def method(mask, fn, *args, key, lanes=None):
        """fn(key, active, *args) on the lanes of `mask` only (gathered, in
        blocks), skipped when there are none."""
        lanes = h if lanes is None else lanes
        return skip_unless(mask, lambda: on_lanes(key, mask, fn, args, lanes), lanes)

    # Every method below gets arguments valid on every lane (its own value
    # elsewhere), as on_lanes fills a block's spare lanes with copies.
    # Normal approximation: a few operations per lane, cheaper on every lane
    # than gathering its own.
    normal = skip_unless(normal_m, lambda: series.normal_draw(keys[0], h, zs), h)
    out = jnp.where(normal_m, normal, 0.0)
    # Saddle point.
    saddle_draw = functools.partial(saddle.draw, exact=exact)
    out = out + method(saddle_m, _swap(saddle_draw), jnp.where(saddle_m, h, 10.0), zs, key=keys[1])
    if exact:
        hc = jnp.where(concentrated_m, h, 1e13)
        out = out + method(concentrated_m, _swap(concentrated.draw), hc, zs, key=keys[4])
    # Sums of Devroye draws: h = 1 and small integers with |z| <= 1 (and,
    # for the exact method, the integer part of h >= 8).
    whole = jnp.where(sum_m, jnp.where(integer, h, jnp.floor(h) - 1.0), 0.0)
    count = jnp.where(dev_m, h, whole)
    count = jnp.where(dev_m | sum_m, count, 0.0).astype(jnp.int32)

    def devroye_sums(k, act, z, count):
        count = jnp.where(act, count, 0)
        return _sum_of_draws(
            k, count, jnp.iinfo(jnp.int32).max, lambda k, m: devroye.draw(k, z, m), z
        )

    out = out + method(dev_m | sum_m, devroye_sums, zs, count, key=keys[2])
    # Alternate sampler: one piece of h (1 < h <= 4), or for 4 < h < 8 a
    # piece of 3 (h < 5) or 4 plus the remainder; for the exact method with
    # a fractional h >= 8, one piece of 1 + frac(h). First pieces and
    # remainders go through one call on twice the lanes.
    piece = jnp.where(h >= 5, 4.0, 3.0)
    first_shape = jnp.where(pieces_m, piece, jnp.where(sum_m, 1.0 + (h - jnp.floor(h)), h))
    first_m = alt_m | pieces_m | (sum_m & ~integer)
    alt_m2 = jnp.concatenate([first_m, pieces_m])
    alt_h2 = jnp.concatenate(
        [jnp.where(first_m, first_shape, 2.0), jnp.where(pieces_m, h - piece, 2.0)]
    )
    both = method(
        alt_m2, _swap(alternate.draw), alt_h2, jnp.concatenate([zs, zs]), key=keys[3],
        lanes=jnp.concatenate([h, h]),
    )  # fmt: skip
    out = out + both[:n] + both[n:]
    # h < 1: the gamma series, or the exact inversion where the series'
    # law is visibly off (tiny h, large |z|; the CPU path's rule) and for
    # the exact method.
    hs = jnp.where(series_m, h, 0.5)
    if exact:
        inversion_m = series_m
    else:
        inversion_m = series_m & (
            (h < GAMMA_SERIES_MIN_SHAPE) | (jnp.abs(zs) > GAMMA_SERIES_MAX_TILT)
        )
        gamma_m = series_m & ~inversion_m
        out = out + method(gamma_m, _swap(series.gamma_series_draw), hs, zs, key=keys[5])
    out = out + method(inversion_m, _swap(inversion.draw), hs, zs, key=keys[5 if exact else 6])

    # Value rules.
    direct_tilt = normal_m | series_m | (live & (h == 1))
    if exact:
        direct_tilt = direct_tilt | sum_m
    out = jnp.where(nan_z & direct_tilt, jnp.nan, out)
    out = jnp.where(valid & inf_z, 0.0, out)
    out = jnp.where(h == 0, 0.0, out)
    out = jnp.where(valid | (h == 0), out, jnp.nan)
    return jnp.where(out < floor, jnp.asarray(floor, dtype), out)


def draw(key, h, z, method=None):
    """PG(h, z) draws in pure JAX.

    key: one typed PRNG key (any implementation); h, z: arrays of the
    output's shape and dtype (float32 or float64); method: None (the
    default dispatch), "saddle" or "exact". Returns an array of h's shape
    and dtype."""
    if method not in METHODS:
        raise ValueError(f"unknown method {method!r}: expected one of {METHODS}")
    h = jnp.asarray(h)
    z = jnp.asarray(z, h.dtype)
    if h.size == 0:
        return jnp.zeros(h.shape, h.dtype)
    shape = h.shape
    out = _draw_flat(key, jnp.ravel(h), jnp.ravel(z), method)
    return jnp.reshape(out, shape)


__all__ = ["METHODS", "draw"]
