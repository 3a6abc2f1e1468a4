"""Approximate PG(h, z) for 8 <= h <= 50: rejection sampling of the
saddle-point approximation of the density of X = J/h, J = 4 PG(h, z),
c = |z|/2, from a two-piece envelope (inverse Gaussian left of the split
xc, gamma right of it): Windle, Polson and Scott (arXiv:1405.0506, 2014),
section 4, with the constants and the Newton rule (stopping rule and
tolerance) of the C++ sampler so that both sample the same approximation;
the proposals' Newton solves start from a finer table (tabled_guess).
"""

import functools
import math

import jax
import jax.numpy as jnp
import numpy as np
from jax.scipy.special import log_ndtr

from vexol import _density_contour as contour
from vexol._jax._common import (
    INNER_LOOP_BUFFER,
    first_valid,
    gamma_tail_tries,
    in_chunks,
    log_cosh,
    log_upper_gamma,
    rejection_loop,
    shared_setup,
    uniforms_and_normals,
    while_loop,
)

SPLIT_FACTOR = 2.75
TANGENT_FACTOR = 3.0
LOG_SPLIT_FACTOR = math.log(2.75)
LOG_TANGENT_FACTOR = math.log(3.0)
NEWTON_TOLERANCE = 1e-5
NEWTON_STEP_LIMIT = 25
# Beyond this |z| the law is a normal with mean h/(2|z|) and variance
# h/(2|z|^3) to double precision, and the envelope cancels to nothing.
TILT_LIMIT = 1e10
# Tries of a piece's proposal per round: one, as rounds are cheap (three
# took a fifth longer per draw).
TRIES = 1


def tanh_over_x(x):
    """tanh(x)/x for x >= 0, by the C++ sampler's rational approximation."""
    y = x * x
    r = ((-99.22592967223608 - y * 0.9643749277722548) * y - 1613.4119023996227) * y / (
        ((y + 112.74474380534949) * y + 2233.7720718962314) * y + 4840.235707198869
    ) + 1.0
    return jnp.where(x > 4.95, 1.0 / jnp.where(x > 4.95, x, 1.0), r)


def initial_guess(x):
    bounds = [(0.25, -9.0), (0.5, -1.78), (1.0, -0.147), (1.5, 0.345), (2.5, 0.72), (4.0, 0.95)]
    out = jnp.full_like(x, 1.15)
    for bound, guess in reversed(bounds):
        out = jnp.where(x <= bound, guess, out)
    return out


# Newton's starting point for the proposals: the solution of phi'(u) = x
# interpolated in log x from a table (2048 points for 0.02 <= x <= 50, the
# range of x = J/h for 8 <= h <= 50 but for far tails). From the coarse
# table of initial_guess the rounds' solves took three steps a lane and
# four to five for the slowest of a round's lanes, half of a round's cost;
# from this one they usually stop at the first check. The stopping rule
# and its tolerance are unchanged: a solution is accepted on the same
# residual as before.
GUESS_LOG_LO, GUESS_LOG_HI, GUESS_POINTS = math.log(0.02), math.log(50.0), 2048


def _solution_table():
    """u with phi'(u) = x at the table's points, by bisection in float64."""
    x = np.exp(np.linspace(GUESS_LOG_LO, GUESS_LOG_HI, GUESS_POINTS))
    lo = np.full_like(x, -1.0 / (2 * x[0] ** 2) - 10.0)
    hi = np.full_like(x, math.pi**2 / 8)
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        r = np.sqrt(np.abs(2 * mid))
        with np.errstate(divide="ignore", invalid="ignore"):
            d = np.where(mid > 0, np.tan(r) / r, np.where(mid < 0, np.tanh(r) / r, 1.0))
        below = d < x
        lo = np.where(below, mid, lo)
        hi = np.where(below, hi, mid)
    return 0.5 * (lo + hi)


_SOLUTIONS = _solution_table()


