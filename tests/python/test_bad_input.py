"""Bad input end to end, through the real runtime: every refusal of the
handlers arrives with its message, and arrays full of awkward doubles finish
with outputs that follow the rules (>= 1e-12 or NaN, NaN for a NaN shape),
through the custom calls and through the vexol package."""

import itertools

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from pg_support import assert_refused

jax.config.update("jax_enable_x64", True)

import vexol  # noqa: E402
import vexol_cpp  # noqa: E402

FLAT = "vexol_bad_input_pg_sample_f64"
BATCHED = "vexol_bad_input_pg_sample_batched_f64"
jax.ffi.register_ffi_target(FLAT, vexol_cpp.pg_sample_f64_capsule(), platform="cpu", api_version=1)
jax.ffi.register_ffi_target(
    BATCHED, vexol_cpp.pg_sample_batched_f64_capsule(), platform="cpu", api_version=1
)


def custom_call(target, h, z, seed, out_shape):
    call = jax.ffi.ffi_call(target, jax.ShapeDtypeStruct(out_shape, jnp.float64))
    return np.asarray(jax.jit(call)(h, z, seed))


REFUSALS = [
    # (target, h shape, z shape, seed length, out shape, message)
    (FLAT, (5,), (4,), 1, (5,), "vexol: h and z must have equal length"),
    (FLAT, (70000,), (70001,), 1, (70000,), "vexol: h and z must have equal length"),
    (FLAT, (5,), (5,), 1, (4,), "vexol: out must hold at least as many elements as h"),
    (BATCHED, (6,), (6,), 1, (6,), "vexol: batched h must be >= 2D"),
    (BATCHED, (), (), 1, (), "vexol: batched h must be >= 2D"),
    (BATCHED, (2, 3), (6,), 0, (6,), "vexol: batched seed must hold at least one element"),
    (BATCHED, (2, 3), (5,), 1, (6,), "vexol: batched z must hold at least as many elements as h"),
    (BATCHED, (2, 3), (6,), 1, (5,), "vexol: out must hold at least as many elements as h"),
]


@pytest.mark.parametrize("target, h_shape, z_shape, seeds, out_shape, message", REFUSALS)
def test_every_refusal_arrives_with_its_message(
    target, h_shape, z_shape, seeds, out_shape, message
):
    h = np.ones(h_shape)
    z = np.zeros(z_shape)
    seed = np.arange(seeds, dtype=np.int64)
    with pytest.raises(jax.errors.JaxRuntimeError) as caught:
        custom_call(target, h, z, seed, out_shape)
    assert_refused(caught.value, message)


TINY = np.finfo(np.float64).smallest_subnormal
HUGE = np.finfo(np.float64).max
AWKWARD = np.array(
    [
        *(np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, TINY, -TINY, 2.2250738585072014e-308),
        *(1e-300, 1e-12, 0.5, 1.0, -1.0, 3.0, 4.5, 8.0, 50.0, 50.5, -3.0, 710.5, 1e206),
        *(1e300, HUGE, -HUGE),
    ]
)


def awkward_grid():
    pairs = np.array(list(itertools.product(AWKWARD, AWKWARD)))
    return pairs[:, 0].copy(), pairs[:, 1].copy()


def check_rules(h, out):
    assert out.shape == h.shape
    ok = (out >= 1e-12) | np.isnan(out)
    assert ok.all(), list(zip(h[~ok], out[~ok], strict=True))
    assert np.isnan(out[np.isnan(h)]).all()


@pytest.mark.parametrize("seed", [0, -1, 12345])
def test_awkward_inputs_through_the_custom_calls(seed):
    h, z = awkward_grid()
    flat = custom_call(FLAT, h, z, np.array([seed], dtype=np.int64), h.shape)
    check_rules(h, flat)
    rows = (len(AWKWARD), len(AWKWARD))
    batched = custom_call(
        BATCHED, h.reshape(rows), z.reshape(rows), np.array([seed], dtype=np.int64), rows
    )
    check_rules(h.reshape(rows), batched)


def test_awkward_inputs_through_the_package():
    h, z = awkward_grid()
    check_rules(h, np.asarray(vexol.sample(h, z, 99)))
    check_rules(h, np.asarray(vexol.polya_gamma(jax.random.key(3), h, z)))
    # Long enough for the chunked path with workers.
    hh, zz = np.tile(h, 150), np.tile(z, 150)
    check_rules(hh, np.asarray(vexol.sample(hh, zz, 7)))
