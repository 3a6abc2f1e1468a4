"""Draws of the shipped sampler through JAX: the flat custom call from the
installed vexol_cpp, registered here under a name of its own and jitted."""

import jax
import jax.numpy as jnp
import numpy as np

jax.config.update("jax_enable_x64", True)

import vexol_cpp  # noqa: E402

TARGET = "vexol_validation_pg_sample_f64"
jax.ffi.register_ffi_target(
    TARGET, vexol_cpp.pg_sample_f64_capsule(), platform="cpu", api_version=1
)


@jax.jit
def _call(h, z, seed):
    return jax.ffi.ffi_call(TARGET, jax.ShapeDtypeStruct(h.shape, jnp.float64))(h, z, seed)


def pg_draws(h, z, seed):
    """PG(h_i, z_i) draws for arrays (or scalars broadcast) h and z."""
    h, z = np.broadcast_arrays(np.asarray(h, np.float64), np.asarray(z, np.float64))
    seed_arr = np.array([seed], dtype=np.int64)
    return np.asarray(_call(jnp.asarray(h.ravel()), jnp.asarray(z.ravel()), seed_arr))
