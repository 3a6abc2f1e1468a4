"""Draws of the shipped sampler through JAX: `vexol.sample`, the flat custom
call of the installed vexol_cpp with an explicit 64-bit seed."""

import jax
import numpy as np

jax.config.update("jax_enable_x64", True)

import vexol  # noqa: E402


def pg_draws(h, z, seed):
    """PG(h_i, z_i) draws for arrays (or scalars broadcast) h and z."""
    h, z = np.broadcast_arrays(np.asarray(h, np.float64), np.asarray(z, np.float64))
    return np.asarray(vexol.sample(h.ravel(), z.ravel(), seed))
