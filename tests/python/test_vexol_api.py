"""vexol.polya_gamma and vexol.sample: their streams, value rules, JAX
transformation rules and argument errors."""

import inspect

import jax
import jax.numpy as jnp
import numpy as np
import pytest

import vexol
from pg_support import as_s64, flat_call, mixed_inputs, x64_disabled
from vexol import _registration, gibbs


def bits(x):
    """Bit patterns, so that NaNs compare equal to themselves."""
    return np.asarray(x, dtype=np.float64).view(np.uint64)


def assert_bit_equal(actual, expected):
    np.testing.assert_array_equal(bits(actual), bits(expected))


KEY = jax.random.key(42)


# --------------------------------------------------------------------------
# Streams: what the draws are, bit for bit
# --------------------------------------------------------------------------


class TestStreams:
    def test_sample_is_the_flat_custom_call(self):
        # Crosses a chunk boundary so that chunk seeding is covered too.
        h, z = mixed_inputs(70_000)
        for seed in (0, 7, (1 << 64) - 1, -5):
            expected = np.asarray(flat_call(h, z, as_s64([seed & ((1 << 64) - 1)])))
            assert_bit_equal(vexol.sample(h, z, seed), expected)

    def test_seed_forms_that_name_the_same_64_bits_agree(self):
        h, z = mixed_inputs(50)
        reference = vexol.sample(h, z, (1 << 64) - 1)
        for same in (-1, jnp.int64(-1), jnp.uint64((1 << 64) - 1), np.uint64((1 << 64) - 1)):
            assert_bit_equal(vexol.sample(h, z, same), reference)
        assert_bit_equal(vexol.sample(h, z, jnp.int32(9)), vexol.sample(h, z, 9))
        assert not np.array_equal(vexol.sample(h, z, 1), vexol.sample(h, z, 2))

    def test_polya_gamma_draws_from_the_seed_of_its_key(self):
        h, z = mixed_inputs(40)
        seed = vexol.seed_from_key(KEY)
        # Two uint32 words, the first the high word: needs no 64-bit types.
        high, low = (int(w) for w in jax.random.bits(KEY, (2,), jnp.uint32))
        expected = (high << 32 | low) - (1 << 64 if high >> 31 else 0)
        assert seed.dtype == jnp.int64 and int(seed) == expected
        assert_bit_equal(vexol.polya_gamma(KEY, h, z), vexol.sample(h, z, seed))

    def test_raw_and_typed_keys_agree_and_jit_matches_eager(self):
        h, z = mixed_inputs(30)
        raw = jax.random.PRNGKey(3)
        typed = jax.random.wrap_key_data(raw)
        eager = vexol.polya_gamma(typed, h, z)
        assert_bit_equal(vexol.polya_gamma(raw, h, z), eager)
        assert_bit_equal(jax.jit(vexol.polya_gamma)(raw, h, z), eager)
        assert_bit_equal(jax.jit(vexol.polya_gamma)(typed, h, z), eager)
        other = vexol.polya_gamma(jax.random.key(4), h, z)
        assert not np.array_equal(other, eager)

    def test_broadcasting_equals_explicit_broadcast(self):
        h = jnp.array([[0.5], [1.0], [6.0]])
        z = jnp.array([-2.0, 0.0, 1.0, 3.0])
        out = vexol.polya_gamma(KEY, h, z)
        assert out.shape == (3, 4) and out.dtype == jnp.float64
        hb, zb = jnp.broadcast_arrays(h, z)
        assert_bit_equal(out, vexol.polya_gamma(KEY, hb, zb))

        shaped = vexol.polya_gamma(KEY, h, z, shape=(2, 3, 4))
        assert shaped.shape == (2, 3, 4)
        full = jnp.broadcast_to(h, (2, 3, 4)), jnp.broadcast_to(z, (2, 3, 4))
        assert_bit_equal(shaped, vexol.polya_gamma(KEY, *full))

        scalar = vexol.polya_gamma(KEY, 1.0, 0.5)
        assert scalar.shape == ()
        assert_bit_equal(scalar, vexol.polya_gamma(KEY, jnp.array([1.0]), 0.5)[0])
        assert vexol.polya_gamma(KEY, 1, 0.5, shape=(0, 3)).shape == (0, 3)

    def test_lower_precision_floats_are_widened(self):
        h32 = jnp.array([1.0, 2.5, 10.0], jnp.float32)
        z16 = jnp.array([0.5, -1.0, 2.0], jnp.float16)
        assert_bit_equal(
            vexol.polya_gamma(KEY, h32, z16),
            vexol.polya_gamma(KEY, h32.astype(jnp.float64), z16.astype(jnp.float64)),
        )


# --------------------------------------------------------------------------
# Value rules stated in the docstrings
# --------------------------------------------------------------------------


