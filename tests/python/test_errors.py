"""Errors through the real runtime: the handlers' own messages, and operand
types that the binding refuses before a handler runs. The binding's own
diagnostics are the XLA headers' text, which changes between jaxlib
releases: what is asserted of them is the refusal, not the wording."""

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from pg_support import as_s64, assert_refused


def test_flat_unequal_lengths(flat):
    with pytest.raises(jax.errors.JaxRuntimeError) as caught:
        flat(np.ones(3), np.ones(4), as_s64([1]))
    assert_refused(caught.value, "vexol: h and z must have equal length")


@pytest.mark.parametrize("shape", [(6,), ()])
def test_batched_needs_two_dimensions(batched, shape):
    h = np.ones(shape)
    with pytest.raises(jax.errors.JaxRuntimeError) as caught:
        batched(h, np.ones(shape), as_s64([1]))
    assert_refused(caught.value, "vexol: batched h must be >= 2D")


@pytest.mark.parametrize(
    "h_dtype, seed_dtype", [(jnp.float32, jnp.int64), (jnp.float64, jnp.float64)]
)
@pytest.mark.parametrize("call", ["flat", "batched"])
def test_wrong_dtypes_are_refused_by_the_binding(request, call, h_dtype, seed_dtype):
    run = request.getfixturevalue(call)
    h = jnp.ones((2, 3), dtype=h_dtype)
    with pytest.raises(jax.errors.JaxRuntimeError) as caught:
        run(h, jnp.ones((2, 3)), jnp.ones(1, dtype=seed_dtype), out_shape=(2, 3))
    # Refused before the handler runs: none of the handler's messages.
    assert_refused(caught.value)
    assert "vexol:" not in str(caught.value)
