"""The custom calls themselves, one function per handler.

Seeds travel as (high, low) pairs of uint32 words in every precision, so
that a program without 64-bit types can carry them: the float32 handlers
take the words as they are; the float64 ones take the 64-bit value
``high << 32 | low`` as an int64, which x64 programs can always build.

The batched and shared handlers mix the row index into every row seed:
row r is seeded with ``seed[r] ^ ((r + 1) * ROW_SEED_MULTIPLIER)``. Passing
``seed_r ^ ((r + 1) * ROW_SEED_MULTIPLIER)`` for row r makes that row's
draws equal to a flat call seeded with ``seed_r``; the row terms depend only
on the (static) row count, so they are constants computed here in NumPy.

Every call takes ``method``, a code of METHOD_CODES: 0 is the default
dispatch through the original targets, exactly as before; 1 (saddle point
from h = 8 on) and 2 (exact draws throughout) go to the targets on request,
which carry the code as their int32 attribute ``method`` and follow the
same seeding, chunking and float32 rules.
"""

from __future__ import annotations

import jax
import jax.numpy as jnp
import numpy as np
from jax import lax

from vexol._registration import (
    BATCHED_F32_TARGET,
    BATCHED_TARGET,
    FLAT_F32_TARGET,
    FLAT_TARGET,
    METHOD_BATCHED_F32_TARGET,
    METHOD_BATCHED_TARGET,
    METHOD_FLAT_F32_TARGET,
    METHOD_FLAT_TARGET,
    METHOD_SHARED_F32_TARGET,
    METHOD_SHARED_TARGET,
    SHARED_F32_TARGET,
    SHARED_TARGET,
)

ROW_SEED_MULTIPLIER = 0x9E3779B97F4A7C15
# Method names -> the codes the handlers on request take. None is the
# default dispatch (approximations for h < 1 and h >= 8), "saddle" the
# saddle-point approximation for every h >= 8 (up to 1e12), "exact" exact
# draws for every h.
METHOD_CODES = {None: 0, "saddle": 1, "exact": 2}
_MASK64 = (1 << 64) - 1


def _row_terms(rows: int) -> np.ndarray:
    """(rows, 2) uint32: the high and low words of (r + 1) * multiplier."""
    terms = [((r + 1) * ROW_SEED_MULTIPLIER) & _MASK64 for r in range(rows)]
    return np.array([[t >> 32, t & 0xFFFFFFFF] for t in terms], dtype=np.uint32).reshape(rows, 2)


def _unmix_rows(words: jax.Array) -> jax.Array:
    """The seed words that make row r of a batched call equal a flat call
    seeded with words[r]: the handler XORs the same row term back out."""
    return words ^ jnp.asarray(_row_terms(words.shape[0]))


def _as_s64(words: jax.Array) -> jax.Array:
    """(..., 2) uint32 words -> (...) int64 with the same 64 bits (x64 only)."""
    high = words[..., 0].astype(jnp.uint64) << jnp.uint64(32)
    return lax.bitcast_convert_type(high | words[..., 1].astype(jnp.uint64), jnp.int64)


def _targets(dtype, method: int = 0) -> tuple[str, str, str]:
    if method not in METHOD_CODES.values():
        raise ValueError(f"vexol: unknown method code {method!r}; expected one of 0, 1, 2")
    if method != 0:
        if dtype == jnp.float32:
            return METHOD_FLAT_F32_TARGET, METHOD_BATCHED_F32_TARGET, METHOD_SHARED_F32_TARGET
        return METHOD_FLAT_TARGET, METHOD_BATCHED_TARGET, METHOD_SHARED_TARGET
    if dtype == jnp.float32:
        return FLAT_F32_TARGET, BATCHED_F32_TARGET, SHARED_F32_TARGET
    return FLAT_TARGET, BATCHED_TARGET, SHARED_TARGET


def _ffi(target: str, result: jax.ShapeDtypeStruct, method: int):
    """The custom call, with the method attribute for the targets on request."""
    call = jax.ffi.ffi_call(target, result)
    if method == 0:
        return call
    return lambda *operands: call(*operands, method=np.int32(method))


def _seed_operand(words: jax.Array, dtype) -> jax.Array:
    # float32 calls take the words as they are, (rows, 2) or (2,).
    return words if dtype == jnp.float32 else _as_s64(words)


def flat_call(h: jax.Array, z: jax.Array, words: jax.Array, method: int = 0) -> jax.Array:
    """All of h and z as one range drawn from one seed, given as (2,) words."""
    target = _targets(h.dtype, method)[0]
    if h.size == 0:
        return jnp.zeros(h.shape, h.dtype)
    call = _ffi(target, jax.ShapeDtypeStruct(h.shape, h.dtype), method)
    return call(h, z, jnp.reshape(_seed_operand(words, h.dtype), (-1,)))


def batched_call(h: jax.Array, z: jax.Array, words: jax.Array, method: int = 0) -> jax.Array:
    """Row r of the result is the flat stream of h[r], z[r] under words[r]."""
    target = _targets(h.dtype, method)[1]
    if h.size == 0:
        return jnp.zeros(h.shape, h.dtype)
    rows = h.shape[0]
    # The handler needs at least two dimensions; rows of scalars become rows
    # of one element. Reshaping keeps the memory order the draws follow.
    h2 = jnp.reshape(h, (rows, -1))
    z2 = jnp.reshape(z, (rows, -1))
    call = _ffi(target, jax.ShapeDtypeStruct(h2.shape, h.dtype), method)
    seeds = _seed_operand(_unmix_rows(words), h.dtype)
    return jnp.reshape(call(h2, z2, seeds), h.shape)


def shared_call(h: jax.Array, z: jax.Array, words: jax.Array, method: int = 0) -> jax.Array:
    """Row r of the result is the flat stream of h, z under words[r]: the
    batched rows of h and z repeated, without a copy of them per row."""
    target = _targets(h.dtype, method)[2]
    rows = words.shape[0]
    shape = (rows, *h.shape)
    if h.size == 0 or rows == 0:
        return jnp.zeros(shape, h.dtype)
    call = _ffi(target, jax.ShapeDtypeStruct(shape, h.dtype), method)
    return call(h, z, _seed_operand(_unmix_rows(words), h.dtype))
