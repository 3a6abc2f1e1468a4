"""The draws do not depend on the floating-point mode of the thread XLA runs
the custom call on.

XLA's CPU threads flush subnormal numbers to zero (FTZ and DAZ); the handlers
draw in the IEEE mode all the same, so a subnormal shape or tilt is read as
the number it is, in float64 and in float32, and the draws through JAX are
the chunk runner's draws computed outside JAX in the IEEE mode."""

import jax.numpy as jnp
import numpy as np
import pytest

from pg_support import MASK64, as_s64, flat_call
from vexol import _calls, _registration

SEED = 0x0DDBA11C0FFEE000


def subnormal_inputs(n):
    """Every regime, with subnormal shapes and tilts among them."""
    shapes = np.array([1.0, 1e-310, 0.3, 2.0, 3.5, 6.0, 12.0, 60.0, 1.0, 4e-320, 0.7])
    tilts = np.array([0.0, 4e-320, 0.5, -1.0, 2.5e-310, 7.0, -0.01, 30.0])
    i = np.arange(n)
    return shapes[i % len(shapes)], tilts[(i // len(shapes)) % len(tilts)]


def words(seed):
    return jnp.array([seed >> 32, seed & 0xFFFFFFFF], jnp.uint32)


def test_float64_draws_with_subnormal_inputs_are_the_ieee_reference(reference):
    h, z = subnormal_inputs(70_000)  # two chunks
    out = flat_call(jnp.asarray(h), jnp.asarray(z), as_s64([SEED]))
    np.testing.assert_array_equal(np.asarray(out), reference(h, z, SEED & MASK64))


def first_differences(h, z, h_flushed, z_flushed, dtype, method=0):
    """Indices where the draws for the given inputs differ from the draws
    for the same inputs with their subnormals replaced by 0."""
    _registration.ensure_registered()
    a = np.asarray(_calls.flat_call(jnp.asarray(h, dtype), jnp.asarray(z, dtype), words(7), method))
    b = np.asarray(
        _calls.flat_call(
            jnp.asarray(h_flushed, dtype), jnp.asarray(z_flushed, dtype), words(7), method
        )
    )
    return np.flatnonzero(a != b)


@pytest.mark.parametrize("method", [0, 2])
@pytest.mark.parametrize(
    "dtype, tiny", [(jnp.float64, 1e-310), (jnp.float32, np.float32(1e-40))], ids=["f64", "f32"]
)
def test_a_subnormal_input_is_not_read_as_zero(dtype, tiny, method):
    # A subnormal shape takes the gamma series (or the exact inversion) where
    # 0 draws nothing; a subnormal tilt makes the alternate sampler (h = 2.5)
    # take its tilted left piece. Read as 0 under DAZ, both gave the draws
    # of 0.
    n = 1000
    h = np.full(n, 2.5)
    z = np.full(n, 0.5)
    h_sub = h.copy()
    h_sub[0] = tiny
    h_zero = h.copy()
    h_zero[0] = 0.0
    assert first_differences(h_sub, z, h_zero, z, dtype, method).size > 0
    z_sub = z.copy()
    z_sub[1] = tiny
    z_zero = z.copy()
    z_zero[1] = 0.0
    assert first_differences(h, z_sub, h, z_zero, dtype, method).size > 0
