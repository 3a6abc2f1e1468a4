"""Pieces shared by the pure-JAX samplers: uniforms, the draw floor, the
masked rejection loop and the numerical helpers several methods need.

Every sampler works on flat arrays of lanes, one lane per element, in the
dtype of its inputs (float32 programs never need 64-bit types). A rejection
sampler is a `lax.while_loop` over rounds: in round r the next lanes of a
ring of pending ones draw fresh randomness from `fold_in(key, r)`, lanes
that accept keep their value, the others go back to the ring, and the loop
runs only while some lane is pending.
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


def while_loop(cond, body, init, *context):
    """lax.while_loop with a carry typed for shard_map: every leaf varies
    over the mesh axes of all of them and of `context` (arrays the body
    reads from outside the carry), as the body's mixing makes it."""
    return lax.while_loop(cond, body, uniform_carry(init, *context))


def fori_loop(lower, upper, body, init, *context):
    """lax.fori_loop with the carry typed as in `while_loop`."""
    return lax.fori_loop(lower, upper, body, uniform_carry(init, *context))


def draw_floor(dtype) -> float:
    """The least draw: 1e-12, in float32 the float just above it (float32's
    nearest value to 1e-12 lies below 1e-12)."""
    f = np.dtype(dtype).type(1e-12)
    if float(f) < 1e-12:
        f = np.nextafter(f, np.dtype(dtype).type(1))
    return float(f)


def _bits_to_uniform(bits, dtype):
    """Uniforms in the open interval (0, 1) from random words: the top p
    bits (p = 52 in float64, 23 in float32) as the mantissa of a float in
    [1, 2), less 1 (k 2^-p), shifted by half a step, which makes the law
    symmetric and keeps logarithms finite. Through the bit pattern rather
    than an integer conversion: x86 without AVX-512 has no vector
    instruction for uint64 -> float64, and the scalar one took a quarter
    of the uniforms' cost."""
    p = np.finfo(dtype).nmant
    width = 8 * bits.dtype.itemsize
    one = np.array(1.0, dtype).view(bits.dtype)
    mantissa = lax.shift_right_logical(bits, np.asarray(width - p, bits.dtype))
    f = lax.bitcast_convert_type(lax.bitwise_or(mantissa, one), dtype)
    return (f - 1.0) + np.finfo(dtype).eps * 0.5


def _words(key, shape, dtype):
    """Random words of the width of dtype's float (uint32 for float32, so a
    float32 program never needs 64-bit types)."""
    word = jnp.uint64 if np.dtype(dtype).itemsize == 8 else jnp.uint32
    return jax.random.bits(key, shape, word)


def uniforms(key, count, shape, dtype):
    """`count` arrays of uniforms in the open interval (0, 1), multiples of
    2^-p shifted by 2^-(p+1), as jax.random.uniform gives them plus half
    its step.

    Taken from jax.random.bits directly: jax.random.uniform adds a range
    and a clamp around the same bits, and in a rejection round these few
    operations per number were a tenth of the round."""
    return _bits_to_uniform(_words(key, (count, *shape), dtype), dtype)


