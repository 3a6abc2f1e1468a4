"""The public sampling functions and their JAX transformation rules.

Every draw goes through one of the custom calls of vexol._calls, with the
seed as a (high, low) pair of uint32 words. The vmap rules below turn a
mapped call into one batched custom call whose rows are bit for bit the
unmapped calls: a vmap over keys (or seeds) with shared h and z becomes the
shared-input call, which reads h and z once for every row; anything else
becomes the batched call with one row per mapped element.
"""

from __future__ import annotations

import functools
import operator
from collections.abc import Sequence
from typing import Any

import jax
import jax.numpy as jnp
import numpy as np
from jax import lax
from jax.custom_batching import custom_vmap
from jax.extend import core as jax_core
from jax.interpreters import batching, mlir

from vexol._calls import (
    METHOD_CODES,
    ROW_SEED_MULTIPLIER,
    _as_s64,
    batched_call,
    flat_call,
    shared_call,
)
from vexol._registration import ensure_registered
from vexol._varying import vary_like

_MASK64 = (1 << 64) - 1

ArrayLike = Any  # jax.typing.ArrayLike plus Python scalars; kept loose on purpose
Shape = Sequence[int] | int


# --------------------------------------------------------------------------
# Transformation rules of the native (C++) path
# --------------------------------------------------------------------------


def _lead(x: jax.Array, batched: bool, size: int) -> jax.Array:
    """Give an operand the leading batch axis, copying unbatched ones."""
    return x if batched else jnp.broadcast_to(x[None], (size, *x.shape))


def _fold(x: jax.Array) -> jax.Array:
    """Merge the two leading axes."""
    return jnp.reshape(x, (x.shape[0] * x.shape[1], *x.shape[2:]))


def _calls_for(method: int):
    """The three custom calls of one method, with its code bound."""
    if method == 0:
        # Today's handlers, exactly: the default stream never depends on
        # the method machinery.
        return flat_call, batched_call, shared_call
    return (
        functools.partial(flat_call, method=method),
        functools.partial(batched_call, method=method),
        functools.partial(shared_call, method=method),
    )


@functools.cache
def _native(method: int):
    """The draw function of the custom calls for one method code: flat for
    one key, batched or shared under vmap (see the module docstring)."""
    flat, batched, shared = _calls_for(method)

    @custom_vmap
    def rows(h, z, words):
        # Row r of the result is the flat stream of h[r], z[r] under words[r].
        return batched(h, z, words)

    @rows.def_vmap
    def rows_vmap(axis_size, in_batched, h, z, words):
        # A vmap over rows-of-rows (nested vmap) folds the new axis into the
        # row axis, so any depth of nesting stays one batched custom call.
        h, z, words = (
            _lead(x, b, axis_size) for x, b in zip((h, z, words), in_batched, strict=True)
        )
        return jnp.reshape(rows(_fold(h), _fold(z), _fold(words)), h.shape), True

    @custom_vmap
    def shared_rows(h, z, words):
        # Row r of the result is the flat stream of h, z under words[r].
        return shared(h, z, words)

    @shared_rows.def_vmap
    def shared_vmap(axis_size, in_batched, h, z, words):
        h_batched, z_batched, words_batched = in_batched
        if not (h_batched or z_batched):
            # Still shared: more rows, the same inputs.
            words = _lead(words, words_batched, axis_size)
            out = shared_rows(h, z, _fold(words))
            return jnp.reshape(out, (axis_size, words.shape[1], *h.shape)), True
        # Inputs that differ between mapped elements need rows of their own.
        count = words.shape[1] if words_batched else words.shape[0]
        h = _lead(h, h_batched, axis_size)
        z = _lead(z, z_batched, axis_size)
        h = jnp.broadcast_to(h[:, None], (axis_size, count, *h.shape[1:]))
        z = jnp.broadcast_to(z[:, None], (axis_size, count, *z.shape[1:]))
        words = _lead(words, words_batched, axis_size)
        return jnp.reshape(rows(_fold(h), _fold(z), _fold(words)), h.shape), True

    @custom_vmap
    def one(h, z, words):
        return flat(h, z, words)

    @one.def_vmap
    def one_vmap(axis_size, in_batched, h, z, words):
        # One row per mapped element, each with the seed that element would
        # have used alone: a vmapped key gives every row its own seed; a
        # shared key gives every row the same seed, as a Python loop with
        # that key would.
        h_batched, z_batched, words_batched = in_batched
        words = _lead(words, words_batched, axis_size)
        if not (h_batched or z_batched):
            return shared_rows(h, z, words), True
        h, z = _lead(h, h_batched, axis_size), _lead(z, z_batched, axis_size)
        return rows(h, z, words), True

    return one


