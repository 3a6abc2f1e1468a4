"""Exact J*(h, c) draws for 1 <= h <= 4 (J* = 4 PG(h, 2c)) by the alternate
method of Windle, Polson and Scott, "Sampling Polya-Gamma random variates:
alternate and approximate techniques" (arXiv:1405.0506, 2014).

Rejection from a two-piece proposal split at a truncation point t(h): on
(0, t] the inverse Gaussian IG(h/c, h^2) (for c = 0 its Levy limit), on
(t, inf) a gamma kernel; the decision sums the alternating series of the
density of J(h) until adding a term no longer changes the sum in the
working precision, as the C++ sampler does. Here the series is summed
divided by its first term, so that no term under- or overflows in float32.

The Levy proposals are drawn by inversion (X = h^2/Y^2 with Y a standard
normal above h/sqrt(t)), the rest by a few tries per round; a lane keeps
its choice of piece until a try succeeds, so the mixture weights are exact.
"""

import jax
import jax.numpy as jnp
import numpy as np
from jax.scipy.special import gammaln, log_ndtr, ndtri

from vexol._jax._common import (
    INNER_LOOP_BUFFER,
    LOG_2,
    LOG_HALF_PI,
    MAX_TERMS,
    PI_SQUARED_OVER_8,
    first_valid,
    gamma_tail_tries,
    log_upper_gamma,
    rejection_loop,
    shared_setup,
    uniforms_and_normals,
    while_loop,
)

# Truncation point t for h = 1 + k/8, k = 0..24 (the C++ sampler's table).
TRUNCATION_TABLE = np.array(
    [
        1.273239366, 1.901515423, 2.281992126, 2.607829551, 2.910421526, 3.200449543,
        3.482766779, 3.759955106, 4.033540671, 4.304486011, 4.573437633, 4.840840644,
        5.107017272, 5.372204821, 5.636581947, 5.900288573, 6.163432428, 6.42609433,
        6.688351603, 6.950254767, 7.211854235, 7.473186206, 7.734284136, 7.995175158,
        8.255882407,
    ]
)  # fmt: skip
# Tries of a piece's proposal per round. Two measured a little faster per
# draw than one or three while each lane ran its own set-up; with the
# set-up shared, one is 1.3x faster than two for the pieces (h = 6, z = 2)
# and alike for h = 2.5: a round's random words are most of its cost.
TRIES = 1


def truncation_point(h):
    table = jnp.asarray(TRUNCATION_TABLE, h.dtype)
    b = jnp.clip((h - 1.0) * 8.0, 0.0, 24.0)
    k = jnp.clip(jnp.floor(b), 0, 23).astype(jnp.int32)
    return table[k] + (table[k + 1] - table[k]) * (b - k.astype(h.dtype))


def setup(h, c):
    """Per-lane constants for shape h in [1, 4] and tilt c >= 0 (finite)."""
    t = truncation_point(h)
    rate = (c * c) * 0.5 + PI_SQUARED_OVER_8
    sqrt_t = jnp.sqrt(t)
    # Left mass 2^h e^-hc P(IG(h/c, h^2) < t), in logs (c = 0 included).
    log_left = h * LOG_2 + jnp.logaddexp(
        -h * c + log_ndtr((c * t - h) / sqrt_t), h * c + log_ndtr(-(c * t + h) / sqrt_t)
    )
    # Right mass (pi/2)^h Q(h, rate t) / rate^h.
    log_right = log_upper_gamma(h, rate * t) - gammaln(h) + h * (LOG_HALF_PI - jnp.log(rate))
    p_right = jax.nn.sigmoid(log_right - log_left)
    mu = h / jnp.where(c > 0, c, 1.0)
    # Mass of the Levy proposal below t: P(|Y| > h/sqrt(t)) / 2 per side.
    log_levy = log_ndtr(-h / sqrt_t)
    return (h, c, t, rate, p_right, mu, log_levy, gammaln(h))