def tabled_guess(x):
    """Newton's start for phi'(u) = x: the table's interpolation inside its
    range, initial_guess outside."""
    t = (jnp.log(x) - GUESS_LOG_LO) * ((GUESS_POINTS - 1) / (GUESS_LOG_HI - GUESS_LOG_LO))
    inside = (t >= 0) & (t < GUESS_POINTS - 1)
    t = jnp.where(inside, t, 0.0)
    i = jnp.floor(t).astype(jnp.int32)
    table = jnp.asarray(_SOLUTIONS, x.dtype)
    u0, u1 = table[i], table[i + 1]
    return jnp.where(inside, u0 + (t - i) * (u1 - u0), initial_guess(x))


def _derivatives(u):
    """phi'(u) and phi''(u) of the untilted cumulant function."""
    s = u + u
    root = jnp.sqrt(jnp.abs(s))
    safe = jnp.where(s > 0, root, 1.0)
    d = jnp.where(s < 0, tanh_over_x(root), jnp.where(s > 0, jnp.tan(safe) / safe, 1.0))
    small = jnp.abs(s) < 1e-12
    slope = jnp.where(small, 2.0 / 3.0, (1.0 - d) / jnp.where(small, 1.0, s) + d * d)
    return d, slope


def solve(x, guess=None):
    """Newton's method on phi'(u) = x from initial_guess's start (or the
    given one), with the C++ sampler's stopping rule; returns u and phi'' at
    the last point evaluated."""

    def cond(carry):
        steps, _, _, active = carry
        return jnp.logical_and(steps < NEWTON_STEP_LIMIT, jnp.any(active))

    def body(carry):
        steps, u, slope_out, active = carry
        d, slope = _derivatives(u)
        slope_out = jnp.where(active, slope, slope_out)
        done = jnp.logical_or(jnp.abs(d - x) <= NEWTON_TOLERANCE, slope <= NEWTON_TOLERANCE)
        u_new = u - (d - x) / slope
        moving = jnp.abs(u_new - u) > NEWTON_TOLERANCE * jnp.abs(u_new) + NEWTON_TOLERANCE
        more = jnp.logical_and(moving, steps + 1 < NEWTON_STEP_LIMIT)
        u = jnp.where(jnp.logical_and(active, jnp.logical_not(done)), u_new, u)
        active = jnp.logical_and(active, jnp.logical_and(jnp.logical_not(done), more))
        return steps + 1, u, slope_out, active

    u0 = initial_guess(x) if guess is None else guess
    init = (jnp.int32(0), u0, jnp.ones_like(x), jnp.ones(x.shape, bool))
    _, u, slope, _ = while_loop(cond, body, init)
    return u, slope


def cumulant(u, kappa):
    """phi(u) = kappa - ln cos sqrt(2u), continued for u < 0."""
    root = jnp.sqrt(jnp.abs(u + u))
    pos = kappa - jnp.log(jnp.cos(jnp.where(u > 0, root, 0.0)))
    neg = kappa - log_cosh(root)
    return jnp.where(u > 0, pos, jnp.where(u < 0, neg, kappa))


