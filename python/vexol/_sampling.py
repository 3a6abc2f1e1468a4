"""The public sampling functions and their JAX transformation rules.

Every draw goes through one of two custom calls. The flat handler fills a
whole array from one 64-bit seed. The batched handler fills the rows of an
array (its first dimension) each from a seed of its own, and it mixes the
row index into every row seed: row r is seeded with
``seed[r] ^ ((r + 1) * ROW_SEED_MULTIPLIER)``. Both produce the same stream
for the same seed, so passing ``seed_r ^ ((r + 1) * ROW_SEED_MULTIPLIER)``
for row r makes that row's draws equal to a flat call seeded with
``seed_r``. The vmap rules below rely on that identity: a vmapped call is
one batched custom call whose rows are bit for bit the unbatched calls.
"""

from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Any

import jax
import jax.numpy as jnp
import numpy as np
from jax import lax
from jax.custom_batching import custom_vmap

from vexol._registration import BATCHED_TARGET, FLAT_TARGET, ensure_registered

ROW_SEED_MULTIPLIER = 0x9E3779B97F4A7C15
_MASK64 = (1 << 64) - 1

ArrayLike = Any  # jax.typing.ArrayLike plus Python scalars; kept loose on purpose
Shape = Sequence[int]


# --------------------------------------------------------------------------
# Custom calls
# --------------------------------------------------------------------------


def _flat_custom_call(h: jax.Array, z: jax.Array, seed: jax.Array) -> jax.Array:
    if h.size == 0:
        return jnp.zeros(h.shape, jnp.float64)
    call = jax.ffi.ffi_call(FLAT_TARGET, jax.ShapeDtypeStruct(h.shape, jnp.float64))
    return call(h, z, jnp.reshape(seed, (1,)))


def _row_seed_buffer(seeds: jax.Array) -> jax.Array:
    """The seed buffer that makes batched row r equal a flat call seeded with
    seeds[r]: the handler XORs the same row term back out."""
    rows = seeds.shape[0]
    row_term = (jnp.arange(1, rows + 1, dtype=jnp.uint64)) * jnp.uint64(ROW_SEED_MULTIPLIER)
    unsigned = lax.bitcast_convert_type(seeds, jnp.uint64) ^ row_term
    return lax.bitcast_convert_type(unsigned, jnp.int64)


def _batched_custom_call(h: jax.Array, z: jax.Array, seeds: jax.Array) -> jax.Array:
    if h.size == 0:
        return jnp.zeros(h.shape, jnp.float64)
    rows = h.shape[0]
    # The handler needs at least two dimensions; rows of scalars become rows
    # of one element. Reshaping keeps the memory order the draws follow.
    h2 = jnp.reshape(h, (rows, -1))
    z2 = jnp.reshape(z, (rows, -1))
    call = jax.ffi.ffi_call(BATCHED_TARGET, jax.ShapeDtypeStruct(h2.shape, jnp.float64))
    return jnp.reshape(call(h2, z2, _row_seed_buffer(seeds)), h.shape)


def _lead(x: jax.Array, batched: bool, size: int) -> jax.Array:
    """Give an operand the leading batch axis, copying unbatched ones."""
    return x if batched else jnp.broadcast_to(x[None], (size, *x.shape))


@custom_vmap
def _rows(h: jax.Array, z: jax.Array, seeds: jax.Array) -> jax.Array:
    """Row r of the result is the flat stream of h[r], z[r] under seeds[r]."""
    return _batched_custom_call(h, z, seeds)


@_rows.def_vmap
def _rows_vmap(axis_size, in_batched, h, z, seeds):
    # A vmap over rows-of-rows (nested vmap) folds the new axis into the row
    # axis, so any depth of nesting stays one batched custom call.
    h, z, seeds = (_lead(x, b, axis_size) for x, b in zip((h, z, seeds), in_batched, strict=True))
    outer, rows = h.shape[:2]
    folded = _rows(
        jnp.reshape(h, (outer * rows, *h.shape[2:])),
        jnp.reshape(z, (outer * rows, *z.shape[2:])),
        jnp.reshape(seeds, (outer * rows,)),
    )
    return jnp.reshape(folded, h.shape), True


@custom_vmap
def _flat(h: jax.Array, z: jax.Array, seed: jax.Array) -> jax.Array:
    return _flat_custom_call(h, z, seed)


@_flat.def_vmap
def _flat_vmap(axis_size, in_batched, h, z, seed):
    # One row per mapped element, each with the seed that element would have
    # used alone: a vmapped key gives every row its own seed; a shared key
    # gives every row the same seed, as a Python loop with that key would.
    h, z, seed = (_lead(x, b, axis_size) for x, b in zip((h, z, seed), in_batched, strict=True))
    return _rows(h, z, seed), True


