"""Registration of the two sampling handlers as XLA custom-call targets.

Registration is deferred to the first sampling call: importing vexol stays
cheap and does not touch the XLA runtime, and programs that only import it
(for type checks, documentation builds) never load the extension module.
"""

from __future__ import annotations

import threading

FLAT_TARGET = "vexol_pg_sample_f64"
BATCHED_TARGET = "vexol_pg_sample_batched_f64"

_lock = threading.Lock()
_registered = False


def ensure_registered() -> None:
    """Register both handlers with XLA for the CPU platform, once per process.

    Safe to call from several threads at once: the first caller registers,
    the others wait for it and then return. A failed registration leaves the
    flag unset so that the next call retries and reports the error again.
    """
    global _registered
    if _registered:
        return
    with _lock:
        if _registered:
            return
        import jax

        import vexol_cpp

        jax.ffi.register_ffi_target(
            FLAT_TARGET, vexol_cpp.pg_sample_f64_capsule(), platform="cpu", api_version=1
        )
        jax.ffi.register_ffi_target(
            BATCHED_TARGET,
            vexol_cpp.pg_sample_batched_f64_capsule(),
            platform="cpu",
            api_version=1,
        )
        _registered = True


def is_registered() -> bool:
    """Whether this process has registered the handlers yet."""
    return _registered