# --------------------------------------------------------------------------
# Choosing the implementation per platform
# --------------------------------------------------------------------------

_NOT_DIFFERENTIABLE = (
    "vexol.polya_gamma and vexol.sample are not differentiable: Pólya-Gamma "
    "draws have no derivative with respect to h or z. Wrap the inputs in "
    "jax.lax.stop_gradient if the draws are used inside a differentiated "
    "function (as in a Gibbs step)."
)


def _not_differentiable(fn):
    """fn(h, z, operand) with a JVP rule that refuses: the draws have no
    derivative, and a silent zero would hide the mistake."""
    wrapped = jax.custom_jvp(fn)

    @wrapped.defjvp
    def _jvp(primals, tangents):
        raise TypeError(_NOT_DIFFERENTIABLE)

    return wrapped


@functools.cache
def _seeded(method: int):
    """Draws from (h, z, seed words) through the custom calls."""
    return _not_differentiable(_native(method))


# Lowering a program that asks for the custom calls on a platform that has
# none: a primitive whose lowering raises, so that the user sees which
# platform and what to do, at jit/export time rather than from the compiler.
_native_unavailable = jax_core.Primitive("vexol_native_unavailable")
_native_unavailable.def_abstract_eval(lambda h: h)


def _unavailable_lowering(ctx, h):
    others = [p for p in (ctx.module_context.platforms or ()) if p != "cpu"]
    if not others:
        # Lowered for the CPU alone: JAX releases that lower every branch of
        # the platform choice (before pruning came in) still ask for this
        # one, which the CPU never runs.
        return [h]
    raise NotImplementedError(
        "vexol.polya_gamma: implementation='native' runs vexol's C++ custom calls, which "
        "exist for the CPU only, but this program is being lowered for "
        f"{', '.join(map(repr, others))}. Use implementation=None (the pure-JAX sampler on "
        'every platform but the CPU) or implementation="jax", or place the computation '
        "on a CPU device."
    )


mlir.register_lowering(_native_unavailable, _unavailable_lowering)
# Under vmap the branch is traced like any other; it maps elementwise.
batching.primitive_batchers[_native_unavailable] = lambda args, dims: (
    _native_unavailable.bind(*args),
    dims[0],
)


def _key_data(key: jax.Array) -> tuple[jax.Array, Any]:
    return jax.random.key_data(key), jax.random.key_impl(key)