def uniforms_and_normals(key, n_uniform, n_normal, shape, dtype):
    """`n_uniform` arrays of uniforms as `uniforms` gives them and
    `n_normal` arrays of standard normals, from one call of the key's
    generator. The normals come in pairs by the Box-Muller transform, the
    pairs spanning the whole batch: a log, a square root, a sine and a
    cosine for two normals cost less than half of one inversion by ndtri
    (about 11 against 22 ns a normal in float64, each with its uniform)."""
    size = math.prod(shape)
    pairs = -(-(n_normal * size) // 2)
    head = n_uniform * size
    flat = uniforms(key, 1, (head + 2 * pairs,), dtype)[0]
    u = jnp.reshape(flat[:head], (n_uniform, *shape))
    r = jnp.sqrt(-2.0 * jnp.log(flat[head : head + pairs]))
    theta = (2.0 * PI) * flat[head + pairs :]
    both = jnp.concatenate([r * jnp.cos(theta), r * jnp.sin(theta)])
    return u, jnp.reshape(both[: n_normal * size], (n_normal, *shape))


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


# The dispatch works through each method's lanes in blocks of at most this
# many (`on_lanes`): a block's set-up and state stay in the CPU's cache
# however large the batch, and a method pays for as many blocks as its own
# lanes fill, not for the whole batch.
BLOCK = 16384
# Lanes a round of a rejection loop works on (at most). The pending lanes
# wait in a ring and each round takes the next BUFFER of them, so a round
# costs the same whether one lane or all are pending. With a buffer of a
# quarter of the lanes, as before the ring, the last rejected few were
# redrawn in rounds of that size: 3.3 lane-rounds per accepted draw of the
# alternate sampler at 16,384 lanes where about 1.3 suffice.
BUFFER = 512
# The same for loops whose round runs an inner loop until its slowest lane
# is done (the alternate sampler's alternating series, the saddle point's
# Newton steps): fewer lanes make the slowest one less extreme. 128 measured
# 1.1-1.2x faster than 512 at n = 1e5 for both; 64 and 256 alike or slower.
INNER_LOOP_BUFFER = 128


def _on_cpu():
    """Whether the program is traced for the CPU (the default backend). The
    blocks and the small buffer are a CPU's economy: it runs lanes one
    vector at a time, so work saved is time saved, while a loop iteration
    costs little. An accelerator runs a round on every lane at once and
    pays for each iteration (a launch and a read-back of the condition):
    there one block and a buffer of all lanes take the fewest iterations."""
    return jax.default_backend() == "cpu"


def lanes_per_pass(n, limit):
    """How many of n lanes a loop works on at a time: at most `limit` on
    the CPU, all n elsewhere (_on_cpu says why)."""
    return min(n, limit) if _on_cpu() else n


def _pack(arrays):
    """Per-lane arrays as one (n, k) matrix per dtype (and the order to
    unpack them in): a round then gathers a lane's set-up as one row of
    contiguous values rather than one element from each of k arrays."""
    groups = {}
    for i, a in enumerate(arrays):
        groups.setdefault(a.dtype, []).append(i)
    return [(ids, jnp.stack([arrays[i] for i in ids], axis=1)) for ids in groups.values()]


def _gather_rows(packed, idx):
    out = {}
    for ids, matrix in packed:
        rows = matrix[idx]
        for j, i in enumerate(ids):
            out[i] = rows[:, j]
    return tuple(out[i] for i in range(len(out)))


def rejection_loop(key, active, params, state, round_fn, like, buffer=BUFFER):
    """Run round_fn until no lane of `active` is pending.

    round_fn(key_r, pending, params, state) -> (value, accepted, state)
    works on whatever lanes it is given: `params` (per-lane set-up) and
    `state` (per-lane memory between rounds) are tuples of arrays of one
    length. The active lanes wait in a ring of lane indices; round r takes
    the next m = min(n, buffer) of them into a buffer, gathers their set-up
    and state, scatters the accepted values back, and puts the rejected at
    the end of the ring, so that every round costs O(m) and round_fn is
    traced once. A lane's draws are independent whichever slot of which
    round it lands in. The loop stops after MAX_ROUNDS rounds beyond the
    n/m a first pass takes; lanes still pending then give NaN."""
    n = active.shape[0]
    m = lanes_per_pass(n, buffer)
    slots = jnp.arange(m, dtype=jnp.int32)
    packed = _pack(params)
    max_rounds = MAX_ROUNDS + -(-n // m)

    def cond(carry):
        r, _, _, _, waiting, _, _ = carry
        return jnp.logical_and(r < max_rounds, waiting > 0)

    def body(carry):
        r, out, ring, head, waiting, done, st = carry
        valid = slots < waiting
        idx = ring[(head + slots) % n]
        sub_params = _gather_rows(packed, idx)
        sub_state = tuple(a[idx] for a in st)
        value, acc, sub_state = round_fn(jax.random.fold_in(key, r), valid, sub_params, sub_state)
        acc = jnp.logical_and(acc, valid)
        rej = jnp.logical_and(valid, jnp.logical_not(acc))
        out = out.at[jnp.where(acc, idx, n)].set(value, mode="drop")
        done = done.at[jnp.where(acc, idx, n)].set(True, mode="drop")
        back = jnp.where(valid, idx, n)
        st = tuple(a.at[back].set(b, mode="drop") for a, b in zip(st, sub_state, strict=True))
        # The rejected join the end of the ring in slot order. The ring never
        # holds more than n lanes, so they only overwrite lanes already taken.
        rank = jnp.cumsum(rej, dtype=jnp.int32) - 1
        tail = (head + waiting) % n
        ring = ring.at[jnp.where(rej, (tail + rank) % n, n)].set(idx, mode="drop")
        take = jnp.minimum(waiting, m)
        waiting = waiting - take + jnp.sum(rej, dtype=jnp.int32)
        return r + 1, out, ring, (head + take) % n, waiting, done, st

    init = (
        jnp.int32(0),
        jnp.zeros_like(like),
        jnp.nonzero(active, size=n, fill_value=0)[0].astype(jnp.int32),
        jnp.int32(0),
        jnp.sum(active, dtype=jnp.int32),
        jnp.logical_not(active),
        state,
    )
    _, out, _, _, _, done, _ = while_loop(cond, body, init)
    return jnp.where(done, out, jnp.nan)


# Lanes a set-up works on at a time (`shared_setup`).
SETUP_CHUNK = 512


def shared_setup(setup, active, *args):
    """setup(*args) for every lane, or once when every active lane has the
    same arguments (the usual case: a model's h and z broadcast over the
    draws), broadcast to all lanes.

    A set-up with Newton solves or an incomplete gamma function costs a few
    hundred ns a lane, a large part of a draw; checking the lanes costs a
    compare per argument. The check runs on the values, not the shapes:
    by the time the arguments reach a method they are gathered arrays of
    one length whatever the caller passed.

    setup is traced once, for a chunk of SETUP_CHUNK lanes, and a loop runs
    it over the chunks (one chunk of the first active lane's arguments when
    they are shared): tracing it for one lane and for all of them, the two
    branches of a cond, made the first call 3 s longer. The chunks also
    keep a set-up's inner loops (Newton, continued fractions) to the
    slowest lane of a chunk rather than of the whole block. setup must work
    elementwise on arrays of any one length."""
    n = active.shape[0]
    size = lanes_per_pass(n, SETUP_CHUNK)
    first = jnp.argmax(active)
    heads = tuple(lax.dynamic_slice_in_dim(a, first, 1) for a in args)
    same = jnp.all(
        jnp.stack(
            [
                jnp.all((a == a0) | jnp.logical_not(active))
                for a, a0 in zip(args, heads, strict=True)
            ]
        )
    )
    chunks = jnp.where(same, 1, -(-n // size))
    like = jax.eval_shape(setup, *(jax.ShapeDtypeStruct((size,), a.dtype) for a in args))

    def cond(carry):
        j, _ = carry
        return j < chunks

    def body(carry):
        j, outs = carry
        # The last chunk may overlap the one before it (its start is clamped
        # to n - size), which only computes some lanes twice.
        start = jnp.minimum(j * size, n - size)
        part = tuple(
            jnp.where(same, jnp.broadcast_to(a0, (size,)), lax.dynamic_slice_in_dim(a, start, size))
            for a, a0 in zip(args, heads, strict=True)
        )
        values = setup(*part)
        outs = tuple(
            lax.dynamic_update_slice_in_dim(o, v, start, 0)
            for o, v in zip(outs, values, strict=True)
        )
        return j + 1, outs

    # The buffers start as constants and take the set-up's values, computed
    # from the arguments.
    init = tuple(jnp.zeros((n,), v.dtype) for v in like)
    _, outs = while_loop(cond, body, (jnp.int32(0), init), *args)
    return tuple(jnp.where(same, o[0], o) for o in outs)


def in_chunks(fn, ask, args, chunk, fill):
    """fn(*args) on the lanes of `ask` only, `fill` elsewhere: the lanes
    are gathered `chunk` at a time, for as many passes as they fill, so that
    a costly per-lane function that few lanes of a block need costs those
    lanes, not the block. fn works elementwise on arrays of `chunk` lanes."""
    n = ask.shape[0]

    def cond(carry):
        left, _ = carry
        return jnp.any(left)

    def body(carry):
        left, out = carry
        (idx,) = jnp.nonzero(left, size=chunk, fill_value=n)
        valid = idx < n
        at = jnp.where(valid, idx, 0)
        values = fn(*(a[at] for a in args))
        drop = jnp.where(valid, idx, n)
        return left.at[drop].set(False, mode="drop"), out.at[drop].set(values, mode="drop")

    _, out = while_loop(cond, body, (ask, jnp.full_like(args[0], fill)))
    return out


def on_lanes(key, mask, fn, args, like):
    """fn on the lanes of `mask` only, zeros elsewhere.

    fn(key_b, active, *block_args) -> values takes a block of lanes and
    draws on its `active` ones. The lanes of `mask` are gathered to the
    front in order and worked through in blocks of at most BLOCK, as many
    as they fill (block b draws from fold_in(key, b)); the values are
    scattered back. A block's inactive lanes hold copies of some lane's
    arguments (the callers pass arguments that are valid for fn on every
    lane)."""
    n = mask.shape[0]
    size = lanes_per_pass(n, BLOCK)
    count = jnp.sum(mask, dtype=jnp.int32)
    idx = jnp.nonzero(mask, size=n, fill_value=0)[0].astype(jnp.int32)
    slots = jnp.arange(size, dtype=jnp.int32)
    if n <= size:
        active = slots < count
        values = fn(key, active, *(a[idx] for a in args))
        return jnp.zeros_like(like).at[jnp.where(active, idx, n)].set(values, mode="drop")
    blocks = -(-n // size)
    if blocks * size > n:
        idx = jnp.concatenate([idx, jnp.zeros(blocks * size - n, idx.dtype)])
    gathered = tuple(a[idx] for a in args)

    def cond(carry):
        b, _ = carry
        return b * size < count

    def body(carry):
        b, out = carry
        start = b * size
        active = start + slots < count
        part = tuple(lax.dynamic_slice_in_dim(a, start, size) for a in gathered)
        values = fn(jax.random.fold_in(key, b), active, *part)
        lanes = jnp.where(active, lax.dynamic_slice_in_dim(idx, start, size), n)
        return b + 1, out.at[lanes].set(values, mode="drop")

    _, out = while_loop(cond, body, (jnp.int32(0), jnp.zeros_like(like)))
    return out


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
