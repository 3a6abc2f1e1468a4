"""Exact PG(1, z) by Devroye's alternating-series method for J*(1, zeta),
zeta = |z|/2 (PG(1, z) = J*(1, zeta)/4): L. Devroye, Statistics &
Probability Letters 79 (2009), as used by Polson, Scott and Windle (2013).

The proposal is the two-piece envelope split at t = 0.64: an exponential
right of t, and left of it the inverse Gaussian IG(1/zeta, 1) restricted to
(0, t]. The left piece is drawn per lane without nested loops:

- zeta < 1/t: the zeta = 0 limit (Levy, X = 1/Y^2 with Y a standard normal
  above 1/sqrt(t), drawn by inversion), accepted with prob. exp(-zeta^2 X/2);
- zeta >= 1/t: the whole inverse Gaussian by transformation, kept if X <= t.

Each round makes one try of the left piece, and a lane keeps its choice of
piece until a try succeeds, so the mixture weights stay exact. (A round is
cheap since the rejection loop's rounds work on a small buffer of lanes:
three tries per round, which saved rounds when a round cost a quarter of
all lanes, now cost a third more per draw than they save.)
The series is summed divided by its first term, which keeps every term in
(0, 1] in float32 as in float64.
"""

import math

import jax
import jax.numpy as jnp
from jax.scipy.special import log_ndtr, ndtri

from vexol._jax._common import (
    MAX_TERMS,
    PI_SQUARED,
    PI_SQUARED_OVER_8,
    first_valid,
    rejection_loop,
    uniforms_and_normals,
    while_loop,
)

T = 0.64
SQRT_T = 0.8
# Tries of the left piece per round (see above).
LEFT_TRIES = 1
# P(Y > 1/sqrt(t)) for a standard normal Y, the mass the Levy proposal inverts.
LOG_LEVY_MASS = math.log(0.5 * math.erfc(1.25 / math.sqrt(2.0)))


def setup(z):
    """zeta, the right piece's rate K and its probability p, per lane."""
    zeta = jnp.abs(z) * 0.5
    K = (zeta * 0.5) * zeta + PI_SQUARED_OVER_8
    log_b = jnp.log(K) + K * T
    log_left = log_ndtr((zeta * T - 1.0) / SQRT_T)
    log_right = log_ndtr(-(zeta * T + 1.0) / SQRT_T)
    # p = 1 / ((f + g) 4/pi + 1) with f + g = e^B (e^(R + zeta) + e^(L - zeta)),
    # all in logarithms so that nothing overflows for large |z| (p -> 0).
    s = math.log(4 / math.pi) + log_b + jnp.logaddexp(log_right + zeta, log_left - zeta)
    p = jax.nn.sigmoid(-s)
    return zeta, K, p


def series_accepts(x, u, right):
    """Devroye's alternating series at x, divided by its first term, against
    the level u in (0, 1): True to accept, False to reject."""
    # Term n over term 0 is (2n + 1) exp(-n (n + 1) c) with c = pi^2 x/2 on
    # the right and 2/x on the left.
    c = jnp.where(right, PI_SQUARED * 0.5 * x, 2.0 / x)
    dtype = x.dtype

    def cond(carry):
        n, _, _, _, deciding, _ = carry
        return jnp.logical_and(n < MAX_TERMS, jnp.any(deciding))

    def body(carry):
        n, s, e, r, deciding, accept = carry
        nf = n.astype(dtype)
        # exp(-n(n + 1)c) from the last term's by r_n = exp(-2nc), and r_n
        # from the last by exp(-2c) = r_1: no exp per term.
        e = e * r
        r = r * r1
        a = (2.0 * nf + 1.0) * e
        odd = (n % 2) == 1
        s = jnp.where(deciding, jnp.where(odd, s - a, s + a), s)
        # A sum that is not a number never decides; the proposal is kept.
        acc = jnp.logical_and(deciding, jnp.logical_or(jnp.logical_and(odd, s >= u), jnp.isnan(s)))
        rej = jnp.logical_and(deciding, jnp.logical_and(jnp.logical_not(odd), s < u))
        accept = jnp.logical_or(accept, acc)
        deciding = jnp.logical_and(deciding, jnp.logical_not(jnp.logical_or(acc, rej)))
        return n + 1, s, e, r, deciding, accept

    r1 = jnp.exp(-2.0 * c)
    ones = jnp.ones_like(x)
    init = (jnp.int32(1), ones, ones, r1, jnp.ones(x.shape, bool), jnp.zeros(x.shape, bool))
    _, s, _, _, deciding, accept = while_loop(cond, body, init)
    # Out of terms (never for a finite proposal): decide on the last sum.
    return jnp.where(deciding, s >= u, accept)


def _round(k, pending, params, state):
    zeta, K, p, small, mu = params
    (piece,) = state
    dtype, shape = zeta.dtype, zeta.shape
    u, n = uniforms_and_normals(k, 3 + 2 * LEFT_TRIES, LEFT_TRIES, shape, dtype)
    # 0: no piece chosen yet, 1: right, 2: left.
    choose = jnp.logical_and(pending, piece == 0)
    piece = jnp.where(choose, jnp.where(p > u[0], 1, 2), piece)
    x_right = -jnp.log(u[1]) / K + T
    # Left, small tilt: Levy below t, accepted with exp(-zeta^2 X / 2).
    ul, ua = u[3 : 3 + LEFT_TRIES], u[3 + LEFT_TRIES :]
    y = -ndtri(jnp.exp(jnp.log(ul) + LOG_LEVY_MASS))
    x_small = 1.0 / (y * y)
    ok_small = jnp.log(ua) <= (zeta * zeta) * (-0.5) * x_small
    # Left, large tilt: IG(mu, 1) by transformation, kept below t. The root
    # is taken as mu^2 / (Y + sqrt(Y^2 - mu^2)), without cancellation.
    q = (n * n) * mu
    yy = mu + (mu * 0.5) * q
    x_ig = (mu * mu) / (yy + (mu * 0.5) * jnp.sqrt(q * q + 4.0 * q))
    x_ig = jnp.where(ua > mu / (x_ig + mu), (mu * mu) / x_ig, x_ig)
    ok_large = x_ig <= T
    x_left, ok_left = first_valid(
        jnp.where(small, x_small, x_ig), jnp.where(small, ok_small, ok_large)
    )
    right = piece == 1
    x = jnp.where(right, x_right, x_left)
    proposed = jnp.logical_and(pending, jnp.logical_or(right, ok_left))
    accepted = jnp.logical_and(proposed, series_accepts(x, u[2], x > T))
    # A rejected proposal starts a new attempt with a new choice of piece.
    piece = jnp.where(jnp.logical_and(proposed, jnp.logical_not(accepted)), 0, piece)
    return x * 0.25, accepted, (piece,)


def draw(key, z, active):
    """PG(1, z) draws on the lanes of `active` (z finite there), 0 elsewhere."""
    zeta, K, p = setup(z)
    small = zeta < 1.0 / T
    mu = 1.0 / jnp.where(small, 1.0, zeta)
    piece0 = jnp.zeros(z.shape, jnp.int32)
    out = rejection_loop(key, active, (zeta, K, p, small, mu), (piece0,), _round, z)
    return jnp.where(active, out, 0.0)