@functools.cache
def _keyed(implementation: str, method: int, method_name: str | None, key_impl: Any):
    """Draws from (h, z, key data) by one implementation choice. The key
    travels as its raw data (the implementation is bound here), so that the
    differentiation rule sees ordinary arrays."""

    def native(h, z, data):
        words = _key_words(jax.random.wrap_key_data(data, impl=key_impl))
        # Under shard_map both branches must report the mesh axes of their
        # inputs; the custom call's result reports none.
        return vary_like(_native(method)(h, z, words), h, z, data)

    @jax.jit
    def pure_jax(h, z, data):
        # One compiled program whether the caller jits or not (eager, each
        # operation would be a program of its own), and h and z behind a
        # barrier: XLA folds a jitted program's constant inputs through the
        # sampler's arithmetic with the host's libm, not with its compiled
        # kernels, which differ in the last bit (the normal approximation
        # drew 1 ulp apart under jit with h = 75 as a Python number).
        from vexol._jax import draw

        # Every value the sampler derives from h and z then varies over the
        # same mesh axes, whichever input brought them.
        h, z = lax.optimization_barrier(tuple(vary_like(x, h, z, data) for x in (h, z)))
        return draw(jax.random.wrap_key_data(data, impl=key_impl), h, z, method=method_name)

    def unavailable(h, z, data):
        return _native_unavailable.bind(h)

    if implementation == "jax":
        fn = pure_jax
    elif implementation == "native":

        def fn(h, z, data):
            return lax.platform_dependent(h, z, data, cpu=native, default=unavailable)

    else:

        def fn(h, z, data):
            # Decided when the program is lowered, per platform: one jitted
            # function, or one export for several platforms, carries both.
            return lax.platform_dependent(h, z, data, cpu=native, default=pure_jax)

    return _not_differentiable(fn)


# --------------------------------------------------------------------------
# Argument checks: all of them run in Python, before anything is traced
# into a custom call.
# --------------------------------------------------------------------------


IMPLEMENTATIONS = (None, "jax", "native")
METHODS = tuple(METHOD_CODES)


def _implementation(implementation: Any, function: str = "polya_gamma") -> str:
    if implementation is None:
        return "auto"
    if isinstance(implementation, str) and implementation in IMPLEMENTATIONS:
        return implementation
    raise ValueError(
        f"vexol.{function}: implementation must be None (the C++ custom calls on the "
        "CPU, the pure-JAX sampler on every other platform), 'native' or 'jax', got "
        f"{implementation!r}"
    )


def _method(method: Any, function: str) -> str | None:
    if method is None or (isinstance(method, str) and method in METHODS):
        return method
    raise ValueError(
        f"vexol.{function}: method must be None (the default choice per element), "
        f"'saddle' or 'exact', got {method!r}"
    )


def _x64_enabled() -> bool:
    return jax.dtypes.canonicalize_dtype(np.float64) == np.float64


class X64Error(ValueError, RuntimeError):
    """float64 asked for while 64-bit JAX types are disabled. A ValueError,
    like every bad value of the package; also a RuntimeError, which
    polya_gamma and sample raised for it before, so that callers catching
    that still do."""


def x64_error(where: str, what: str) -> X64Error:
    return X64Error(
        f"{where}: {what} needs 64-bit JAX types, which are disabled. Enable "
        'them at start-up with jax.config.update("jax_enable_x64", True) or the '
        "environment variable JAX_ENABLE_X64=1, or draw in float32 (dtype=jnp.float32)."
    )


def _output_dtype(dtype: Any, function: str) -> np.dtype:
    """The dtype of the draws, by jax.random's convention: the default float
    dtype of the x64 setting, or an explicit float32 or float64."""
    if dtype is None:
        return np.dtype(np.float64) if _x64_enabled() else np.dtype(np.float32)
    try:
        dtype = np.dtype(dtype)
    except TypeError:
        raise TypeError(f"vexol.{function}: dtype must be a float dtype, got {dtype!r}") from None
    if dtype == np.float64:
        if not _x64_enabled():
            raise x64_error(f"vexol.{function}", "dtype=float64")
        return dtype
    if dtype == np.float32:
        return dtype
    raise ValueError(
        f"vexol.{function}: dtype must be float32 or float64, got {dtype}; lower "
        "precisions are drawn in float32 and can be cast afterwards"
    )