_NOT_DIFFERENTIABLE = (
    "vexol.polya_gamma and vexol.sample are not differentiable: Pólya-Gamma "
    "draws have no derivative with respect to h or z. Wrap the inputs in "
    "jax.lax.stop_gradient if the draws are used inside a differentiated "
    "function (as in a Gibbs step)."
)


@jax.custom_jvp
def _draw(h: jax.Array, z: jax.Array, seed: jax.Array) -> jax.Array:
    return _flat(h, z, seed)


@_draw.defjvp
def _draw_jvp(primals, tangents):
    raise TypeError(_NOT_DIFFERENTIABLE)


# --------------------------------------------------------------------------
# Argument checks: all of them run in Python, before anything is traced
# into a custom call.
# --------------------------------------------------------------------------


def _require_x64(function: str) -> None:
    if jax.dtypes.canonicalize_dtype(np.float64) != np.float64:
        raise RuntimeError(
            f"vexol.{function} needs 64-bit JAX types, which are disabled. Enable them "
            'at start-up with jax.config.update("jax_enable_x64", True) or the '
            "environment variable JAX_ENABLE_X64=1."
        )


def _floating(x: ArrayLike, name: str, function: str) -> jax.Array:
    if isinstance(x, (bool, np.bool_)):
        raise TypeError(f"vexol.{function}: {name} must be floating point, got a bool")
    if isinstance(x, (int, float)):
        return jnp.asarray(float(x), jnp.float64)
    dtype = x.dtype if hasattr(x, "dtype") else np.asarray(x).dtype
    if not jnp.issubdtype(dtype, jnp.floating):
        raise TypeError(
            f"vexol.{function}: {name} must have a floating-point dtype, got {dtype}; "
            f"convert it first, e.g. {name}.astype(jnp.float64)"
        )
    return jnp.asarray(x, jnp.float64)


def _output_shape(h: jax.Array, z: jax.Array, shape: Shape | None, function: str):
    try:
        params = np.broadcast_shapes(h.shape, z.shape)
    except ValueError:
        raise ValueError(
            f"vexol.{function}: h with shape {h.shape} and z with shape {z.shape} "
            "do not broadcast against each other"
        ) from None
    if shape is None:
        return params
    try:
        shape = tuple(operator.index(d) for d in shape)
    except TypeError:
        raise TypeError(
            f"vexol.{function}: shape must be a sequence of integers, got {shape!r}"
        ) from None
    try:
        ok = np.broadcast_shapes(params, shape) == shape
    except ValueError:
        ok = False
    if not ok:
        raise ValueError(
            f"vexol.{function}: h and z broadcast to shape {params}, which does not "
            f"broadcast to the requested shape {shape}"
        )
    return shape


def _typed_key(key: Any) -> jax.Array:
    dtype = getattr(key, "dtype", None)
    if dtype is not None and jax.dtypes.issubdtype(dtype, jax.dtypes.prng_key):
        if key.shape != ():
            raise ValueError(
                f"vexol.polya_gamma: key must be a single PRNG key, got an array of keys "
                f"with shape {key.shape}; use jax.vmap over the keys instead"
            )
        return key
    if dtype is not None and dtype == np.uint32:
        try:
            return jax.random.wrap_key_data(key)
        except (TypeError, ValueError):
            pass
        raise ValueError(
            "vexol.polya_gamma: key must be a single PRNG key; a raw uint32 key must "
            f"have the default implementation's key shape, got shape {key.shape}"
        )
    raise TypeError(
        "vexol.polya_gamma: key must be a JAX PRNG key from jax.random.key (or a "
        f"raw uint32 key from jax.random.PRNGKey), got {type(key).__name__}"
        + (f" with dtype {dtype}" if dtype is not None else "")
    )


def _seed_array(seed: Any) -> jax.Array:
    if isinstance(seed, (bool, np.bool_)):
        raise TypeError("vexol.sample: seed must be an integer, got a bool")
    if isinstance(seed, int):
        if not -(1 << 63) <= seed <= _MASK64:
            raise ValueError("vexol.sample: seed must fit in 64 bits")
        value = seed & _MASK64
        return jnp.asarray(value - (1 << 64) if value >= 1 << 63 else value, jnp.int64)
    dtype = getattr(seed, "dtype", None)
    if dtype is None or not jnp.issubdtype(dtype, jnp.integer):
        raise TypeError(f"vexol.sample: seed must be an integer, got {seed!r}")
    if np.shape(seed) != ():
        raise ValueError(
            f"vexol.sample: seed must be a scalar, got shape {np.shape(seed)}; "
            "use jax.vmap to draw with several seeds"
        )
    seed = jnp.asarray(seed)
    if seed.dtype == jnp.uint64:
        return lax.bitcast_convert_type(seed, jnp.int64)
    return seed.astype(jnp.int64)


