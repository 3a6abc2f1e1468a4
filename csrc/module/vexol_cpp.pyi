"""On-device Pólya-Gamma sampling as XLA FFI custom calls"""

import typing_extensions

def pg_sample_f64_capsule() -> typing_extensions.CapsuleType:
    """A new capsule holding the flat handler's entry function (no name).

    Register it with ``jax.ffi.register_ffi_target(name, capsule,
    platform="cpu")``; the call takes ``h`` (f64), ``z`` (f64) and a seed
    (s64) and returns one f64 draw per element of ``h``.
    """

def pg_sample_batched_f64_capsule() -> typing_extensions.CapsuleType:
    """A new capsule holding the batched handler's entry function (no name).

    Like the flat handler, but the first dimension of ``h`` counts rows,
    each sampled with a seed of its own.
    """

def pg_sample_shared_f64_capsule() -> typing_extensions.CapsuleType:
    """A new capsule holding the shared-input handler's entry function.

    One row of ``h`` and ``z`` read by every row of the output, one row per
    seed.
    """

def pg_sample_f32_capsule() -> typing_extensions.CapsuleType:
    """The flat handler in float32 (seeds as (high, low) uint32 pairs)."""

def pg_sample_batched_f32_capsule() -> typing_extensions.CapsuleType:
    """The batched handler in float32."""

def pg_sample_shared_f32_capsule() -> typing_extensions.CapsuleType:
    """The shared-input handler in float32."""

def pg_sample_method_f64_capsule() -> typing_extensions.CapsuleType:
    """The flat handler by a method on request: the int32 attribute
    ``method`` is 0 (the default dispatch), 1 (the saddle point from h = 8
    on) or 2 (exact draws); other codes are refused."""

def pg_sample_method_batched_f64_capsule() -> typing_extensions.CapsuleType:
    """The batched handler by a method on request (attribute ``method``)."""

def pg_sample_method_shared_f64_capsule() -> typing_extensions.CapsuleType:
    """The shared-input handler by a method on request (attribute ``method``)."""

def pg_sample_method_f32_capsule() -> typing_extensions.CapsuleType:
    """The flat float32 handler by a method on request (attribute ``method``)."""

def pg_sample_method_batched_f32_capsule() -> typing_extensions.CapsuleType:
    """The batched float32 handler by a method on request (attribute ``method``)."""

def pg_sample_method_shared_f32_capsule() -> typing_extensions.CapsuleType:
    """The shared-input float32 handler by a method on request (attribute
    ``method``)."""

def ffi_api_version() -> tuple[int, int]:
    """The XLA FFI API version (major, minor) the handlers were built against."""