class TestValues:
    def test_nan_zero_shape_and_floor(self):
        h = jnp.array([jnp.nan, 1.0, 0.0, 0.0, 1.0, 1.0, 0.01])
        z = jnp.array([0.0, jnp.nan, 1.0, 5.0, jnp.inf, -jnp.inf, 0.0])
        out = np.asarray(vexol.polya_gamma(KEY, h, z))
        assert np.isnan(out[:2]).all()
        np.testing.assert_array_equal(out[2:6], 1e-12)
        assert out[6] >= 1e-12

    def test_sign_of_z_does_not_matter(self):
        h, z = mixed_inputs(60)
        assert_bit_equal(vexol.sample(h, z, 11), vexol.sample(h, -z, 11))

    @pytest.mark.parametrize(
        "h, z", [(1.0, 0.0), (1.0, 2.0), (0.5, 1.5), (3.5, -1.0), (6.0, 4.0), (20.0, 1.0)]
    )
    def test_mean_matches_pg_mean(self, h, z):
        # E PG(h, z) = h tanh(z/2) / (2 z), h/4 at z = 0. Catches h and z
        # being swapped or mangled on their way into the custom call.
        n = 20_000
        draws = np.asarray(vexol.polya_gamma(jax.random.key(1), h, z, shape=(n,)))
        mean = h / 4 if z == 0 else h * np.tanh(z / 2) / (2 * z)
        assert draws.min() >= 1e-12
        assert abs(draws.mean() - mean) < 5 * draws.std() / np.sqrt(n)


# --------------------------------------------------------------------------
# JAX transformations
# --------------------------------------------------------------------------


def _hlo(fn, *args):
    return jax.jit(fn).lower(*args).as_text()


class TestVmap:
    def test_vmap_over_keys_equals_each_key_alone(self):
        h, z = mixed_inputs(12)
        h, z = h.reshape(3, 4), z.reshape(3, 4)
        keys = jax.random.split(KEY, 6)

        def f(key):
            return vexol.polya_gamma(key, h, z)

        batched = jax.vmap(f)(keys)
        assert batched.shape == (6, 3, 4)
        for i in range(6):
            assert_bit_equal(batched[i], f(keys[i]))
        assert_bit_equal(jax.jit(jax.vmap(f))(keys), batched)

        # Shared h and z: the call that reads them once for every key.
        hlo = _hlo(jax.vmap(f), keys)
        assert _registration.SHARED_TARGET in hlo
        assert f'"{_registration.FLAT_TARGET}"' not in hlo

        # Per-key h: one row of h per key, the batched call.
        hs = jnp.stack([h + i for i in range(6)])
        per_row = jax.vmap(lambda k, hh: vexol.polya_gamma(k, hh, z))(keys, hs)
        for i in range(6):
            assert_bit_equal(per_row[i], vexol.polya_gamma(keys[i], hs[i], z))
        assert _registration.BATCHED_TARGET in _hlo(
            jax.vmap(lambda k, hh: vexol.polya_gamma(k, hh, z)), keys, hs
        )

    def test_vmap_over_keys_with_scalar_draws_and_raw_keys(self):
        raw_keys = jax.random.split(jax.random.PRNGKey(5), 4)  # uint32 (4, 2)

        def f(key):
            return vexol.polya_gamma(key, 1.0, 0.3)

        batched = jax.vmap(f)(raw_keys)
        assert batched.shape == (4,)
        for i in range(4):
            assert_bit_equal(batched[i], f(raw_keys[i]))
        assert len(set(bits(batched).tolist())) == 4

    def test_nested_vmap_over_keys(self):
        keys = jax.random.split(KEY, (2, 3))

        def f(key):
            return vexol.polya_gamma(key, jnp.array([0.7, 1.0, 9.0]), 1.5)

        out = jax.jit(jax.vmap(jax.vmap(f)))(keys)
        assert out.shape == (2, 3, 3)
        for i in range(2):
            for j in range(3):
                assert_bit_equal(out[i, j], f(keys[i, j]))

    def test_vmap_over_h_or_z_with_one_key_equals_a_loop(self):
        hs = jnp.array([[0.5, 1.0], [2.0, 3.0], [7.0, 60.0]])
        zs = jnp.array([0.0, 1.0, -2.0])

        def f(h, z):
            return vexol.polya_gamma(KEY, h, z)

        assert_bit_equal(jax.vmap(f, (0, None))(hs, 0.4), [f(h, 0.4) for h in hs])
        assert_bit_equal(jax.vmap(f, (None, 0))(hs[0], zs), [f(hs[0], z) for z in zs])
        assert_bit_equal(jax.vmap(f)(hs, zs), [f(h, z) for h, z in zip(hs, zs, strict=True)])
        # One key for every row: the rows see the same seed, so equal inputs
        # give equal rows.
        same = jax.vmap(f, (0, None))(jnp.ones((3, 2)), 0.4)
        assert_bit_equal(same[1], same[0])

    def test_vmap_over_keys_and_h_together(self):
        keys = jax.random.split(KEY, 3)
        hs = jnp.array([1.0, 4.5, 30.0])

        def f(key, h):
            return vexol.polya_gamma(key, h, jnp.array([0.0, 2.0]))

        out = jax.vmap(f)(keys, hs)
        for i in range(3):
            assert_bit_equal(out[i], f(keys[i], hs[i]))

    def test_vmap_of_sample_over_seeds_equals_a_loop(self):
        h, z = mixed_inputs(8)
        seeds = jnp.array(as_s64([0, 1, (1 << 64) - 1, 12345]))
        out = jax.vmap(lambda s: vexol.sample(h, z, s))(seeds)
        for i, s in enumerate(seeds):
            assert_bit_equal(out[i], vexol.sample(h, z, s))


