"""Exact PG(h, z) where the law is concentrated (h beyond 1e5 or |z| beyond
1e6), as the CPU path's exact_concentrated.h draws it.

X = 4x/h is parametrized by its tilt offset v from the mean's tilt
u0 = -z^2/8, X = m(u0 + v), and its saddle-point density in v,

    s(v) ~ sqrt(m'(u0 + v)) exp(-h int_0^v t m'(u0 + t) dt),

is bounded on a window of WINDOW standard deviations by the normal
sqrt(m'(u0 + V')) exp(-h m'(u0 - V) v^2/2) (m' increases): v is proposed
from that normal and accepted with probability
sqrt(m'(u0 + v)/m'(u0 + V')) exp(-h int_0^v t (m'(u0 + t) - m'(u0 - V)) dt),
times r = p/s as in saddle.py (computed only for the uniforms that fall
between its bounds). Nothing of size h cancels in the exponent, which a
3-point Gauss-Legendre rule integrates.
"""

import jax.numpy as jnp

from vexol._jax import saddle
from vexol._jax._common import INNER_LOOP_BUFFER, rejection_loop, uniforms_and_normals

WINDOW = 12.0
NODES = (0.1127016653792583, 0.5, 0.8872983346207417)
WEIGHTS = (5.0 / 18.0, 8.0 / 18.0, 5.0 / 18.0)


def max_tilt(dtype) -> float:
    """The |z| beyond which the law's relative spread, sqrt(2/(h|z|)) for
    h >= 16, is below the dtype's resolution (the default's normal draw
    rounds as an exact one would) or m' would leave its range: 1e40 in
    float64, 2e12 in float32, whose m' = |z/2|^-3 is subnormal beyond."""
    return 1e40 if jnp.dtype(dtype) == jnp.float64 else 2e12


def setup(h, z):
    c = 0.5 * jnp.abs(z)
    u0 = -0.5 * c * c
    _, slope0 = saddle._mean_and_slope(u0)
    spread = WINDOW / jnp.sqrt(h * slope0)
    high = jnp.minimum(spread, 0.5 * (saddle.POLE_U - u0))
    _, low_slope = saddle._mean_and_slope(u0 - spread)
    _, high_slope = saddle._mean_and_slope(u0 + high)
    return h, u0, -spread, high, low_slope, high_slope, 1.0 / jnp.sqrt(h * low_slope)


def _round(k, pending, params, state):
    h, u0, low, high, low_slope, high_slope, sd = params
    u, nrm = uniforms_and_normals(k, 1, 1, h.shape, h.dtype)
    v = nrm[0] * sd
    inside = (v >= low) & (v <= high)
    excess = jnp.zeros_like(v)
    for node, weight in zip(NODES, WEIGHTS, strict=True):
        t = v * node
        excess = excess + weight * (t * (saddle._mean_and_slope(u0 + t)[1] - low_slope))
    excess = excess * v
    uu = u0 + v
    m, slope = saddle._mean_and_slope(uu)
    log_a = -h * excess + 0.5 * jnp.log(slope / high_slope)
    log_u = jnp.log(u[0])
    below = log_u <= log_a
    squeeze = jnp.log1p(-saddle.RATIO_SPREAD / h)
    squeezed = log_u <= log_a + squeeze
    ask = pending & inside & below & ~squeezed
    r = saddle._ratios_where(ask, m, h, uu, slope)
    ok = inside & (squeezed | (below & (log_u <= log_a + jnp.log(r))))
    return (h * 0.25) * m, pending & ok, state


def draw(key, h, z, active):
    """Exact PG(h, z) draws on the lanes of `active` (h >= 16 finite,
    |z| <= max_tilt)."""
    h = jnp.where(active, h, 1e13)
    z = jnp.where(active, z, 0.0)
    params = setup(h, z)
    out = rejection_loop(key, active, params, (), _round, h, buffer=INNER_LOOP_BUFFER)
    return jnp.where(active, out, 0.0)


__all__ = ["draw", "max_tilt"]