def setup(h, c):
    positive = c > 0
    cs = jnp.where(positive, c, 1.0)
    rho = jnp.where(positive, tanh_over_x(cs), 1.0)
    log_rho = jnp.log(rho)
    eta = jnp.where(positive, (c * 0.5) * c, 0.0)
    kappa = jnp.where(positive, log_cosh(cs), 0.0)
    xc = rho * SPLIT_FACTOR
    xr = rho * TANGENT_FACTOR
    # Both set-up solves in one (one loop in the compiled program).
    n = xr.shape[0]
    u_both, slope_both = solve(jnp.concatenate([xr, xc]))
    u_r, slope_c = u_both[:n], slope_both[n:]
    left_slope = ((1.0 / rho) * (1.0 / rho)) * (-0.5)
    r = cumulant(-eta, kappa)
    left_constant = (r - (1.0 / xc) * 0.5) + 1.0 / rho
    log_split = log_rho + LOG_SPLIT_FACTOR
    right_slope = -(u_r + eta) - 1.0 / xr
    right_constant = (((cumulant(u_r, kappa) + 1.0) - LOG_TANGENT_FACTOR) - log_rho) + log_split
    w = ((1.0 / xc) * (1.0 / xc)) * slope_c
    B = 1.0 / jnp.sqrt(w * (1.0 / xc))
    D = jnp.sqrt(h * (1.0 / (2.0 * math.pi)))
    log_left_mult = jnp.log(D * B)
    log_right_mult = jnp.log(D / jnp.sqrt(w))
    F = jnp.sqrt(left_slope * (-2.0))
    mu = 1.0 / F
    G = jnp.sqrt(xc / h)
    # Left mass: the IG(mu, h) distribution function at xc times the
    # envelope's constants; right mass: the gamma piece above xc, in logs
    # (for large h|z| its factors over- and underflow together).
    i1 = log_ndtr((xc / mu - 1.0) / G)
    i2 = log_ndtr(-(xc / mu + 1.0) / G)
    log_left = (
        jnp.logaddexp(i1, i2 + 2.0 * h / mu) + ((0.5 / xc + left_constant) - F) * h + jnp.log(B)
    )
    lambda_r = (-h) * right_slope
    log_right = (
        (right_constant - jnp.log(lambda_r)) * h
        + log_upper_gamma(h, xc * lambda_r)
        + log_right_mult
    )
    p_left = jax.nn.sigmoid(log_left - log_right)
    return (
        h, eta, kappa, xc, mu, F, lambda_r, p_left, left_slope, left_constant,
        right_slope, right_constant, log_split, log_left_mult, log_right_mult, jnp.log(D),
    )  # fmt: skip


# The exact method's correction (the CPU path's exact_saddle.h): the
# proposal accepted against p = s r instead of s, r = p/s in
# [1 - RATIO_SPREAD/h, 1] (validation/saddle_ratio_bound.py), so that r is
# only computed where the uniform falls in between, about once in 10 h
# proposals, and then for the round's lanes under one cond.
RATIO_SPREAD = 0.09
POLISH_STEPS = 3
POLE_U = math.pi**2 / 8
RATIO_NODES = 16
LEFT_TAIL_ROOT = 40.0


# tan(r)/r = sum_k TAN_SERIES[k] s^k, s = r^2, convergent for |s| < pi^2/4;
# below SERIES_ARGUMENT its truncation is below 1e-17 of m and m'.
TAN_SERIES = (
    1.0, 0.3333333333333333, 0.13333333333333333, 0.05396825396825397,
    0.021869488536155203, 0.008863235529902197, 0.003592128036572481,
    0.0014558343870513183, 0.000590027440945586, 0.00023912911424355248,
    9.691537956929451e-05, 3.927832388331683e-05, 1.5918905069328964e-05,
    6.451689215655431e-06, 2.6147711512907546e-06,
)  # fmt: skip
SERIES_ARGUMENT = 0.1


def _mean_and_slope(u):
    """m(u) = tan(sqrt 2u)/sqrt 2u (tanh below 0) and dm/du, to a few ulps
    of the dtype (the envelope's solve uses a rational tanh): the series
    near 0, elsewhere closed forms without the two terms of size m^2 that
    cancel in (1 - m)/s + m^2 at large |s| (large tilts): with r = sqrt|s|,
    (tanh(r)/r - sech^2 r)/r^2 below 0, (sec^2 r - tan(r)/r)/r^2 above."""
    s = u + u
    near = jnp.abs(s) < SERIES_ARGUMENT
    sn = jnp.where(near, s, 0.0)
    m_near = jnp.asarray(TAN_SERIES[-1], u.dtype)
    d_near = jnp.asarray((len(TAN_SERIES) - 1) * TAN_SERIES[-1], u.dtype)
    for k in range(len(TAN_SERIES) - 2, 0, -1):
        m_near = m_near * sn + TAN_SERIES[k]
        d_near = d_near * sn + k * TAN_SERIES[k]
    m_near = m_near * sn + 1.0
    r = jnp.sqrt(jnp.where(near, 1.0, jnp.abs(s)))
    t = jnp.tan(jnp.where(s > 0, r, 0.0))
    m_pos = t / r
    m_neg = jnp.tanh(r) / r
    sech = 1.0 / jnp.cosh(jnp.where(s > 0, 0.0, r))
    slope_pos = ((1.0 + t * t) - m_pos) / (r * r)
    slope_neg = (m_neg - sech * sech) / (r * r)
    m = jnp.where(near, m_near, jnp.where(s > 0, m_pos, m_neg))
    slope = jnp.where(near, 2.0 * d_near, jnp.where(s > 0, slope_pos, slope_neg))
    return m, slope


