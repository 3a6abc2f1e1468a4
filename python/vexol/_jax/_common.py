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
from jax.scipy.special import gammaln

from vexol._varying import uniform_carry

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
MAX_ROUNDS = 20000
# The same bound for the terms of an alternating series.
MAX_TERMS = 2000


def while_loop(cond, body, init):
    """lax.while_loop with a carry typed for shard_map: every leaf varies
    over the mesh axes of all of them, as the body's mixing makes it."""
    return lax.while_loop(cond, body, uniform_carry(init))


def fori_loop(lower, upper, body, init):
    """lax.fori_loop with the carry typed as in `while_loop`."""
    return lax.fori_loop(lower, upper, body, uniform_carry(init))


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


# Lanes are worked through in blocks of at most this many: a block's buffers and
# per-lane set-up stay in the CPU's cache however large the batch (at 10^6
# lanes one buffer of n/4 took 2.2 to 2.4 times as long per draw as blocks).
BLOCK = 16384
# The key of block b is fold_in(fold_in(key, BLOCK_TAG), b); round r of an
# unblocked loop uses fold_in(key, r) with r < MAX_ROUNDS, and callers may
# use fold_in(key, MAX_ROUNDS + 1), so no two uses meet.
BLOCK_TAG = MAX_ROUNDS + 2