def _floating(x: ArrayLike, name: str, function: str, dtype: np.dtype) -> jax.Array:
    if isinstance(x, (bool, np.bool_)):
        raise TypeError(f"vexol.{function}: {name} must be floating point, got a bool")
    if isinstance(x, (int, float)):
        return jnp.asarray(float(x), dtype)
    in_dtype = x.dtype if hasattr(x, "dtype") else np.asarray(x).dtype
    if not jnp.issubdtype(in_dtype, jnp.floating):
        raise TypeError(
            f"vexol.{function}: {name} must have a floating-point dtype, got {in_dtype}; "
            f"convert it first, e.g. {name}.astype(jnp.float32)"
        )
    # float16 and bfloat16 widen exactly; float64 narrows when the draws
    # are float32.
    return jnp.asarray(x).astype(dtype)


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
    shape = _static_shape(shape, function)
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


def _static_shape(shape: Any, function: str) -> tuple[int, ...]:
    """shape as jax.random takes it: a sequence of integers or one integer.
    It sizes the output, so it must be known when the program is traced."""
    items = shape if isinstance(shape, Sequence) else (shape,)
    if any(isinstance(d, jax.core.Tracer) for d in items) or isinstance(shape, jax.core.Tracer):
        raise TypeError(
            f"vexol.{function}: shape must be static (Python integers), but it is traced: "
            "under jax.jit pass it as a static argument, e.g. "
            'jax.jit(f, static_argnames="shape")'
        )
    try:
        if isinstance(shape, Sequence) or getattr(shape, "ndim", 0) == 1:
            return tuple(operator.index(d) for d in shape)
        return (operator.index(shape),)
    except TypeError:
        raise TypeError(
            f"vexol.{function}: shape must be an integer or a sequence of integers, got {shape!r}"
        ) from None


def _several_keys(shape, function: str) -> ValueError:
    return ValueError(
        f"vexol.{function}: key must be a single PRNG key, got an array of keys "
        f"with shape {shape}; use jax.vmap over the keys instead"
    )


def _typed_key(key: Any, function: str = "polya_gamma") -> jax.Array:
    dtype = getattr(key, "dtype", None)
    if dtype is not None and jax.dtypes.issubdtype(dtype, jax.dtypes.prng_key):
        if key.shape != ():
            raise _several_keys(key.shape, function)
        return key
    if dtype is not None and dtype == np.uint32:
        try:
            typed = jax.random.wrap_key_data(key)
        except (TypeError, ValueError):
            raise ValueError(
                f"vexol.{function}: key must be a single PRNG key; a raw uint32 key must "
                f"have the default implementation's key shape, got shape {key.shape}"
            ) from None
        if typed.shape != ():
            raise _several_keys(typed.shape, function)
        return typed
    raise TypeError(
        f"vexol.{function}: key must be a JAX PRNG key from jax.random.key (or a "
        f"raw uint32 key from jax.random.PRNGKey), got {type(key).__name__}"
        + (f" with dtype {dtype}" if dtype is not None else "")
    )


def _key_words(key: jax.Array) -> jax.Array:
    # Two 32-bit words drawn from the key, the first the high word of the
    # 64-bit seed. Drawing bits (rather than reading the key's data) works
    # for every key implementation and gives well-mixed seeds even for keys
    # such as key(0) and key(1); uint32 draws need no x64, so a key names the
    # same seed in float32 and float64 programs. Under vmap each key gets
    # exactly its own words.
    return jax.random.bits(key, (2,), jnp.uint32)


def _int_words(value: int) -> jax.Array:
    value &= _MASK64
    return jnp.asarray(np.array([value >> 32, value & 0xFFFFFFFF], dtype=np.uint32))


