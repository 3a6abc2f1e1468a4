"""Errors through the real runtime: the handlers' own messages, and operand
types that the binding refuses before a handler runs."""

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from pg_support import as_s64


def test_flat_unequal_lengths(flat):
    with pytest.raises(jax.errors.JaxRuntimeError) as caught:
        flat(np.ones(3), np.ones(4), as_s64([1]))
    assert "INVALID_ARGUMENT: vexol: h and z must have equal length" in str(caught.value)


@pytest.mark.parametrize("shape", [(6,), ()])
def test_batched_needs_two_dimensions(batched, shape):
    h = np.ones(shape)
    with pytest.raises(jax.errors.JaxRuntimeError) as caught:
        batched(h, np.ones(shape), as_s64([1]))
    assert "INVALID_ARGUMENT: vexol: batched h must be >= 2D" in str(caught.value)


@pytest.mark.parametrize(
    "h_dtype, seed_dtype, diagnostic",
    [
        (jnp.float32, jnp.int64, "Wrong buffer dtype: expected F64 but got F32"),
        (jnp.float64, jnp.float64, "Wrong buffer dtype: expected S64 but got F64"),
    ],
)
@pytest.mark.parametrize("call", ["flat", "batched"])
def test_wrong_dtypes_are_refused_by_the_binding(request, call, h_dtype, seed_dtype, diagnostic):
    run = request.getfixturevalue(call)
    h = jnp.ones((2, 3), dtype=h_dtype)
    with pytest.raises(jax.errors.JaxRuntimeError) as caught:
        run(h, jnp.ones((2, 3)), jnp.ones(1, dtype=seed_dtype), out_shape=(2, 3))
    message = str(caught.value)
    assert message.startswith(
        "INVALID_ARGUMENT: [execute] Failed to decode all FFI handler operands"
    )
    assert diagnostic in message