class TestDifferentiation:
    @pytest.mark.parametrize(
        "transform",
        [
            lambda f: jax.grad(lambda x: f(x, 0.5).sum()),
            lambda f: jax.grad(lambda x: f(1.0, x).sum()),
            lambda f: jax.jacfwd(lambda x: f(x, 0.5)),
            lambda f: jax.vmap(jax.grad(lambda x: f(x, 0.5).sum())),
        ],
        ids=["grad_h", "grad_z", "jacfwd_h", "vmap_grad"],
    )
    def test_differentiation_raises(self, transform):
        def f(h, z):
            return vexol.polya_gamma(KEY, h, z)

        with pytest.raises(TypeError, match="not differentiable"):
            transform(f)(jnp.array([1.0, 2.0]))

    def test_sample_is_not_differentiable_either(self):
        with pytest.raises(TypeError, match="not differentiable"):
            jax.grad(lambda h: vexol.sample(h, 0.0, 1))(1.0)

    def test_stop_gradient_lets_draws_feed_a_differentiated_function(self):
        def loss(beta):
            omega = vexol.polya_gamma(KEY, 1.0, jax.lax.stop_gradient(beta))
            return jnp.sum(omega * beta**2)

        beta = jnp.array([0.5, -1.0])
        omega = vexol.polya_gamma(KEY, 1.0, beta)
        np.testing.assert_allclose(jax.grad(loss)(beta), 2 * omega * beta)


# --------------------------------------------------------------------------
# Argument errors, raised in Python before any custom call
# --------------------------------------------------------------------------


class TestErrors:
    def test_float64_asked_for_with_x64_disabled(self):
        with x64_disabled():
            for call in (
                lambda: vexol.polya_gamma(KEY, 1.0, 0.0, dtype=jnp.float64),
                lambda: vexol.sample(1.0, 0.0, 1, dtype=jnp.float64),
            ):
                with pytest.raises(RuntimeError, match=r'jax.config.update\("jax_enable_x64"'):
                    call()

    @pytest.mark.parametrize(
        "key, error",
        [
            (0, TypeError),
            (np.array([0.0, 1.0]), TypeError),
            (jnp.array([0, 1], jnp.int32), TypeError),
            (jnp.zeros(3, jnp.uint32), ValueError),
            (jax.random.split(KEY, 2), ValueError),
            (jax.random.split(jax.random.PRNGKey(0), 3), ValueError),
        ],
        ids=["int", "float_array", "int32_pair", "uint32_wrong_shape", "several_keys", "raw_batch"],
    )
    def test_non_key(self, key, error):
        with pytest.raises(error, match=r"vexol\.polya_gamma: key"):
            vexol.polya_gamma(key, 1.0, 0.0)

    def test_shapes_that_do_not_broadcast(self):
        with pytest.raises(ValueError, match=r"\(3,\).*\(4,\).*do not broadcast"):
            vexol.polya_gamma(KEY, jnp.ones(3), jnp.ones(4))
        with pytest.raises(ValueError, match=r"\(3,\).*\(2, 4\)"):
            vexol.polya_gamma(KEY, jnp.ones(3), 0.0, shape=(2, 4))
        with pytest.raises(ValueError, match="requested shape"):
            vexol.polya_gamma(KEY, jnp.ones((2, 3)), 0.0, shape=(3,))
        with pytest.raises(ValueError, match="do not broadcast"):
            vexol.sample(jnp.ones(3), jnp.ones(2), 0)

    @pytest.mark.parametrize(
        "h, z",
        [
            (jnp.ones(2, jnp.int32), 0.0),
            (1.0, jnp.zeros(2, jnp.int64)),
            (True, 0.0),
            (1.0, np.array([True])),
            (jnp.ones(2, jnp.complex128), 0.0),
        ],
        ids=["int_h", "int_z", "bool_h", "bool_z", "complex_h"],
    )
    def test_non_floating(self, h, z):
        with pytest.raises(TypeError, match="floating"):
            vexol.polya_gamma(KEY, h, z)
        with pytest.raises(TypeError, match="floating"):
            vexol.sample(h, z, 0)

    @pytest.mark.parametrize("seed", [1.5, jnp.float64(2.0), True, "7"])
    def test_non_integer_seed(self, seed):
        with pytest.raises(TypeError, match="seed"):
            vexol.sample(1.0, 0.0, seed)

    def test_out_of_range_or_non_scalar_seed(self):
        with pytest.raises(ValueError, match="64 bits"):
            vexol.sample(1.0, 0.0, 1 << 64)
        with pytest.raises(ValueError, match="scalar"):
            vexol.sample(1.0, 0.0, jnp.arange(3))

    def test_errors_are_raised_while_tracing_under_jit(self):
        with pytest.raises(TypeError, match="floating"):
            jax.jit(lambda h: vexol.polya_gamma(KEY, h, 0.0))(jnp.ones(2, jnp.int32))