def _seed_words(seed: Any) -> jax.Array:
    """A seed in any accepted form -> (2,) uint32 words (high, low)."""
    if isinstance(seed, (bool, np.bool_)):
        raise TypeError("vexol.sample: seed must be an integer, got a bool")
    if isinstance(seed, int):
        if not -(1 << 63) <= seed <= _MASK64:
            raise ValueError("vexol.sample: seed must fit in 64 bits")
        return _int_words(seed)
    dtype = getattr(seed, "dtype", None)
    if dtype is None or not jnp.issubdtype(dtype, jnp.integer):
        raise TypeError(f"vexol.sample: seed must be an integer, got {seed!r}")
    shape = np.shape(seed)
    if shape == (2,) and dtype == np.uint32:
        return jnp.asarray(seed)
    if shape != ():
        raise ValueError(
            f"vexol.sample: seed must be a scalar integer or uint32[2] (high, low) words, "
            f"got shape {shape} and dtype {dtype}; use jax.vmap to draw with several seeds"
        )
    if isinstance(seed, (np.integer, np.ndarray)):
        # A concrete NumPy integer holds its value exactly at any width;
        # converting it to a JAX array first would narrow a 64-bit one to
        # 32 bits when x64 is off and name another seed.
        return _int_words(int(seed))
    seed = jnp.asarray(seed)
    if seed.dtype.itemsize == 8:
        unsigned = jax.lax.bitcast_convert_type(seed, jnp.uint64)
        high = (unsigned >> jnp.uint64(32)).astype(jnp.uint32)
        return jnp.stack([high, unsigned.astype(jnp.uint32)])
    # A narrower integer names the 64-bit value it is, modulo 2^64: negative
    # values have all high bits set.
    low = jax.lax.convert_element_type(seed, jnp.int32) if seed.dtype.itemsize < 4 else seed
    high = jnp.where(low < 0, jnp.uint32(0xFFFFFFFF), jnp.uint32(0))
    return jnp.stack([high, jax.lax.bitcast_convert_type(low, jnp.uint32)])


# --------------------------------------------------------------------------
# Public API
# --------------------------------------------------------------------------


def seed_from_key(key: Any) -> jax.Array:
    """The 64-bit seed that :func:`polya_gamma` derives from a key.

    The seed is two 32-bit words drawn from the key with
    ``jax.random.bits(key, (2,), jnp.uint32)``, the first the high word. It
    is returned as an int64 scalar when 64-bit types are enabled, else as
    the uint32[2] words; :func:`sample` takes either, so
    ``polya_gamma(key, h, z) == sample(h, z, seed_from_key(key))``.

    Args:
      key: a JAX PRNG key, typed or raw uint32.

    Returns:
      The seed: an int64 scalar with x64 on, else a uint32[2] array.

    Raises:
      TypeError: ``key`` is not a PRNG key.
      ValueError: ``key`` holds several keys.

    Examples:
      >>> import jax, vexol
      >>> key = jax.random.key(0)
      >>> seed = vexol.seed_from_key(key)
      >>> seed.shape, seed.dtype                   # x64 off: the two words
      ((2,), dtype('uint32'))
      >>> bool((vexol.sample(1.0, 0.5, seed) == vexol.polya_gamma(key, 1.0, 0.5)).all())
      True
    """
    words = _key_words(_typed_key(key))
    return _as_s64(words) if _x64_enabled() else words


