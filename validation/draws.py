"""Draws of the shipped sampler through JAX: `vexol.sample`, the flat custom
call of the installed vexol_cpp with an explicit 64-bit seed, or, for a
method on request ("saddle", "exact"), the flat call of that method with
the same seed."""

import jax
import jax.numpy as jnp
import numpy as np

jax.config.update("jax_enable_x64", True)

import vexol  # noqa: E402
from vexol import _calls, _registration  # noqa: E402


def pg_draws(h, z, seed, method=None):
    """PG(h_i, z_i) draws for arrays (or scalars broadcast) h and z; `method`
    None is the default dispatch, else a key of vexol._calls.METHOD_CODES."""
    h, z = np.broadcast_arrays(np.asarray(h, np.float64), np.asarray(z, np.float64))
    if method is None:
        return np.asarray(vexol.sample(h.ravel(), z.ravel(), seed))
    _registration.ensure_registered()
    seed &= (1 << 64) - 1
    words = jnp.array([seed >> 32, seed & 0xFFFFFFFF], jnp.uint32)
    code = _calls.METHOD_CODES[method]
    return np.asarray(_calls.flat_call(jnp.asarray(h.ravel()), jnp.asarray(z.ravel()), words, code))