# --------------------------------------------------------------------------
# Signatures and keyword calls of the public functions
# --------------------------------------------------------------------------


PUBLIC_FUNCTIONS = {
    f"{module.__name__}.{name}": getattr(module, name)
    for module in (vexol, gibbs)
    for name in module.__all__
    if inspect.isfunction(getattr(module, name))
}


@pytest.mark.parametrize("fn", PUBLIC_FUNCTIONS.values(), ids=PUBLIC_FUNCTIONS.keys())
def test_public_functions_have_real_signatures(fn):
    kinds = {p.kind for p in inspect.signature(fn).parameters.values()}
    assert inspect.Parameter.VAR_POSITIONAL not in kinds, inspect.signature(fn)


@pytest.mark.parametrize("name", ["logpdf", "pdf", "logcdf", "cdf", "logsf", "sf"])
def test_density_functions_take_keywords(name):
    fn = getattr(vexol, name)
    x = jnp.array([0.1, 0.3], jnp.float16)
    assert list(inspect.signature(fn).parameters) == ["x", "h", "z"]
    out = fn(x, h=1.0, z=jnp.float16(2.0))
    np.testing.assert_array_equal(out, fn(x, 1.0, jnp.float16(2.0)))
    # Half-precision arguments come back in their own dtype, by keyword too.
    assert out.dtype == jnp.float16
    np.testing.assert_array_equal(fn(z=2.0, x=x, h=1.0), fn(x, 1.0, 2.0))


@pytest.mark.parametrize("name", ["mean", "variance"])
def test_moments_take_keywords(name):
    fn = getattr(vexol, name)
    assert list(inspect.signature(fn).parameters) == ["h", "z"]
    np.testing.assert_array_equal(fn(z=0.5, h=2.0), fn(2.0, 0.5))
    assert fn(h=jnp.bfloat16(2.0), z=jnp.bfloat16(0.5)).dtype == jnp.bfloat16


def test_sampling_functions_take_keywords():
    h, z = mixed_inputs(6)
    expected = vexol.polya_gamma(KEY, h, z)
    assert_bit_equal(vexol.polya_gamma(key=KEY, h=h, z=z), expected)
    assert_bit_equal(vexol.sample(h=h, z=z, seed=vexol.seed_from_key(key=KEY)), expected)


# --------------------------------------------------------------------------
# shape, as jax.random takes it
# --------------------------------------------------------------------------


def test_an_int_shape_is_a_one_dimensional_shape():
    out = vexol.polya_gamma(KEY, 1.0, 0.5, shape=5)
    assert out.shape == (5,)
    assert_bit_equal(out, vexol.polya_gamma(KEY, 1.0, 0.5, shape=(5,)))
    assert vexol.polya_gamma(KEY, 1.0, 0.5, shape=np.int64(3)).shape == (3,)
    with pytest.raises(TypeError, match=r"vexol\.polya_gamma: shape"):
        vexol.polya_gamma(KEY, 1.0, 0.5, shape=2.5)


@pytest.mark.parametrize("shape", [5, (2, 3)], ids=["int", "tuple"])
def test_a_traced_shape_points_at_static_argnames(shape):
    with pytest.raises(TypeError, match=r"vexol\.polya_gamma: shape.*static_argnames"):
        jax.jit(vexol.polya_gamma)(KEY, 1.0, 0.5, shape)
    jitted = jax.jit(vexol.polya_gamma, static_argnames="shape")
    assert_bit_equal(jitted(KEY, 1.0, 0.5, shape=shape), vexol.polya_gamma(KEY, 1.0, 0.5, shape))