def rejection_loop(key, active, params, state, round_fn, like):
    """Run round_fn until no lane of `active` is pending, in blocks of
    BLOCK lanes (one after the other), each by `_rejection_rounds`.
    Returns the values, NaN for lanes still pending after MAX_ROUNDS rounds."""
    n = active.shape[0]
    if n <= BLOCK:
        return _rejection_rounds(key, active, params, state, round_fn, like)
    blocks = -(-n // BLOCK)
    size = -(-n // blocks)  # as even as the blocks can be, for the least padding
    pad = blocks * size - n

    def split(a, fill):
        # Padding lanes copy lane 0's set-up (so their arithmetic stays
        # ordinary) and are never active.
        filler = jnp.broadcast_to(a[:1] if fill is None else fill, (pad, *a.shape[1:]))
        return jnp.concatenate([a, filler.astype(a.dtype)]).reshape(blocks, size, *a.shape[1:])

    xs = (
        jnp.arange(blocks),
        split(active, jnp.zeros((), bool)),
        tuple(split(a, None) for a in params),
        tuple(split(a, None) for a in state),
        split(like, None),
    )
    block_key = jax.random.fold_in(key, BLOCK_TAG)

    def one_block(x):
        b, act, par, st, lk = x
        return _rejection_rounds(jax.random.fold_in(block_key, b), act, par, st, round_fn, lk)

    return lax.map(one_block, xs).reshape(-1)[:n]


def _rejection_rounds(key, active, params, state, round_fn, like):
    """Run round_fn until no lane of `active` is pending.

    round_fn(key_r, pending, params, state) -> (value, accepted, state)
    works on whatever lanes it is given: `params` (per-lane set-up) and
    `state` (per-lane memory between rounds) are tuples of arrays of one
    length. Each round takes the first m pending lanes (m = n/4, at least
    256) into a buffer, gathers their set-up and state, and scatters the
    results back: the first rounds work through every lane, the later ones
    only through the rejected few, and round_fn is traced once. A lane's
    draws are independent whichever slot of which round it lands in.
    Returns the values, NaN for lanes still pending after MAX_ROUNDS rounds."""
    n = active.shape[0]
    m = min(n, max(256, n // 4))
    slots = jnp.arange(m)

    def cond(carry):
        r, _, pend, _ = carry
        return jnp.logical_and(r < MAX_ROUNDS, jnp.any(pend))

    def body(carry):
        r, out, pend, st = carry
        if m == n:
            idx, valid = slots, pend
            sub_params, sub_state = params, st
        else:
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

    init = (jnp.int32(0), jnp.zeros_like(like), active, state)
    _, out, pending, _ = while_loop(cond, body, init)
    return jnp.where(pending, jnp.nan, out)


def log_upper_gamma(a, x):
    """ln Gamma(a, x), the non-regularized upper incomplete gamma function,
    without underflow, for a >= 1 and x > 0: for x > a + 1 by its continued
    fraction (modified Lentz), elsewhere as Gamma(a) - gamma(a, x) with the
    lower function's power series, which converges fast there and leaves
    Gamma(a, x) no smaller than about a third of Gamma(a)."""
    big = x > a + 1.0
    xs = jnp.where(big, x, a + 2.0)
    xl = jnp.where(big, a, x)
    tiny = np.finfo(x.dtype).tiny / np.finfo(x.dtype).eps

    eps = np.finfo(x.dtype).eps

    def cond(carry):
        i, _, _, _, _, _, _, done = carry
        return jnp.logical_and(i < 100, jnp.logical_not(jnp.all(done)))

    def body(carry):
        i, b, c, d, f, term, total, _ = carry
        # Continued fraction: Gamma(a, x) = e^-x x^a / (x + 1 - a - 1(1 - a)/(x + 3 - a - ...)).
        fi = i.astype(x.dtype)
        an = -fi * (fi - a)
        b = b + 2.0
        d = an * d + b
        d = jnp.where(jnp.abs(d) < tiny, tiny, d)
        c = b + an / c
        c = jnp.where(jnp.abs(c) < tiny, tiny, c)
        d = 1.0 / d
        delta = d * c
        # Series: gamma(a, x) = e^-x x^a sum_n x^n / (a (a + 1) ... (a + n)).
        term = term * xl / (a + fi)
        total = total + term
        # A lane is done once the term its branch uses no longer changes
        # the result in the working precision; the loop stops when every
        # lane is (a few steps for most arguments, at most 99).
        done = jnp.where(big, jnp.abs(delta - 1.0) <= eps, term <= total * eps)
        return i + 1, b, c, d, f * delta, term, total, done

    b0 = xs + 1.0 - a
    t0 = 1.0 / a
    init = (
        jnp.int32(1),
        b0,
        jnp.full_like(xs, 1.0 / tiny),
        1.0 / b0,
        1.0 / b0,
        t0,
        t0,
        jnp.zeros(xs.shape, bool),
    )
    _, _, _, _, f, _, total, _ = while_loop(cond, body, init)
    log_cf = -xs + a * jnp.log(xs) + jnp.log(f)
    lower = jnp.exp(-xl + a * jnp.log(xl) + jnp.log(total) - gammaln(a))
    log_q = jnp.log1p(-jnp.minimum(lower, 1.0)) + gammaln(a)
    return jnp.where(big, log_cf, log_q)


def gamma_variates(key, shape_param, like):
    """Gamma(shape, 1) variates, one per lane of `shape_param` (any shape > 0),
    by Marsaglia and Tsang's method: for shape a < 1 a Gamma(a + 1) variate
    times U^(1/a). Two tries per round of the masked rejection loop."""
    a = shape_param
    boost = a < 1.0
    d = jnp.where(boost, a + 1.0, a) - 1.0 / 3.0
    c = 1.0 / jnp.sqrt(9.0 * d)

    def round_fn(k, pending, params, state):
        d, c = params
        kn, ku = jax.random.split(k)
        x = normals(kn, 2, d.shape, d.dtype)
        u = uniforms(ku, 2, d.shape, d.dtype)
        v = 1.0 + c * x
        v3 = v * v * v
        ok = (v > 0) & (
            jnp.log(u) < 0.5 * x * x + d - d * v3 + d * jnp.log(jnp.where(v > 0, v3, 1.0))
        )
        value, ok = first_valid(d * v3, ok)
        return value, ok, state

    active = jnp.ones(a.shape, bool)
    g = rejection_loop(key, active, (d, c), (), round_fn, like)
    k_boost = jax.random.fold_in(key, MAX_ROUNDS + 1)
    u = uniforms(k_boost, 1, a.shape, a.dtype)[0]
    # In logs: U^(1/a) underflows to 0 for tiny a, as the draw should.
    boosted = g * jnp.exp(jnp.log(u) / jnp.where(boost, a, 1.0))
    return jnp.where(boost, boosted, g)


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
