"""Exact PG(h, z) for 0 < h < 1 by inverting vexol's own distribution
function: x solves ln F(x) = ln U (U <= 1/2) or ln S(x) = ln(1 - U)
(U > 1/2), by bisection in ln x, each side of the law in its own tail so
that neither loses digits to 1 - F.

The bracket is [1e-13, 1e3]: every draw below the floor 1e-12 is returned
as the floor anyway, and P(PG(h, z) > 1e3) < e^-1200 for h < 1. Bisection
halves ln(1e16) ~ 37 each step; 60 steps in float64 (32 in float32) leave
an interval below one ulp of the result.
"""

import math

import jax.numpy as jnp
import numpy as np

from vexol._density import _log_cdf_sf_series
from vexol._jax._common import fori_loop, in_chunks, lanes_per_pass, uniforms

LOG_LO = math.log(1e-13)
LOG_HI = math.log(1e3)


# Lanes one pass of the bisection works on. A block of a mixed batch holds
# up to 16,384 lanes (dispatch's on_lanes), of which a few may need the
# inversion: bisecting every lane of the block cost seconds for one h < 0.1
# among 20,000 lanes, so the active lanes are gathered and bisected a chunk
# at a time, as many chunks as they fill.
CHUNK = 256


def _bisect(h, z, u):
    """x with F(x) = u, per lane (h < 1, z finite, 0 < u < 1)."""
    lower = u <= 0.5
    target = jnp.where(lower, jnp.log(u), jnp.log1p(-u))
    steps = 60 if np.dtype(h.dtype) == np.float64 else 32

    def step(_, bracket):
        lo, hi = bracket
        mid = 0.5 * (lo + hi)
        lc, ls = _log_cdf_sf_series(jnp.exp(mid), h, z)
        # Is the draw above mid? In the lower tail F(mid) < U, in the upper
        # S(mid) > 1 - U.
        above = jnp.where(lower, lc < target, ls > target)
        return jnp.where(above, mid, lo), jnp.where(above, hi, mid)

    lo0 = jnp.full_like(h, LOG_LO)
    hi0 = jnp.full_like(h, LOG_HI)
    lo, hi = fori_loop(0, steps, step, (lo0, hi0))
    return jnp.exp(0.5 * (lo + hi))


def draw(key, h, z, active):
    """PG(h, z) draws for 0 < h < 1 on the lanes of `active` (z finite)."""
    dtype = h.dtype
    n = h.shape[0]
    h = jnp.where(active, h, 0.5)
    z = jnp.where(active, z, 0.0)
    # Each lane's uniform as if all were bisected at once.
    u = uniforms(key, 1, h.shape, dtype)[0]
    chunk = lanes_per_pass(n, CHUNK)
    if chunk == n:
        return jnp.where(active, _bisect(h, z, u), 0.0)
    return in_chunks(_bisect, active, (h, z, u), chunk, 0.0)