def series_accepts(x, u, h, t, log_gamma_h):
    """The alternating series of the density of J(h) at x, divided by its
    first term, against u times the envelope (in the same units)."""
    dtype = x.dtype
    log_x = jnp.log(x)
    # Envelope over the first term: 1 on the left; on the right the gamma
    # kernel (pi/2)^h x^(h-1) e^(-pi^2 x/8)/Gamma(h) over
    # h 2^h (2 pi x^3)^(-1/2) e^(-h^2/(2x)).
    log_env_right = (
        (h - 1.0) * log_x
        + h * LOG_HALF_PI
        - x * PI_SQUARED_OVER_8
        - log_gamma_h
        - jnp.log(h)
        - h * LOG_2
        + 0.5 * np.log(2 * np.pi)
        + 1.5 * log_x
        + (0.5 * h) * h / x
    )
    level = u * jnp.where(x > t, jnp.exp(log_env_right), 1.0)

    def cond(carry):
        n, _, _, _, _, deciding, _ = carry
        return jnp.logical_and(n < MAX_TERMS, jnp.any(deciding))

    def body(carry):
        n, s, coef, e, r, deciding, accept = carry
        nf = n.astype(dtype)
        # Term n over the first is (2n + h)/h Gamma(n + h)/(n! Gamma(h))
        # exp(-2n(n + h)/x), each factor from the last term's by products:
        # Gamma(n + h)/(n! Gamma(h)) grows by (n - 1 + h)/n, the exponential
        # by r_n = exp(-2(2n - 1 + h)/x), and r by exp(-4/x). No log or exp
        # per term: the loop runs until the slowest lane of a round decides
        # (about 20 terms in a buffer of 512 lanes).
        coef = coef * ((nf - 1.0 + h) / nf)
        e = e * r
        r = r * step
        a = ((2.0 * nf + h) / h) * (coef * e)
        odd = (n % 2) == 1
        prev = s
        s = jnp.where(deciding, jnp.where(odd, prev - a, prev + a), prev)
        # As in the C++ sampler: accept on an odd sum at or above the level;
        # reject only once an even term no longer changes the sum.
        acc = jnp.logical_and(odd, jnp.logical_and(prev >= s, s >= level))
        rej = jnp.logical_and(jnp.logical_not(odd), jnp.logical_and(prev >= s, level > s))
        acc = jnp.logical_and(deciding, jnp.logical_or(acc, jnp.isnan(s) | jnp.isnan(level)))
        rej = jnp.logical_and(deciding, rej)
        accept = jnp.logical_or(accept, acc)
        deciding = jnp.logical_and(deciding, jnp.logical_not(jnp.logical_or(acc, rej)))
        return n + 1, s, coef, e, r, deciding, accept

    ones = jnp.ones_like(x)
    step = jnp.exp(-4.0 / x)
    init = (
        jnp.int32(1),
        ones,
        ones,
        ones,
        jnp.exp(-2.0 * (1.0 + h) / x),
        jnp.ones(x.shape, bool),
        jnp.zeros(x.shape, bool),
    )
    _, s, _, _, _, deciding, accept = while_loop(cond, body, init)
    return jnp.where(deciding, s >= level, accept)


def _round(k, pending, params, state):
    h, c, t, rate, p_right, mu, log_levy, log_gamma_h = params
    (piece,) = state
    dtype, shape = h.dtype, h.shape
    # A lane uses one piece's tries per round, so the two pieces share
    # their uniforms.
    u, nrm = uniforms_and_normals(k, 2 + 2 * TRIES, TRIES, shape, dtype)
    choose = jnp.logical_and(pending, piece == 0)
    piece = jnp.where(choose, jnp.where(p_right >= u[0], 1, 2), piece)
    u1, u2 = u[2 : 2 + TRIES], u[2 + TRIES :]
    u3, u4 = u1, u2
    # Right: gamma(h, rate) above t.
    x_right, ok_right = gamma_tail_tries(u1, u2, h, rate, t)
    # Left, Levy kernel below t: X = h^2/Y^2, Y > h/sqrt(t).
    y = -ndtri(jnp.exp(jnp.log(u3) + log_levy))
    x_levy = (h / y) ** 2
    levy = jnp.logical_or(c <= 0, mu > t)
    # Tilted, mu > t: Levy proposals accepted with exp(-c^2 X / 2).
    ok_levy = jnp.logical_or(c <= 0, jnp.log(u4) < (c * c) * (-0.5) * x_levy)
    # Tilted, mu <= t: IG(mu, h^2) by transformation, kept below t.
    # y = mu + d, and y^2 - mu^2 taken as d (2 mu + d), without cancellation.
    d = (nrm * nrm) * 0.5 / (c * c)
    x_ig = (mu * mu) / ((mu + d) + jnp.sqrt(d * (2.0 * mu + d)))
    x_ig = jnp.where((x_ig + mu) * u4 > mu, (mu * mu) / x_ig, x_ig)
    ok_ig = x_ig < t
    x_left, ok_left = first_valid(jnp.where(levy, x_levy, x_ig), jnp.where(levy, ok_levy, ok_ig))
    x_r, ok_r = first_valid(x_right, ok_right)
    right = piece == 1
    x = jnp.where(right, x_r, x_left)
    proposed = jnp.logical_and(pending, jnp.where(right, ok_r, ok_left))
    accepted = jnp.logical_and(proposed, series_accepts(x, u[1], h, t, log_gamma_h))
    piece = jnp.where(jnp.logical_and(proposed, jnp.logical_not(accepted)), 0, piece)
    return x, accepted, (piece,)


def draw_j(key, h, c, active):
    """J*(h, c) draws on the lanes of `active` (1 <= h <= 4, c finite >= 0),
    0 elsewhere."""
    h = jnp.where(active, h, 2.0)
    c = jnp.where(active, c, 0.0)
    params = shared_setup(setup, active, h, c)
    piece0 = jnp.zeros(h.shape, jnp.int32)
    out = rejection_loop(key, active, params, (piece0,), _round, h, buffer=INNER_LOOP_BUFFER)
    return jnp.where(active, out, 0.0)


def draw(key, h, z, active):
    """PG(h, z) = J*(h, |z|/2)/4 for 1 <= h <= 4."""
    return draw_j(key, h, jnp.abs(z) * 0.5, active) * 0.25