def polish(x, u):
    """The saddle point of x to the dtype's last bits from the envelope's
    1e-5 solve: Newton's method on 1/m (concave, 0 at the pole u = pi^2/8,
    so that no step overshoots into it; one that would is halved towards
    it), from the asymptotes where the solve left the branch."""
    m, _ = _mean_and_slope(u)
    lost = ~(u < POLE_U) | ~(jnp.abs(m - x) <= 1e-3 * x)
    t = 1.0 / x
    w = jnp.where(
        t <= 1.0,
        -2.0 * POLE_U + t * (2.0 + (2.0 * POLE_U - 2.0) * t),
        (t * t - 1.0) * (1.0 + 0.5 / (t * t)),
    )
    u = jnp.where(lost, -0.5 * w, u)
    for _ in range(POLISH_STEPS):
        m, slope = _mean_and_slope(u)
        nxt = u - (m / x) * ((m - x) / slope)
        u = jnp.where(nxt < POLE_U, nxt, 0.5 * (u + POLE_U))
    _, slope = _mean_and_slope(u)
    return u, slope


def ratio_bend(h, w0, sigma):
    """The parabola's bend: the density's own, or in the left tail (w0 > 0)
    the smaller bend of the path w = (sqrt w0 + i s)^2, along which the
    inverse-Gaussian part of the integrand, which dominates there, is an
    exact Gaussian (with the density's bend, small h lost 1e-9 of r from
    sqrt(w0) = 10 on and gave NaN from about 100)."""
    left = sigma / (4.0 * jnp.where(w0 > 0, w0, 1.0))
    return jnp.where(
        w0 > 0, jnp.minimum(contour.BEND / jnp.sqrt(h), left), contour.BEND / jnp.sqrt(h)
    )


def density_ratio(x, h, u, slope):
    """r = p/s at X = x (the draw is h x/4), from the density's contour
    through the saddle point w0 = -2u, relative to its Gaussian term."""
    w0 = -2.0 * u
    sigma = jnp.sqrt(4.0 / (h * slope))
    bend = ratio_bend(h, w0, sigma)
    (value, _), _ = contour._nodes(0.25 * h * x, h, w0, sigma, RATIO_NODES, bend)
    r = (contour.STEP * math.sqrt(2 / math.pi)) * (0.5 + jnp.sum(value, axis=0))
    # r lies in [1 - RATIO_SPREAD/h, 1]: a computed value outside (or not a
    # number) is held to it, so that its error moves the law by no more than
    # that width. Past sqrt(w0) = LEFT_TAIL_ROOT, 1 - r is below 1e-31 (the
    # terms beyond the inverse Gaussian's are of relative size e^(-2 sqrt(w0))).
    r = jnp.where(jnp.isnan(r), 1.0, jnp.clip(r, 1.0 - RATIO_SPREAD / h, 1.0))
    return jnp.where(w0 >= LEFT_TAIL_ROOT**2, 1.0, r)


# Lanes whose r one pass computes: a round's ambiguous lanes are about one
# in 10 h of its proposals, so that one pass of this many nearly always
# takes them all, at a small fraction of the round's cost (r for every lane
# of a round cost six times the round).
RATIO_CHUNK = 32


def _ratios_where(ask, x, h, u, slope):
    """density_ratio on the lanes of `ask` (1 elsewhere), RATIO_CHUNK lanes
    at a time, gathered, for as many passes as they need."""
    return in_chunks(density_ratio, ask, (x, h, u, slope), min(RATIO_CHUNK, x.shape[0]), 1.0)


