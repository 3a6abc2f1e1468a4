"""Pieces shared by the pure-JAX samplers: uniforms, the draw floor, the
masked rejection loop and the numerical helpers several methods need.

Every sampler works on flat arrays of lanes, one lane per element, in the
dtype of its inputs (float32 programs never need 64-bit types). A rejection
sampler is a `lax.while_loop` over rounds: in round r every lane still
pending draws fresh randomness from `fold_in(key, r)`, lanes that accept
keep their value, and the loop runs only while some lane is pending.
"""

import math

import jax
import jax.numpy as jnp
import numpy as np
from jax import lax
from jax.scipy.special import gammaincc, gammaln

PI = math.pi
PI_SQUARED = math.pi**2
PI_SQUARED_OVER_8 = math.pi**2 / 8
LOG_2 = math.log(2.0)
LOG_HALF_PI = math.log(math.pi / 2)
LOG_SQRT_2PI = 0.5 * math.log(2 * math.pi)

# A loop that has not accepted after this many rounds gives NaN for its
# pending lanes. With the acceptance rates of the methods here (above 0.3
# per round everywhere) a finite input never gets near it; it only bounds
# the work for inputs whose arithmetic has broken down.
MAX_ROUNDS = 2000
# The same bound for the terms of an alternating series.
MAX_TERMS = 2000


def draw_floor(dtype) -> float:
    """The least draw: 1e-12, in float32 the float just above it (float32's
    nearest value to 1e-12 lies below 1e-12)."""
    f = np.dtype(dtype).type(1e-12)
    if float(f) < 1e-12:
        f = np.nextafter(f, np.dtype(dtype).type(1))
    return float(f)


def uniforms(key, count, shape, dtype):
    """`count` arrays of uniforms in the open interval (0, 1).

    jax.random.uniform gives multiples of 2^-p in [0, 1); shifting by half a
    step makes the law symmetric and keeps logarithms finite."""
    u = jax.random.uniform(key, (count, *shape), dtype)
    return u + np.finfo(dtype).eps * 0.5


def normals(key, count, shape, dtype):
    return jax.random.normal(key, (count, *shape), dtype)


def first_valid(values, ok):
    """Per lane, the first of several tries (leading axis) that is valid."""
    out = values[-1]
    for j in range(values.shape[0] - 2, -1, -1):
        out = jnp.where(ok[j], values[j], out)
    return out, jnp.any(ok, axis=0)


def skip_unless(mask, fn, like):
    """fn() where some lane of `mask` needs it, zeros otherwise without
    running it (a cond on the whole array; under a vmap with a batched mask
    both branches run, which is correct and only slower)."""
    return lax.cond(jnp.any(mask), fn, lambda: jnp.zeros_like(like))


