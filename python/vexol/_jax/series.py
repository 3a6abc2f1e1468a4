"""The two closed-form regimes: the normal approximation (h > 50) and the
truncated gamma series (h < 1).

PG(h, z) = (1/(2 pi^2)) sum_k G_k / ((k - 1/2)^2 + w^2), G_k ~ Gamma(h),
w = |z|/(2 pi). The series draws its first 20 terms and replaces the rest
by one gamma variate with the rest's mean and variance, as the C++ sampler
does. The rest's moments are sums over k > 20, taken here directly (the
Euler-Maclaurin formula of the midpoint rule from y = 20) rather than as
the full sums less the first 20 terms: in float32 that difference would
keep only a few bits of the variance.
"""

import math

import jax
import jax.numpy as jnp

from vexol._jax._common import rejection_loop, uniforms_and_normals

GAMMA_SERIES_TERMS = 20
INV_2PI_SQUARED = 1.0 / (2.0 * math.pi**2)


def normal_moments(h, a):
    """Exact mean h tanh(a/2)/(2a) and variance h (sinh a - a) sech^2(a/2)/(4a^3),
    a = |z| >= 0, in forms that keep their digits in float32."""
    t = jnp.tanh(a * 0.5)
    a_safe = jnp.where(a < 1e-3, 1.0, a)
    mean = jnp.where(a < 1e-3, (0.25 - (a * a) / 48.0) * h, ((h * 0.5) * t) / a_safe)
    sech2 = 1.0 / jnp.cosh(a * 0.5) ** 2
    # a < 1: (sinh a - a)/a^3 by its series (the difference cancels);
    # a >= 1: sinh(a) sech^2(a/2) = 2 tanh(a/2), so var = h (2T - a sech^2)/(4 a^3),
    # with no 1 - T^2 (which rounds to 0 from a of about 17 in float32).
    y = a * a
    s = 0.0
    for k in range(7, -1, -1):
        s = s * y + 1.0 / math.factorial(2 * k + 3)
    small = (h * 0.25) * s * sech2
    a1 = jnp.where(a < 1.0, 1.0, a)
    large = (h * 0.25) * (((2.0 * t - a1 * sech2) / a1) / a1) / a1
    var = jnp.where(a < 1.0, small, large)
    return mean, jnp.maximum(var, 0.0)


def normal_draw(key, h, z):
    mean, var = normal_moments(h, jnp.abs(z))
    return mean + jnp.sqrt(var) * jax.random.normal(key, h.shape, h.dtype)


def _atan_ratio(r):
    """atan(r)/r."""
    rs = jnp.where(r < 1e-4, 1.0, r)
    return jnp.where(r < 1e-4, 1.0 - r * r / 3.0, jnp.arctan(rs) / rs)


def _atan_cubic(r):
    """(atan(r) - r/(1 + r^2)) / r^3, by its series below 0.3."""
    y = r * r
    s = 0.0
    for k in range(18, 0, -1):
        s = s * y + (-1) ** (k + 1) * (2.0 * k) / (2.0 * k + 1.0)
    rs = jnp.where(r < 0.3, 1.0, r)
    closed = (jnp.arctan(rs) - rs / (1.0 + rs * rs)) / (rs * rs * rs)
    return jnp.where(r < 0.3, s, closed)


def tail_sums(w):
    """sum over k > 20 of 1/d_k and 1/d_k^2, d_k = (k - 1/2)^2 + w^2.

    The midpoint rule's Euler-Maclaurin expansion from Y = 20:
    sum g(Y + j + 1/2) = int_Y^inf g + g'(Y)/24 - 7 g'''(Y)/5760 + ...,
    with an error below 1e-9 of the sums for every w."""
    Y = float(GAMMA_SERIES_TERMS)
    r = w / Y
    q = 1.0 / (Y * Y + w * w)
    q2 = q * q
    # g = q: int = atan(w/Y)/w, g' = -2Y q^2, g''' = 24 Y q^3 - 48 Y^3 q^4.
    s1 = (
        _atan_ratio(r) / Y
        + (-2.0 * Y * q2) / 24.0
        - 7.0 * (24.0 * Y * q2 * q - 48.0 * Y**3 * q2 * q2) / 5760.0
    )
    # g = q^2: int = (atan(r) - r/(1 + r^2)) / (2 w^3), g' = -4Y q^3,
    # g''' = 72 Y q^4 - 192 Y^3 q^5.
    s2 = (
        _atan_cubic(r) / (2.0 * Y**3)
        + (-4.0 * Y * q2 * q) / 24.0
        - 7.0 * (72.0 * Y * q2 * q2 - 192.0 * Y**3 * q2 * q2 * q) / 5760.0
    )
    return s1, s2


