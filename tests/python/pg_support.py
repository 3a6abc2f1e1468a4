"""Helpers of the Python tests: x64 JAX, the two custom-call targets
registered once from the installed vexol_cpp, jitted callers, constants of
the seeding rules, and test inputs."""

import jax
import jax.numpy as jnp
import numpy as np

from jax_releases import JAXLIB_RELEASE, assert_refused, shard_map, x64_disabled

jax.config.update("jax_enable_x64", True)

import vexol_cpp  # noqa: E402  (the installed extension module)

FLAT_TARGET = "vexol_test_pg_sample_f64"
BATCHED_TARGET = "vexol_test_pg_sample_batched_f64"
ROW_SEED_MULTIPLIER = 0x9E3779B97F4A7C15
CHUNK_SEED_MULTIPLIER = 0xD1B54A32D192ED03
CHUNK_SIZE = 65536
MASK64 = (1 << 64) - 1

jax.ffi.register_ffi_target(
    FLAT_TARGET, vexol_cpp.pg_sample_f64_capsule(), platform="cpu", api_version=1
)
jax.ffi.register_ffi_target(
    BATCHED_TARGET,
    vexol_cpp.pg_sample_batched_f64_capsule(),
    platform="cpu",
    api_version=1,
)


def _caller(target):
    def call(h, z, seed, out_shape=None):
        shape = h.shape if out_shape is None else out_shape
        return jax.ffi.ffi_call(target, jax.ShapeDtypeStruct(shape, jnp.float64))(h, z, seed)

    return jax.jit(call, static_argnames="out_shape")


flat_call = _caller(FLAT_TARGET)
batched_call = _caller(BATCHED_TARGET)


def as_s64(values):
    """Seeds as the S64 buffer the handlers take; unsigned values wrap."""
    return np.array([v - (1 << 64) if v >= 1 << 63 else v for v in values], dtype=np.int64)


def mixed_inputs(n, offset=0):
    """Shapes and tilts from every sampling regime, cycled."""
    shapes = np.array([1.0, 0.3, 2.0, 3.5, 6.0, 12.0, 60.0, 1.0, 4.0, 0.0])
    tilts = np.array([0.0, 0.5, -1.0, 2.5, 7.0, -0.01, 30.0])
    i = np.arange(offset, offset + n)
    return shapes[i % len(shapes)], tilts[(i // 3) % len(tilts)]


__all__ = [
    "JAXLIB_RELEASE",
    "assert_refused",
    "shard_map",
    "x64_disabled",
]