def rejection_loop(key, active, params, state, round_fn, like):
    """Run round_fn until no lane of `active` is pending.

    round_fn(key_r, pending, params, state) -> (value, accepted, state)
    works on whatever lanes it is given: `params` (per-lane set-up) and
    `state` (per-lane memory between rounds) are tuples of arrays of one
    length. The first round sees every lane. Later rounds, where only the
    rejected few are left, see a buffer of the first `m` pending lanes
    (m = n/8, at least 64), gathered and scattered back, so that they cost
    a fraction of the first; a lane's draws are independent whichever slot
    it lands in. Returns the values, NaN for lanes still pending after
    MAX_ROUNDS rounds."""
    n = active.shape[0]
    value, accepted, state = round_fn(jax.random.fold_in(key, 0), active, params, state)
    accepted = jnp.logical_and(accepted, active)
    out = jnp.where(accepted, value, jnp.zeros_like(like))
    pending = jnp.logical_and(active, jnp.logical_not(accepted))
    m = min(n, max(64, n // 8))
    slots = jnp.arange(m)

    def cond(carry):
        r, _, pend, _ = carry
        return jnp.logical_and(r < MAX_ROUNDS, jnp.any(pend))

    def body(carry):
        r, out, pend, st = carry
        idx = jnp.nonzero(pend, size=m, fill_value=0)[0]
        valid = slots < jnp.sum(pend)
        sub_params = tuple(a[idx] for a in params)
        sub_state = tuple(a[idx] for a in st)
        value, acc, sub_state = round_fn(jax.random.fold_in(key, r), valid, sub_params, sub_state)
        acc_idx = jnp.where(jnp.logical_and(acc, valid), idx, n)
        out = out.at[acc_idx].set(value, mode="drop")
        pend = pend.at[acc_idx].set(False, mode="drop")
        back = jnp.where(valid, idx, n)
        st = tuple(a.at[back].set(b, mode="drop") for a, b in zip(st, sub_state, strict=True))
        return r + 1, out, pend, st

    init = (jnp.int32(1), out, pending, state)
    _, out, pending, _ = lax.while_loop(cond, body, init)
    return jnp.where(pending, jnp.nan, out)


def log_upper_gamma(a, x):
    """ln Gamma(a, x), the non-regularized upper incomplete gamma function,
    without underflow: for x > a + 1 by its continued fraction in logs (the
    factor e^-x x^a apart), elsewhere from gammaincc, which is not small
    there. a >= 1, x > 0."""
    big = x > a + 1.0
    xs = jnp.where(big, x, a + 2.0)
    tiny = np.finfo(x.dtype).tiny / np.finfo(x.dtype).eps
    # Modified Lentz for Gamma(a, x) = e^-x x^a / (x + 1 - a - 1(1 - a)/(x + 3 - a - ...)).
    b0 = xs + 1.0 - a

    def step(i, carry):
        b, c, d, f = carry
        an = -i * (i - a)
        b = b + 2.0
        d = an * d + b
        d = jnp.where(jnp.abs(d) < tiny, tiny, d)
        c = b + an / c
        c = jnp.where(jnp.abs(c) < tiny, tiny, c)
        d = 1.0 / d
        return b, c, d, f * (d * c)

    init = (b0, jnp.full_like(xs, 1.0 / tiny), 1.0 / b0, 1.0 / b0)
    _, _, _, f = lax.fori_loop(1, 80, step, init)
    log_cf = -xs + a * jnp.log(xs) + jnp.log(f)
    xl = jnp.where(big, a, x)
    log_q = jnp.log(gammaincc(a, xl)) + gammaln(a)
    return jnp.where(big, log_cf, log_q)


def log_cosh(x):
    a = jnp.abs(x)
    return a + jnp.log1p(jnp.exp(-2.0 * a)) - LOG_2


def gamma_tail_tries(u_exp, u_acc, a, b, bound):
    """Tries of X ~ Gamma(shape a >= 1, rate b) conditioned on X > bound:
    the shifted-exponential proposal with Philippe's optimal rate. u_exp
    and u_acc hold one uniform per try (leading axis). Returns (X, ok)."""
    d = b * bound
    dm = d - a
    root = jnp.sqrt(dm * dm + d * 4.0)
    # ((d - a) + root) / (2d), written without cancellation when a > d.
    r = jnp.where(dm >= 0, (dm + root) * 0.5 / d, 2.0 / (root - dm))
    k = (jnp.log((a - 1.0) / (1.0 - r)) - 1.0) * (a - 1.0)
    # a = 1 (or so near that the optimal rate rounds to 1): the tail is the
    # shifted exponential itself.
    exact_exponential = jnp.logical_or(a <= 1.0, jnp.logical_not(jnp.isfinite(k)))
    rate = jnp.where(exact_exponential, 1.0, r)
    y = -jnp.log(u_exp) / rate + d
    ok = jnp.log(u_acc) <= jnp.log(y) * (a - 1.0) - y * (1.0 - r) - k
    ok = jnp.logical_or(ok, exact_exponential)
    return bound * (y / d), ok