def _round(k, pending, params, state, exact=False):
    (h, eta, kappa, xc, mu, F, lambda_r, p_left, ls, lc, rs, rc, log_split, llm, lrm, log_d) = (
        params
    )
    (piece,) = state
    dtype, shape = h.dtype, h.shape
    u, nrm = uniforms_and_normals(k, 2 + 3 * TRIES, TRIES, shape, dtype)
    choose = jnp.logical_and(pending, piece == 0)
    piece = jnp.where(choose, jnp.where(p_left > u[0], 2, 1), piece)
    u1, u2, u3 = (u[2 + i * TRIES : 2 + (i + 1) * TRIES] for i in range(3))
    # Left: IG(mu, h) by transformation, kept below xc.
    # y = mu + d, and y^2 - mu^2 taken as d (2 mu + d): for small normals
    # the difference of squares would keep no digit of d in float32.
    d = (((mu * mu) * 0.5) * nrm) * nrm / h
    x_ig = (mu * mu) / ((mu + d) + jnp.sqrt(d * (2.0 * mu + d)))
    x_ig = jnp.where(u1 * (x_ig * F + 1.0) > 1.0, (mu * mu) / x_ig, x_ig)
    x_left, ok_left = first_valid(x_ig, x_ig < xc)
    x_right, ok_right = first_valid(*gamma_tail_tries(u2, u3, h, lambda_r, xc))
    left = piece == 2
    x = jnp.where(left, x_left, x_right)
    proposed = jnp.logical_and(pending, jnp.where(left, ok_left, ok_right))
    uu, slope = solve(x, tabled_guess(x))
    log_x = jnp.log(x)
    log_env = jnp.where(
        x > xc,
        ((x * rs + rc) + log_split) * h + (h - 1.0) * log_x + lrm,
        ((x * ls + lc) * h + (1.0 / xc - 1.0 / x) * (h * 0.5)) - 1.5 * log_x + llm,
    )
    if exact:
        uu, slope = polish(x, uu)
    log_target = (cumulant(uu, kappa) - (eta + uu) * x) * h + log_d - 0.5 * jnp.log(slope)
    log_u = jnp.log(u[1]) + log_env
    if exact:
        below = log_u <= log_target
        squeezed = log_u <= log_target + jnp.log1p(-RATIO_SPREAD / h)
        ask = proposed & below & ~squeezed
        r = _ratios_where(ask, x, h, uu, slope)
        ok = squeezed | (below & (log_u <= log_target + jnp.log(r)))
    else:
        ok = log_u <= log_target
    # A target that is not a number accepts, as in the C++ sampler.
    ok = jnp.logical_or(ok, jnp.isnan(log_target))
    accepted = jnp.logical_and(proposed, ok)
    piece = jnp.where(jnp.logical_and(proposed, jnp.logical_not(accepted)), 0, piece)
    return (h * 0.25) * x, accepted, (piece,)


def draw(key, h, z, active, exact=False):
    """PG(h, z) draws for 8 <= h <= 50 on the lanes of `active` (z finite);
    with `exact`, the law's own draws (the proposal corrected by p/s)."""
    a = jnp.abs(z)
    huge = jnp.logical_and(active, a > TILT_LIMIT)
    envelope = jnp.logical_and(active, jnp.logical_not(huge))
    h = jnp.where(envelope, h, 10.0)
    c = jnp.where(envelope, a * 0.5, 0.0)
    params = shared_setup(setup, envelope, h, c)
    piece0 = jnp.zeros(h.shape, jnp.int32)
    k_env, k_huge = jax.random.split(key)
    round_fn = functools.partial(_round, exact=exact)
    out = rejection_loop(k_env, envelope, params, (piece0,), round_fn, h, buffer=INNER_LOOP_BUFFER)
    # |z| > TILT_LIMIT: one normal draw with the limiting moments.
    ah = jnp.where(huge, a, 1.0)
    mean = (h * 0.5) / ah
    big = mean + jnp.sqrt(mean) / ah * jax.random.normal(k_huge, h.shape, h.dtype)
    return jnp.where(huge, big, jnp.where(envelope, out, 0.0))
