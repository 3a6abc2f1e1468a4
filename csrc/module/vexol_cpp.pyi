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