def _gamma_tries(key, a):
    """One try of Marsaglia and Tsang's method for a Gamma(a, 1) variate per
    element of `a` (any a > 0; for a < 1 a Gamma(a + 1) variate times
    U^(1/a)). Returns (value, ok)."""
    boost = a < 1.0
    d = jnp.where(boost, a + 1.0, a) - 1.0 / 3.0
    c = 1.0 / jnp.sqrt(9.0 * d)
    u, x = uniforms_and_normals(key, 2, 1, a.shape, a.dtype)
    x = x[0]
    v = 1.0 + c * x
    v3 = v * v * v
    ok = (v > 0) & (
        jnp.log(u[0]) < 0.5 * x * x + d - d * v3 + d * jnp.log(jnp.where(v > 0, v3, 1.0))
    )
    # In logs: U^(1/a) underflows to 0 for tiny a, as the draw should.
    scale = jnp.where(boost, jnp.exp(jnp.log(u[1]) / jnp.where(boost, a, 1.0)), 1.0)
    return (d * v3) * scale, ok


def _series_round(k, pending, params, state):
    """Each lane's 21 variates, every one not yet accepted tried once more
    (a variate's value is its first accepted try, so the 21 stay
    independent Gamma variates); a lane is done when all 21 are."""
    h, tail_shape, w2, ratio, rest_mean, tail_draw = params
    g, ok = state
    shapes = jnp.concatenate(
        [jnp.broadcast_to(h[:, None], (h.shape[0], GAMMA_SERIES_TERMS)), tail_shape[:, None]],
        axis=1,
    )
    x, ok_new = _gamma_tries(k, shapes)
    g = jnp.where(ok, g, x)
    ok = jnp.logical_or(ok, ok_new)
    kk = jnp.arange(1, GAMMA_SERIES_TERMS + 1, dtype=h.dtype) - 0.5
    d = (kk * kk)[None, :] + w2[:, None]
    head = jnp.sum(g[:, :GAMMA_SERIES_TERMS] / d, axis=1) * INV_2PI_SQUARED
    tail = g[:, GAMMA_SERIES_TERMS] / jnp.where(tail_draw, ratio, 1.0)
    value = head + jnp.where(tail_draw, tail, rest_mean)
    return value, jnp.all(ok, axis=1), (g, ok)


def gamma_series_draw(key, h, z, active=None):
    """PG(h, z) by the truncated series, for 0 < h < 1 (z finite), on the
    lanes of `active` if given (0 elsewhere).

    One rejection loop over the draws, each round trying every variate of
    a lane that is not yet accepted: a round's buffer of lanes holds all
    their variates, which stay in the cache (one rejection loop over the
    21 n variates took 1.9 times as long)."""
    if active is None:
        active = jnp.ones(h.shape, bool)
    w = jnp.abs(z) / (2.0 * math.pi)
    s1, s2 = tail_sums(w)
    s = h * INV_2PI_SQUARED
    m = s1 * s
    v = s2 * (s * INV_2PI_SQUARED)
    ratio = m / jnp.where(v > 0, v, 1.0)
    shape = m * ratio
    tail_draw = (m > 0) & (v > 0) & jnp.isfinite(shape)
    safe_shape = jnp.where(tail_draw, shape, 1.0)
    terms = (*h.shape, GAMMA_SERIES_TERMS + 1)
    state = (jnp.zeros(terms, h.dtype), jnp.zeros(terms, bool))
    params = (h, safe_shape, w * w, ratio, m, tail_draw)
    out = rejection_loop(key, active, params, state, _series_round, h)
    return jnp.where(active, out, 0.0)
