"""Density, distribution function and moments of PG(h, z) in JAX.

PG(h, z) = J*(h, z/2)/4 (Polson, Scott & Windle 2013). Each element picks a
representation by its (h, x), all with a fixed number of terms so that a
jitted function compiles once:

- x <= x_small(h): the alternating series of Devroye (2009), tilted, for the
  density and (as a series of inverse-Gaussian CDFs) the CDF;
- h < CONTOUR_MIN_H, x > x_small(h): the expansion at the first singularity
  of the Laplace transform for the density, integrated for the survival
  function;
- h >= CONTOUR_MIN_H, x_small(h) < x < x_large(h): inversion of the Laplace
  transform on a line through the saddle point (the bulk of the law, where
  both series cancel), with the far tails of the CDF integrated from it;
- h >= CONTOUR_MIN_H, x >= x_large(h): the first-singularity expansion again.

Representations that no element of the call needs are skipped at run time
(lax.cond on the whole array), so that a call whose elements all fall into
the cheap regions pays only for those.
"""

import functools
import math

import jax
import jax.numpy as jnp
from jax import lax
from jax.custom_derivatives import SymbolicZero
from jax.typing import ArrayLike

from vexol import _density_contour as contour
from vexol import _density_series as series
from vexol._varying import cond

CONTOUR_MIN_H = 24.0
# In float32 the first-singularity expansion's cancellation (a factor of up
# to e^8 near its lower end for h = 20) is too much, and the contour, which
# does not cancel, takes over from a lower h.
CONTOUR_MIN_H_F32 = 12.0


# Where the survival function below the small-x series' upper end comes
# from the first-singularity expansion: from x = 0.36 + 0.1 h in float32,
# 0.9 + 0.05 h in float64 (the expansion's error, relative, is about
# e^(-40 x) times a factor that grows with h: measured 5e-6 and 1e-15 at
# those x for h from 0.05 to 7), once 1 - CDF says it is below
# LARGE_X_SF_BELOW.
def _large_x_sf_from(h):
    return 0.9 + 0.05 * h if h.dtype == jnp.float64 else 0.36 + 0.1 * h


LARGE_X_SF_BELOW = 0.05
# Above, the survival function is not that small below the series' end
# (at h = 8 it is 0.4 there, or the tilt is large enough for use_sf).
LARGE_X_SF_MAX_H = 8.0


def _contour_min_h(h):
    return CONTOUR_MIN_H_F32 if h.dtype == jnp.float32 else CONTOUR_MIN_H


_HALF = (jnp.dtype(jnp.float16), jnp.dtype(jnp.bfloat16))


def _promote(*args):
    """Common inexact dtype as jax.scipy.stats does it: integer and bool
    inputs become the default float type, floats keep their precision.
    Half precisions (float16, bfloat16) are computed in float32: their few
    digits and small range would not hold the series' exponents; the public
    functions cast the result back (_result_dtype)."""
    dtype = jnp.result_type(*args, 0.0)
    if dtype in _HALF:
        dtype = jnp.float32
    return [jnp.asarray(a, dtype=dtype) for a in args]


def _result_dtype(*args):
    return jnp.result_type(*args, 0.0)


def _as_input_dtype(out, *args):
    """out (computed in float32 for half-precision arguments) in the
    arguments' own dtype, as jax.scipy.stats returns it."""
    dtype = _result_dtype(*args)
    return out.astype(dtype) if dtype in _HALF else out


def _small_x_limit(h):
    """Largest x for the alternating series. Up to h ~ 35 the switch to the
    first-singularity expansion sits where both are accurate (at or below it
    the series' second term is about its first, with the fast fall of the
    later terms summing it to double precision); above, where the contour
    takes the bulk, it is the largest x at which the series' fixed number of
    terms has converged (series.small_x_converged_limit)."""
    shared = jnp.maximum(1.2, 1.2 * (1 + h) / (2 * jnp.log(2 * (2 + h))))
    return jnp.minimum(shared, series.small_x_converged_limit(h))


def _large_x_limit(h):
    """Smallest x for the first-singularity expansion when h is large: the
    expansion's sum is near 1 once x >> h^2 sigma_1/2."""
    return jnp.where(h < _contour_min_h(h), _small_x_limit(h), 0.05 * h * h)


