"""Registration of the sampling handlers as XLA custom-call targets.

Registration is deferred to the first sampling call: importing vexol stays
cheap and does not touch the XLA runtime, and programs that only import it
(for type checks, documentation builds) never load the extension module.
"""

from __future__ import annotations

import threading

FLAT_TARGET = "vexol_pg_sample_f64"
BATCHED_TARGET = "vexol_pg_sample_batched_f64"
SHARED_TARGET = "vexol_pg_sample_shared_f64"
FLAT_F32_TARGET = "vexol_pg_sample_f32"
BATCHED_F32_TARGET = "vexol_pg_sample_batched_f32"
SHARED_F32_TARGET = "vexol_pg_sample_shared_f32"
# The same calls by a method on request: an int32 attribute `method` picks
# it (vexol._calls.METHOD_CODES).
METHOD_FLAT_TARGET = "vexol_pg_sample_method_f64"
METHOD_BATCHED_TARGET = "vexol_pg_sample_method_batched_f64"
METHOD_SHARED_TARGET = "vexol_pg_sample_method_shared_f64"
METHOD_FLAT_F32_TARGET = "vexol_pg_sample_method_f32"
METHOD_BATCHED_F32_TARGET = "vexol_pg_sample_method_batched_f32"
METHOD_SHARED_F32_TARGET = "vexol_pg_sample_method_shared_f32"

# Custom-call target -> the vexol_cpp function that hands out its capsule.
_CAPSULES = {
    FLAT_TARGET: "pg_sample_f64_capsule",
    BATCHED_TARGET: "pg_sample_batched_f64_capsule",
    SHARED_TARGET: "pg_sample_shared_f64_capsule",
    FLAT_F32_TARGET: "pg_sample_f32_capsule",
    BATCHED_F32_TARGET: "pg_sample_batched_f32_capsule",
    SHARED_F32_TARGET: "pg_sample_shared_f32_capsule",
    METHOD_FLAT_TARGET: "pg_sample_method_f64_capsule",
    METHOD_BATCHED_TARGET: "pg_sample_method_batched_f64_capsule",
    METHOD_SHARED_TARGET: "pg_sample_method_shared_f64_capsule",
    METHOD_FLAT_F32_TARGET: "pg_sample_method_f32_capsule",
    METHOD_BATCHED_F32_TARGET: "pg_sample_method_batched_f32_capsule",
    METHOD_SHARED_F32_TARGET: "pg_sample_method_shared_f32_capsule",
}

# Every caller takes the lock, also once registration is done: registration
# is asked for while tracing, so the lock costs nothing that matters, and
# the flag is then never read outside it, which keeps the path right on a
# free-threaded interpreter without relying on how a global read orders with
# the registration itself.
_lock = threading.Lock()
_registered = False


def ensure_registered() -> None:
    """Register every handler with XLA for the CPU platform, once per process.

    Safe to call from several threads at once, with or without the GIL: the
    first caller registers, the others wait for it and then return. Before
    registering, the installed JAX is checked (vexol._compat): a jax older
    than the supported range, or a runtime whose XLA FFI API would refuse
    the handlers, raises IncompatibleJaxError and registers nothing. A failed
    registration leaves the flag unset, so the next call checks and reports
    the error again.

    Raises:
      IncompatibleJaxError: the installed JAX cannot run the handlers.

    Examples:
      >>> import vexol
      >>> vexol.register()        # before a jax.export'ed CPU program is run
      >>> vexol.register()        # later calls return at once
    """
    global _registered
    with _lock:
        if _registered:
            return
        import jax

        import vexol_cpp
        from vexol._compat import check_runtime

        check_runtime(jax, vexol_cpp)
        # Every capsule first, so that a module lacking one registers none.
        capsules = {target: getattr(vexol_cpp, name)() for target, name in _CAPSULES.items()}
        for target, capsule in capsules.items():
            jax.ffi.register_ffi_target(target, capsule, platform="cpu", api_version=1)
        _registered = True


def is_registered() -> bool:
    """Whether this process has registered the handlers yet."""
    with _lock:
        return _registered