def polya_gamma(
    key: Any,
    h: ArrayLike,
    z: ArrayLike,
    shape: Shape | None = None,
    dtype: Any = None,
    implementation: str | None = None,
    method: str | None = None,
) -> jax.Array:
    """Draw Pólya-Gamma PG(h, z) variates.

    Args:
      key: a JAX PRNG key, typed (``jax.random.key``) or raw uint32
        (``jax.random.PRNGKey``). A single key; map over many with ``jax.vmap``.
      h: the shapes, a float array or Python number.
      z: the tilts, a float array or Python number. Broadcast against ``h``.
      shape: optional output shape, a sequence of integers or one integer
        (as in ``jax.random``); ``h`` and ``z`` must broadcast to it. It must
        be static: under ``jax.jit``, mark it with ``static_argnames``.
      dtype: float32 or float64; by default the default float dtype of the
        x64 setting, as in ``jax.random``. float32 draws are exactly the
        float64 draws of the same key for the float32 inputs, rounded (on
        the CPU custom calls).
      implementation: ``None`` (the default) draws with vexol's C++ custom
        calls on the CPU and with the pure-JAX sampler on every other
        platform, chosen when the program is lowered, so that one jitted or
        exported function does the right thing on each platform. ``"jax"``
        uses the pure-JAX sampler everywhere (``jax.random`` semantics);
        ``"native"`` the custom calls, and lowering for a platform other
        than the CPU raises ``NotImplementedError`` naming the platform.
      method: ``None`` picks the method per element as documented (exact
        for 1 <= h < 8, approximate elsewhere); ``"saddle"`` uses the
        saddle-point approximation for every h >= 8; ``"exact"`` draws from
        the exact law for every h.

    Returns:
      An array of the broadcast shape (or ``shape``), one draw of
      PG(h[i], z[i]) per element.

    The seed is derived from ``key`` inside the traced computation, so this
    works under ``jax.jit`` without a host round trip. On the CPU the same
    key and inputs give the same draws bit for bit, whatever
    ``VEXOL_NUM_THREADS``; the pure-JAX sampler's draws are a function of
    the key, the inputs, the dtype and the JAX/XLA version on a platform,
    and are not the CPU stream's bits.

    Transformations:
      * ``jax.vmap`` over keys: one batched custom call, and
        ``vmap(f)(keys)[i] == f(keys[i])`` bit for bit; shared ``h`` and
        ``z`` are read once, not copied per key.
      * ``jax.vmap`` over ``h`` or ``z`` with one key: the same as a Python
        loop calling ``f`` with that key for each element.
      * ``jax.shard_map``: each shard draws from the key it is given.
      * Differentiation raises ``TypeError``; the draws have no gradient.

    Values are not checked. Draws below 1e-12 are returned as 1e-12 (in
    float32, as float32(1e-12)). A NaN or infinite ``h`` gives NaN. A NaN
    ``z`` gives NaN for h < 1, h = 1 and h > 50; the alternate and
    saddle-point regimes treat it as 0. ``h == 0`` gives 1e-12 (PG(0, z) is
    the point mass at 0). ``h < 0`` is outside the distribution's domain:
    the draw is 1e-12 or NaN depending on the value. An infinite ``z``
    gives 1e-12. The sign of ``z`` does not matter.

    Raises:
      TypeError: ``key`` is not a PRNG key, ``h`` or ``z`` is not floating
        point, or the function is differentiated.
      ValueError: ``h``, ``z`` and ``shape`` do not broadcast, ``key`` holds
        several keys, ``dtype`` is not float32 or float64, or
        ``implementation`` or ``method`` is not one of the names above.
        ``dtype=float64`` while 64-bit types are disabled raises a ValueError
        that is also a ``RuntimeError`` (what earlier releases raised).

    Examples:
      >>> import jax, jax.numpy as jnp, numpy as np, vexol
      >>> key = jax.random.key(0)
      >>> omega = vexol.polya_gamma(key, 1.0, jnp.array([0.0, 2.0, 5.0]))
      >>> omega.shape, omega.dtype
      ((3,), dtype('float32'))
      >>> print(np.asarray(omega, 'f8').round(4))
      [0.2282 0.1868 0.1533]

      An integer or tuple ``shape``, static under ``jax.jit``:

      >>> f = jax.jit(vexol.polya_gamma, static_argnames="shape")
      >>> f(key, 2.5, 0.0, shape=(1000,)).shape
      (1000,)

      One draw per key, several chains at once:

      >>> keys = jax.random.split(key, 4)
      >>> jax.vmap(lambda k: vexol.polya_gamma(k, 1.0, 0.5, shape=(3,)))(keys).shape
      (4, 3)

      The exact law for a shape the default approximates:

      >>> vexol.polya_gamma(key, 0.3, 1.0, shape=(2,), method="exact").dtype
      dtype('float32')
    """
    out_dtype = _output_dtype(dtype, "polya_gamma")
    chosen = _implementation(implementation)
    method = _method(method, "polya_gamma")
    key = _typed_key(key)
    h = _floating(h, "h", "polya_gamma", out_dtype)
    z = _floating(z, "z", "polya_gamma", out_dtype)
    out_shape = _output_shape(h, z, shape, "polya_gamma")
    if chosen != "jax":
        ensure_registered()
    data, key_impl = _key_data(key)
    draw = _keyed(chosen, METHOD_CODES[method], method, key_impl)
    return draw(jnp.broadcast_to(h, out_shape), jnp.broadcast_to(z, out_shape), data)