def _beyond_tilt_cap(lam_x):
    """Whether z^2 x/2 (lam_x, possibly inf or NaN from an overflowed z^2)
    is past the size at which the contour's terms (2 (w0 - z^2/4) x and the
    pole's offset in widths) stop being finite: 1e300 in float64, 1e30 in
    float32, where 1e300 is itself inf and would let z^2 = inf through to
    inf - inf. The survival function underflows long before either."""
    cap = 1e300 if lam_x.dtype == jnp.float64 else 1e30
    return ~(lam_x <= cap)


def _regions(x, h):
    small = x <= _small_x_limit(h)
    large = ~small & ((h < _contour_min_h(h)) | (x >= _large_x_limit(h)))
    middle = ~small & ~large
    return small, middle, large


def _guarded(mask, fn, safe_x, *args):
    """fn(x, *args) where mask holds (others get a safe x), computed only if
    some element needs it."""
    x = args[0]
    xs = jnp.where(mask, x, safe_x)

    def run():
        out = fn(xs, *args[1:])
        return jnp.where(mask, out, 0.0) if not isinstance(out, tuple) else out

    def skip():
        zero = jnp.zeros(jnp.broadcast_shapes(*(jnp.shape(a) for a in args)), x.dtype)
        return zero

    return cond(jnp.any(mask), run, skip, *args)


def _domain(x, h, z, value, at_zero, at_inf):
    """Apply the domain rules around a value computed for valid arguments:
    NaN for NaN arguments or h <= 0; at_zero for x <= 0 (and for any x > 0
    when |z| is infinite, since PG(h, +-inf) is the point mass at 0 ... which
    the caller encodes through at_inf_z); at_inf for x = +inf."""
    bad = jnp.isnan(x) | jnp.isnan(z) | ~(h > 0) | ~jnp.isfinite(h)
    out = jnp.where(x <= 0, at_zero, value)
    out = jnp.where(jnp.isposinf(x), at_inf, out)
    return jnp.where(bad, jnp.nan, out)


def _sanitized(x, h, z):
    """Each argument replaced by a harmless value where it is outside the
    domain (the domain rules are applied afterwards), each on its own shape:
    what depends on h alone (series coefficients, normalising constants) is
    then computed once per h, not once per element."""
    shape = jnp.broadcast_shapes(jnp.shape(x), jnp.shape(h), jnp.shape(z))
    xs = jnp.broadcast_to(jnp.where((x > 0) & jnp.isfinite(x), x, 1.0), shape)
    hs = jnp.where((h > 0) & jnp.isfinite(h), h, 1.0)
    # The law depends on |z| only: taken here as sign(z) z, whose derivative
    # at z = 0 is exactly 0 (that of jnp.abs is 1 there), so that every
    # representation's z-derivative vanishes at 0 however its terms round.
    zs = jnp.where(jnp.isfinite(z), jnp.sign(z) * z, 0.0)
    return xs, hs, zs


# Elements per pass of the representations: a block's intermediates (a
# dozen contour nodes per element, 14 series terms) then stay in the cache.
# In one pass over 65536 elements they streamed through memory, which cost
# as much again as the arithmetic (measured: the contour's density 0.6 us
# per element in blocks of 1024, 1.2 us in one pass).
BLOCK = 2048


