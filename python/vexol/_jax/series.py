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
# Tries of Gamma(h) per round for the 20 head terms (see _series_round).
HEAD_TRIES = 24
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
    U^(1/a)). Returns (value, ok).

    U is the try's own acceptance uniform, recycled: the try accepts when
    ln u < b (b <= 0, the log of the target over the envelope at the
    proposal), and given that, u e^-b is uniform on (0, 1) and independent
    of the proposal. One uniform and one log per try fewer than drawing U
    afresh (a third of the try's random words)."""
    boost = a < 1.0
    d = jnp.where(boost, a + 1.0, a) - 1.0 / 3.0
    c = 1.0 / jnp.sqrt(9.0 * d)
    u, x = uniforms_and_normals(key, 1, 1, a.shape, a.dtype)
    x = x[0]
    v = 1.0 + c * x
    v3 = v * v * v
    bound = 0.5 * x * x + d - d * v3 + d * jnp.log(jnp.where(v > 0, v3, 1.0))
    log_u = jnp.log(u[0])
    ok = (v > 0) & (log_u < bound)
    # In logs: U^(1/a) underflows to 0 for tiny a, as the draw should.
    scale = jnp.where(boost, jnp.exp((log_u - bound) / jnp.where(boost, a, 1.0)), 1.0)
    return (d * v3) * scale, ok


def _series_round(k, pending, params, state):
    """One round of a lane's series: HEAD_TRIES tries of Gamma(h) for the 20
    head terms and one of the rest's variate if it is still missing.

    The 20 head variates are iid Gamma(h), so a lane fills its terms in
    order with its accepted tries, whichever tries they were: given which
    tries accept, the accepted values are iid Gamma(h), and the ones past
    the 20th are dropped by their rank alone. A few spare tries per round
    make a lane's 20 terms nearly always complete in its first round
    (with exactly 20 tries, at h = 1/2, only 56% of the lanes were, and the
    rest spent a second round of 21 tries on one or two variates). The
    state is the partial sum and the count of filled terms, not the terms
    themselves."""
    h, tail_shape, w2, ratio, rest_mean, tail_draw = params
    head_sum, count, tail_g, tail_ok = state
    m = h.shape[0]
    shapes = jnp.concatenate(
        [jnp.broadcast_to(h[:, None], (m, HEAD_TRIES)), tail_shape[:, None]], axis=1
    )
    x, ok = _gamma_tries(k, shapes)
    ok_head = ok[:, :HEAD_TRIES]
    # Term index (0-based) each accepted try fills: the lane's count so far
    # plus its rank among this round's accepted tries.
    slot = count[:, None] + jnp.cumsum(ok_head, axis=1, dtype=jnp.int32) - 1
    use = ok_head & (slot < GAMMA_SERIES_TERMS)
    kk = slot.astype(h.dtype) + 0.5
    d = kk * kk + w2[:, None]
    head_sum = head_sum + jnp.sum(jnp.where(use, x[:, :HEAD_TRIES] / d, 0.0), axis=1)
    count = jnp.minimum(count + jnp.sum(ok_head, axis=1, dtype=jnp.int32), GAMMA_SERIES_TERMS)
    tail_g = jnp.where(tail_ok, tail_g, x[:, HEAD_TRIES])
    tail_ok = tail_ok | ok[:, HEAD_TRIES]
    tail = tail_g / jnp.where(tail_draw, ratio, 1.0)
    value = head_sum * INV_2PI_SQUARED + jnp.where(tail_draw, tail, rest_mean)
    done = (count >= GAMMA_SERIES_TERMS) & tail_ok
    return value, done, (head_sum, count, tail_g, tail_ok)


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
    zeros = jnp.zeros_like(h)
    state = (zeros, jnp.zeros(h.shape, jnp.int32), zeros, jnp.zeros(h.shape, bool))
    params = (h, safe_shape, w * w, ratio, m, tail_draw)
    out = rejection_loop(key, active, params, state, _series_round, h)
    return jnp.where(active, out, 0.0)