def sample(
    h: ArrayLike,
    z: ArrayLike,
    seed: int | jax.Array,
    dtype: Any = None,
    method: str | None = None,
) -> jax.Array:
    """Draw PG(h, z) variates from the module's stream for an explicit seed.

    This is the flat custom call itself: ``seed`` is the 64-bit seed of the
    whole range, so the draws are exactly those of the C++ module for that
    seed and the row-major element order of the broadcast ``h`` and ``z``.
    It is the CPU stream: it runs on the CPU only (on another default
    backend, place it on a CPU device); :func:`polya_gamma` draws on every
    platform.

    Args:
      h: the shapes, a float array or Python number.
      z: the tilts, a float array or Python number. Broadcast against ``h``.
      seed: a Python int in [-2**63, 2**64), an integer scalar (NumPy or
        JAX), or a uint32[2] array of (high, low) words; taken modulo 2**64
        (an int64 -1, the uint64 2**64 - 1 and the words
        [2**32 - 1, 2**32 - 1] are the same seed). NumPy integers of any
        width name exactly their value, with or without x64; a JAX integer
        array holds at most 32 bits without x64.
      dtype: float32 or float64, as for :func:`polya_gamma`.
      method: None, "saddle" or "exact", as for :func:`polya_gamma`.

    Under ``jax.vmap`` over ``seed`` every mapped element gets its own seed
    and the result equals a loop over the seeds, bit for bit. The value
    rules, the other transformation rules and the errors are those of
    :func:`polya_gamma`.

    Returns:
      An array of the broadcast shape of ``h`` and ``z``.

    Raises:
      TypeError: ``seed`` is not an integer, or ``h`` or ``z`` is not
        floating point.
      ValueError: ``seed`` is outside 64 bits or neither a scalar nor
        uint32[2] words; the other errors of :func:`polya_gamma`.

    Examples:
      >>> import numpy as np, vexol
      >>> draws = vexol.sample(np.float32([1.0, 1.0, 20.0]), np.float32(2.0), seed=42)
      >>> draws.shape, draws.dtype
      ((3,), dtype('float32'))
      >>> print(np.asarray(draws, 'f8').round(4))
      [0.075  0.0908 3.1773]
      >>> # The same seed as two (high, low) words:
      >>> words = np.array([0, 42], dtype=np.uint32)
      >>> bool((vexol.sample(np.float32([1.0, 1.0, 20.0]), np.float32(2.0), words) == draws).all())
      True
    """
    out_dtype = _output_dtype(dtype, "sample")
    method = _method(method, "sample")
    h = _floating(h, "h", "sample", out_dtype)
    z = _floating(z, "z", "sample", out_dtype)
    out_shape = _output_shape(h, z, None, "sample")
    words = _seed_words(seed)
    ensure_registered()
    draw = _seeded(METHOD_CODES[method])
    return draw(jnp.broadcast_to(h, out_shape), jnp.broadcast_to(z, out_shape), words)


__all__ = [
    "IMPLEMENTATIONS",
    "METHODS",
    "ROW_SEED_MULTIPLIER",
    "polya_gamma",
    "sample",
    "seed_from_key",
]