def _blocked(fn, x, h, z):
    """fn(x, h, z) evaluated BLOCK elements at a time (lax.map). Arguments
    of one element (a scalar h or z) are shared by every block, so that what
    depends on them alone is still computed once; the others are broadcast,
    flattened and padded with their last element (a point of a region the
    call already pays for)."""
    shape = jnp.broadcast_shapes(jnp.shape(x), jnp.shape(h), jnp.shape(z))
    n = math.prod(shape)
    if n <= BLOCK:
        return fn(x, h, z)
    count = -(-n // BLOCK)
    pad = count * BLOCK - n
    args = (x, h, z)
    mapped = [jnp.size(a) > 1 for a in args]

    def flat(a):
        a = jnp.broadcast_to(a, shape).reshape(-1)
        if pad:
            a = jnp.concatenate([a, jnp.broadcast_to(a[-1], (pad,))])
        return a.reshape(count, BLOCK)

    def one(blocks):
        it = iter(blocks)
        return fn(
            *(next(it) if m else jnp.reshape(a, ()) for a, m in zip(args, mapped, strict=True))
        )

    out = lax.map(one, [flat(a) for a, m in zip(args, mapped, strict=True) if m])
    return jax.tree_util.tree_map(lambda o: o.reshape(-1)[:n].reshape(shape), out)


def _core_logpdf(x, h, z):
    small, middle, large = _regions(x, h)
    a = _guarded(small, series.small_x_logpdf, 0.5 * _small_x_limit(h), x, h, z)
    b = _guarded(large, series.large_x_logpdf, 2 * _large_x_limit(h), x, h, z)
    c = _guarded(
        middle,
        contour.contour_logpdf,
        0.25 * h,
        x,
        h,
        z,
    )
    # As in _core_log_cdf_sf: past z^2 x/2 = _tilt_cap the density underflows.
    c = jnp.where(_beyond_tilt_cap(0.5 * z * z * x), -jnp.inf, c)
    return jnp.where(small, a, jnp.where(large, b, c))


def _logpdf(x, h, z):
    x, h, z = _promote(x, h, z)
    xs, hs, zs = _sanitized(x, h, z)
    x, h, z = jnp.broadcast_arrays(x, h, z)
    ok = (x > 0) & jnp.isfinite(x) & (h > 0) & jnp.isfinite(h) & jnp.isfinite(z)
    value = jnp.where(ok, _blocked(_core_logpdf, xs, hs, zs), -jnp.inf)
    # PG(h, +-inf) is the point mass at 0: no density at any x > 0.
    value = jnp.where(jnp.isinf(z), -jnp.inf, value)
    return _domain(x, h, z, value, -jnp.inf, -jnp.inf)


def logpdf(x: ArrayLike, h: ArrayLike, z: ArrayLike) -> jax.Array:
    """Log-density of PG(h, z) at x (elementwise, broadcasting).

    Computed in pure JAX (jit, vmap and grad work); each element by whichever
    representation is accurate for its (h, x). Broadcasting and dtypes follow
    ``jax.scipy.stats``: float32 arguments give float32 results, float16 and
    bfloat16 are computed in float32 and returned in their own dtype.

    Each new shape or dtype of the arguments compiles a program, in eager
    calls too: seconds for the density, longer for the CDF and the tails,
    longer still for a gradient (:doc:`/distribution`). Keep the shapes
    fixed (pad a batch to one size) and the program is compiled once;
    inside your own :func:`jax.jit` it compiles with your program.

    Args:
      x: where to evaluate, a float array or Python number.
      h: the shapes (h > 0).
      z: the tilts (any finite value; the sign does not matter).

    Returns:
      log p(x | h, z), of the broadcast shape: -inf for x <= 0, NaN for
      h <= 0, an infinite h or a NaN argument.

    Examples:
      >>> import jax, jax.numpy as jnp, numpy as np, vexol
      >>> x = jnp.array([0.05, 0.2, 1.0])
      >>> print(np.asarray(vexol.logpdf(x, 1.0, 2.0), 'f8').round(4))
      [ 1.4084  0.8836 -4.6631]
      >>> print(vexol.logpdf(x, h=1.0, z=2.0).dtype)
      float32
      >>> round(float(jax.grad(vexol.logpdf, argnums=2)(0.2, 1.0, 2.0)), 4)  # d/dz
      -0.0192
    """
    return _as_input_dtype(_logpdf_jit(x, h, z), x, h, z)


def pdf(x: ArrayLike, h: ArrayLike, z: ArrayLike) -> jax.Array:
    """Density of PG(h, z) at x.

    Each new shape or dtype of the arguments compiles a program, in eager
    calls too: seconds for the density, longer for the CDF and the tails,
    longer still for a gradient (:doc:`/distribution`). Keep the shapes
    fixed (pad a batch to one size) and the program is compiled once;
    inside your own :func:`jax.jit` it compiles with your program.

    Args:
      x: where to evaluate, a float array or Python number.
      h: the shapes (h > 0).
      z: the tilts.

    Returns:
      p(x | h, z) = exp(:func:`logpdf`), of the broadcast shape.

    Examples:
      >>> import jax.numpy as jnp, numpy as np, vexol
      >>> print(np.asarray(vexol.pdf(jnp.array([0.1, 0.25, 0.5]), 1.0, 0.0), 'f8').round(4))
      [3.614  1.8295 0.5328]
    """
    return _as_input_dtype(jnp.exp(_logpdf_jit(x, h, z)), x, h, z)


def _core_log_cdf_sf(x, h, z, with_contour=True):
    """(log cdf, log sf) for valid finite arguments. with_contour=False is for
    callers whose h are all below the contour's range (the exact sampler's
    inversion, h < 1): the series alone, without compiling the contour."""
    small, middle, large = _regions(x, h)
    lam = 0.5 * z * z

    def small_fn(xs, h, z):
        lc = series.small_x_logcdf(xs, h, z)
        ls = series.log1mexp(lc)
        # Right of the median under a large tilt: the survival function from
        # its own series, so that it keeps its relative accuracy.
        use_sf = series.small_x_sf_is_exact(h, z) & (lc > -math.log(2.0))
        ls_direct = series.small_x_logsf(xs, h, jnp.where(use_sf, z, 3 + jnp.log1p(h)))
        ls = jnp.where(use_sf, ls_direct, ls)
        # Right of the median with a small tilt (h below about 2, where the
        # survival function is already small below the series' upper end):
        # 1 - CDF keeps only eps/sf of it (3e-3 relative in float32 at
        # sf = 2e-5), while the first-singularity expansion, whose error
        # falls like e^(-40 x) relative, is good to 1e-15 from x = 0.9 and
        # to 5e-6 from x = 0.36 (h = 0.05; _large_x_sf_from).
        # In float32 it also takes over from the survival series, whose
        # alternating terms are up to 100 times the survival function there.
        f64 = xs.dtype == jnp.float64
        use_large = (
            (~use_sf if f64 else True)
            & (h < LARGE_X_SF_MAX_H)
            & (xs >= _large_x_sf_from(h))
            & (ls < math.log(LARGE_X_SF_BELOW))
        )

        def large():
            xl = jnp.where(use_large, xs, 2 * _large_x_sf_from(h))
            return jnp.where(use_large, series.large_x_logsf(xl, h, z), ls)

        ls = cond(jnp.any(use_large), large, lambda: ls, xs, h, z)
        lc = jnp.where(use_sf | use_large, series.log1mexp(ls), lc)
        return lc, ls

    def large_fn(xs, h, z):
        ls = series.large_x_logsf(xs, h, z)
        return series.log1mexp(ls), ls

    def middle_fn(xs, h, z):
        lc, ls = contour.contour_log_cdf_sf(xs, h, z)
        w0, sigma = contour._crossing(xs, h)
        # Beyond POLE_SIGMAS widths the tail is integrated from the density,
        # which falls off like exp(-2 |w0 - a^2| |t - x|) there.
        gap = w0 - 0.25 * z * z
        far = jnp.abs(gap) > contour.POLE_SIGMAS * sigma
        rate = jnp.where(far, 2 * jnp.abs(gap), 1.0)

        def tilted(t):
            return contour.contour_logpdf(t, h, z)

        def tails():
            left = gap > 0
            tail = contour.tail_log_integral(tilted, xs, rate, left)
            rest = jnp.log1p(-jnp.exp(tail))
            return jnp.where(left, tail, rest), jnp.where(left, rest, tail)

        def no_tails():
            return lc, ls

        tc, ts = cond(jnp.any(far), tails, no_tails, xs, h, z)
        return jnp.where(far, tc, lc), jnp.where(far, ts, ls)

    outs = []
    regions = [
        (small, small_fn, 0.5 * _small_x_limit(h)),
        (large, large_fn, 2 * _large_x_limit(h)),
    ]
    if with_contour:
        regions.append((middle, middle_fn, 0.25 * h))
    for mask, fn, safe in regions:
        xs = jnp.where(mask, x, safe)
        zero = jnp.zeros(jnp.broadcast_shapes(x.shape, h.shape, z.shape), x.dtype)
        outs.append(
            cond(
                jnp.any(mask),
                lambda xs=xs, fn=fn: fn(xs, h, z),
                lambda zero=zero: (zero, zero),
                xs,
                h,
                z,
            )
        )
    if not with_contour:
        return jnp.where(small, outs[0][0], outs[1][0]), jnp.where(small, outs[0][1], outs[1][1])
    lc = jnp.where(small, outs[0][0], jnp.where(large, outs[1][0], outs[2][0]))
    ls = jnp.where(small, outs[0][1], jnp.where(large, outs[1][1], outs[2][1]))
    # A tilt with z^2 x/2 > 1e300 (|z| > 1e149 where the contour is used;
    # 1e30 in float32) puts the whole mass below 1e-149: there the CDF is 1
    # to the working precision and the survival function, below e^-1e300,
    # underflows.
    beyond = middle & _beyond_tilt_cap(lam * x)
    lc = jnp.where(beyond, 0.0, lc)
    ls = jnp.where(beyond, -jnp.inf, ls)
    return lc, ls


@jax.custom_jvp
def _core_log_cdf_sf_jvp(x, h, z):
    return _core_log_cdf_sf(x, h, z)


def _log_cdf_sf_tangents(primals, tangents):
    """d/dx exactly from the density (d log cdf/dx = pdf/cdf), which also
    keeps jax.grad in x from differentiating the quadratures; d/dh and d/dz
    by differentiating the representations, only when asked for."""
    x, h, z = primals
    dx, dh, dz = tangents
    lc, ls = _core_log_cdf_sf(x, h, z)
    tc = jnp.zeros_like(lc)
    ts = jnp.zeros_like(ls)
    if not isinstance(dx, SymbolicZero):
        lp = _core_logpdf(x, h, z)
        tc = tc + jnp.exp(lp - lc) * dx
        ts = ts - jnp.exp(lp - ls) * dx
    # The partials in h and z by forward mode on unit tangents, outside the
    # tangents' linear map: each representation takes the complement of the
    # other tail, log(1 - e^l), whose partial is infinite where that tail is
    # e^-37 or less, and is then discarded by a select. Forward mode drops
    # the discarded tangent; reverse mode (the transpose of jax.jvp here)
    # would multiply the infinite partial by the select's zero cotangent and
    # return NaN. As plain values the partials only scale dh and dz.
    wanted = [(t, k) for k, t in enumerate((dh, dz)) if not isinstance(t, SymbolicZero)]
    if wanted:
        # One forward pass for both partials (a batch of unit tangents), so
        # that the gradient compiles one copy of the representations' JVP.
        units = jnp.eye(2, dtype=h.dtype)[jnp.array([k for _, k in wanted])]

        def partials(unit):
            tangent_in = (unit[0] * jnp.ones_like(h), unit[1] * jnp.ones_like(z))
            return jax.jvp(lambda h, z: _core_log_cdf_sf(x, h, z), (h, z), tangent_in)[1]

        jc, js = jax.vmap(partials)(units)
        for i, (tangent, _) in enumerate(wanted):
            tc = tc + jc[i] * tangent
            ts = ts + js[i] * tangent
    return (lc, ls), (tc, ts)


_core_log_cdf_sf_jvp.defjvp(_log_cdf_sf_tangents, symbolic_zeros=True)


def _log_cdf_sf(x, h, z):
    x, h, z = _promote(x, h, z)
    xs, hs, zs = _sanitized(x, h, z)
    x, h, z = jnp.broadcast_arrays(x, h, z)
    lc, ls = _blocked(_core_log_cdf_sf_jvp, xs, hs, zs)
    # PG(h, +-inf) is the point mass at 0: the CDF is 1 at every x >= 0
    # (x = 0 included: P(X <= 0) = 1) and 0 below.
    point_mass = jnp.isinf(z)
    lc = jnp.where(point_mass, 0.0, lc)
    ls = jnp.where(point_mass, -jnp.inf, ls)
    lc = _domain(x, h, z, lc, -jnp.inf, 0.0)
    ls = _domain(x, h, z, ls, 0.0, -jnp.inf)
    at_zero = point_mass & (x == 0) & (h > 0) & jnp.isfinite(h)
    lc = jnp.where(at_zero, 0.0, lc)
    ls = jnp.where(at_zero, -jnp.inf, ls)
    return lc, ls


def _log_cdf_sf_series(x, h, z):
    """(log cdf, log sf) for finite x > 0, finite z and 0 < h below the
    contour's range: the values of _log_cdf_sf there, from the series alone.
    The sampler's inversion (h < 1) evaluates it in each of its bisection
    steps; without the contour its program compiles in under half the time."""
    return _blocked(functools.partial(_core_log_cdf_sf, with_contour=False), x, h, jnp.abs(z))


def logcdf(x: ArrayLike, h: ArrayLike, z: ArrayLike) -> jax.Array:
    """log P(X <= x) for X ~ PG(h, z).

    Stays finite far into the left tail, where :func:`cdf` underflows;
    differentiable in x, h and z (forward and reverse mode).

    Each new shape or dtype of the arguments compiles a program, in eager
    calls too: seconds for the density, longer for the CDF and the tails,
    longer still for a gradient (:doc:`/distribution`). Keep the shapes
    fixed (pad a batch to one size) and the program is compiled once;
    inside your own :func:`jax.jit` it compiles with your program.

    Args:
      x: where to evaluate, a float array or Python number.
      h: the shapes (h > 0).
      z: the tilts.

    Returns:
      log F(x | h, z), of the broadcast shape: -inf for x <= 0, 0 at x = inf.

    Examples:
      >>> import numpy as np, vexol
      >>> print(np.asarray(vexol.logcdf(0.25, 1.0, 0.0), 'f8').round(4))
      -0.4633
      >>> print(np.asarray(vexol.logcdf(0.01, 1.0, 0.0), 'f8').round(2))     # far left tail
      -13.68
    """
    return _as_input_dtype(_log_cdf_sf_jit(x, h, z)[0], x, h, z)


def cdf(x: ArrayLike, h: ArrayLike, z: ArrayLike) -> jax.Array:
    """P(X <= x) for X ~ PG(h, z).

    Each new shape or dtype of the arguments compiles a program, in eager
    calls too: seconds for the density, longer for the CDF and the tails,
    longer still for a gradient (:doc:`/distribution`). Keep the shapes
    fixed (pad a batch to one size) and the program is compiled once;
    inside your own :func:`jax.jit` it compiles with your program.

    Args:
      x: where to evaluate, a float array or Python number.
      h: the shapes (h > 0).
      z: the tilts.

    Returns:
      F(x | h, z), of the broadcast shape: 0 for x <= 0, 1 at x = inf.

    Examples:
      >>> import jax.numpy as jnp, numpy as np, vexol
      >>> print(np.asarray(vexol.cdf(jnp.array([0.1, 0.25, 1.0]), 1.0, 2.0), 'f8').round(4))
      [0.3072 0.7531 0.9986]
    """
    return _as_input_dtype(jnp.exp(_log_cdf_sf_jit(x, h, z)[0]), x, h, z)


def logsf(x: ArrayLike, h: ArrayLike, z: ArrayLike) -> jax.Array:
    """log P(X > x) for X ~ PG(h, z).

    Stays finite far into the right tail, where :func:`sf` underflows.

    Each new shape or dtype of the arguments compiles a program, in eager
    calls too: seconds for the density, longer for the CDF and the tails,
    longer still for a gradient (:doc:`/distribution`). Keep the shapes
    fixed (pad a batch to one size) and the program is compiled once;
    inside your own :func:`jax.jit` it compiles with your program.

    Args:
      x: where to evaluate, a float array or Python number.
      h: the shapes (h > 0).
      z: the tilts.

    Returns:
      log(1 - F(x | h, z)), of the broadcast shape: 0 for x <= 0.

    Examples:
      >>> import numpy as np, vexol
      >>> print(np.asarray(vexol.logsf(3.0, 1.0, 0.0), 'f8').round(3))
      -14.563
    """
    return _as_input_dtype(_log_cdf_sf_jit(x, h, z)[1], x, h, z)


def sf(x: ArrayLike, h: ArrayLike, z: ArrayLike) -> jax.Array:
    """P(X > x) for X ~ PG(h, z).

    Computed from its own representations, not as 1 - :func:`cdf`, so that
    the right tail keeps its relative accuracy.

    Each new shape or dtype of the arguments compiles a program, in eager
    calls too: seconds for the density, longer for the CDF and the tails,
    longer still for a gradient (:doc:`/distribution`). Keep the shapes
    fixed (pad a batch to one size) and the program is compiled once;
    inside your own :func:`jax.jit` it compiles with your program.

    Args:
      x: where to evaluate, a float array or Python number.
      h: the shapes (h > 0).
      z: the tilts.

    Returns:
      1 - F(x | h, z), of the broadcast shape.

    Examples:
      >>> import jax.numpy as jnp, numpy as np, vexol
      >>> x = jnp.array([0.1, 0.25, 1.0])
      >>> print(np.asarray(vexol.sf(x, 1.0, 2.0), 'f8').round(4))
      [0.6928 0.2469 0.0014]
    """
    return _as_input_dtype(jnp.exp(_log_cdf_sf_jit(x, h, z)[1]), x, h, z)


def mean(h: ArrayLike, z: ArrayLike) -> jax.Array:
    """E X = h tanh(``|z|``/2)/(2 ``|z|``) (h/4 at z = 0).

    Args:
      h: the shapes (h > 0).
      z: the tilts.

    Returns:
      E[X] for X ~ PG(h, z), of the broadcast shape; exact, from a Taylor
      series near z = 0; NaN for h <= 0, 0 for an infinite z.

    Examples:
      >>> import jax.numpy as jnp, numpy as np, vexol
      >>> print(np.asarray(vexol.mean(1.0, jnp.array([0.0, 2.0])), 'f8').round(4))
      [0.25   0.1904]
      >>> float(vexol.mean(h=2.0, z=0.0))
      0.5
    """
    return _as_input_dtype(_mean_jit(h, z), h, z)


def _mean(h, z):
    h, z = _promote(h, z)
    a = jnp.abs(z)
    small = a < 1e-3
    s = jnp.where(small, 1.0, a)
    big = h * jnp.tanh(s / 2) / 2 / s  # 2 s overflows near 1e308
    # tanh(a/2)/(2a) = 1/4 - a^2/48 + a^4/480 - ...
    a2 = a * a
    near = h * (0.25 + a2 * (-1 / 48 + a2 / 480))
    out = jnp.where(small, near, big)
    return jnp.where(jnp.isinf(z), 0.0 * h, jnp.where(h > 0, out, jnp.nan))


def variance(h: ArrayLike, z: ArrayLike) -> jax.Array:
    """Var X = h (sinh a - a)/(4 a^3 cosh^2(a/2)), a = ``|z|`` (h/24 at z = 0,
    then h (1/24 - a^2/120 + ...) for small a). Below a = 1 the ratio
    (sinh a - a)/a^3 comes from its Taylor series, where the closed form
    cancels; above, from e^-a so that nothing overflows.

    Args:
      h: the shapes (h > 0).
      z: the tilts.

    Returns:
      Var[X] for X ~ PG(h, z), of the broadcast shape.

    Examples:
      >>> import jax.numpy as jnp, numpy as np, vexol
      >>> print(np.asarray(vexol.variance(1.0, jnp.array([0.0, 2.0])), 'f8').round(5))
      [0.04167 0.02135]
    """
    return _as_input_dtype(_variance_jit(h, z), h, z)


def _variance(h, z):
    h, z = _promote(h, z)
    a = jnp.abs(z)
    small = a < 1
    s = jnp.where(small, 1.0, a)
    e = jnp.exp(-s)
    # (sinh s - s)/cosh^2(s/2) = 2 (1 - e^(-2s) - 2 s e^(-s))/(1 + e^(-s))^2.
    # s e^-s before doubling: 2 s overflows for s near 1e308, and inf * 0 is NaN.
    big = h * 2 * (-jnp.expm1(-2 * s) - 2 * (s * e)) / ((1 + e) ** 2 * 4 * s**3)
    t = jnp.where(small, a * a, 0.0)
    ratio = 0.0
    for k in range(7, 0, -1):  # sum_{k>=1} t^(k-1)/(2k+1)!
        ratio = ratio * t + 1 / math.factorial(2 * k + 1)
    near = h * ratio / (4 * jnp.cosh(0.5 * jnp.where(small, a, 0.0)) ** 2)
    out = jnp.where(small, near, big)
    return jnp.where(jnp.isinf(z), 0.0 * h, jnp.where(h > 0, out, jnp.nan))


# Compiled once per shape and dtype: the representations are many small
# operations, and the run-time skips (lax.cond) would be traced anew on every
# eager call otherwise.
# logcdf, cdf, logsf and sf share one compiled function per shape and dtype,
# as pdf and logpdf do.
# Half-precision arguments are computed in float32 and the results (the
# exponentials too) cast back at the end.
_log_cdf_sf_jit = jax.jit(_log_cdf_sf)
_logpdf_jit = jax.jit(_logpdf)
_mean_jit = jax.jit(_mean)
_variance_jit = jax.jit(_variance)

__all__ = ["cdf", "logcdf", "logpdf", "logsf", "mean", "pdf", "sf", "variance"]