def seed_from_key(key: Any) -> jax.Array:
    """The 64-bit seed (as int64) that :func:`polya_gamma` derives from a key.

    The seed is 64 random bits drawn from the key with ``jax.random.bits``,
    so ``polya_gamma(key, h, z)`` equals ``sample(h, z, seed_from_key(key))``.
    """
    _require_x64("seed_from_key")
    return _key_seed(_typed_key(key))


def _key_seed(key: jax.Array) -> jax.Array:
    # Drawing the bits (rather than reading the key's data) works for every
    # key implementation and gives well-mixed seeds even for keys such as
    # jax.random.key(0) and key(1), whose data differ in one bit. It is a
    # per-key computation, so under vmap each key gets exactly its own seed.
    return lax.bitcast_convert_type(jax.random.bits(key, (), jnp.uint64), jnp.int64)


# --------------------------------------------------------------------------
# Public API
# --------------------------------------------------------------------------


def polya_gamma(key: Any, h: ArrayLike, z: ArrayLike, shape: Shape | None = None) -> jax.Array:
    """Draw Pólya-Gamma PG(h, z) variates.

    Args:
      key: a JAX PRNG key, typed (``jax.random.key``) or raw uint32
        (``jax.random.PRNGKey``). A single key; map over many with ``jax.vmap``.
      h: the shapes, a float array or Python number.
      z: the tilts, a float array or Python number. Broadcast against ``h``.
      shape: optional output shape; ``h`` and ``z`` must broadcast to it.

    Returns:
      A float64 array of the broadcast shape (or ``shape``), one draw of
      PG(h[i], z[i]) per element.

    The 64-bit seed is derived from ``key`` inside the traced computation,
    so this works under ``jax.jit`` without a host round trip. The same key
    and inputs give the same draws bit for bit, whatever ``VEXOL_NUM_THREADS``.

    Transformations:
      * ``jax.vmap`` over keys: one batched custom call, and
        ``vmap(f)(keys)[i] == f(keys[i])`` bit for bit.
      * ``jax.vmap`` over ``h`` or ``z`` with one key: the same as a Python
        loop calling ``f`` with that key for each element.
      * ``jax.shard_map``: each shard draws from the key it is given.
      * Differentiation raises ``TypeError``; the draws have no gradient.

    Values are not checked. Draws below 1e-12 are returned as 1e-12. A NaN in
    ``h`` or ``z`` gives NaN. ``h == 0`` gives 1e-12 (PG(0, z) is the point
    mass at 0). ``h < 0`` is outside the distribution's domain: the draw is 1e-12 or NaN
    depending on the value. An infinite ``z`` gives 1e-12. The sign of ``z``
    does not matter.

    Raises:
      RuntimeError: 64-bit types are disabled (``jax_enable_x64``).
      TypeError: ``key`` is not a PRNG key, ``h`` or ``z`` is not floating
        point, or the function is differentiated.
      ValueError: ``h``, ``z`` and ``shape`` do not broadcast, or ``key`` holds
        several keys.
    """
    _require_x64("polya_gamma")
    key = _typed_key(key)
    h = _floating(h, "h", "polya_gamma")
    z = _floating(z, "z", "polya_gamma")
    out_shape = _output_shape(h, z, shape, "polya_gamma")
    ensure_registered()
    seed = _key_seed(key)
    return _draw(jnp.broadcast_to(h, out_shape), jnp.broadcast_to(z, out_shape), seed)


def sample(h: ArrayLike, z: ArrayLike, seed: int | jax.Array) -> jax.Array:
    """Draw PG(h, z) variates from the module's stream for an explicit seed.

    This is the flat custom call itself: ``seed`` is the 64-bit seed of the
    whole range, so the draws are exactly those of the C++ module for that
    seed and the row-major element order of the broadcast ``h`` and ``z``.

    Args:
      h: the shapes, a float array or Python number.
      z: the tilts, a float array or Python number. Broadcast against ``h``.
      seed: a Python int in [-2**63, 2**64) or an integer scalar array; it is
        taken modulo 2**64 (an int64 -1 and the uint64 2**64 - 1 are the same
        seed).

    Under ``jax.vmap`` over ``seed`` every mapped element gets its own seed
    and the result equals a loop over the seeds, bit for bit. The value
    rules, the other transformation rules and the errors are those of
    :func:`polya_gamma`.
    """
    _require_x64("sample")
    h = _floating(h, "h", "sample")
    z = _floating(z, "z", "sample")
    out_shape = _output_shape(h, z, None, "sample")
    seed = _seed_array(seed)
    ensure_registered()
    return _draw(jnp.broadcast_to(h, out_shape), jnp.broadcast_to(z, out_shape), seed)


__all__ = ["ROW_SEED_MULTIPLIER", "polya_gamma", "sample", "seed_from_key"]
