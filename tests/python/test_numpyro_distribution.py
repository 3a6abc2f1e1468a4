"""vexol.numpyro.PolyaGamma under the checks NumPyro applies to its own
distributions: sample moments against mean and variance, log_prob
normalised, cdf against the empirical CDF and against the integrated
density, shapes under expand, vmap and sample_shape, argument validation,
jit, use inside a model, and the optional-import and dtype contracts."""

import os
import pathlib
import subprocess
import sys
import textwrap

import jax
import jax.numpy as jnp
import numpy as np
import pytest

numpyro = pytest.importorskip("numpyro")

from numpyro.distributions.batch_util import vmap_over  # noqa: E402

import vexol  # noqa: E402
from vexol.numpyro import PolyaGamma  # noqa: E402

# One (h, z) per sampling regime: gamma series, Devroye at z = 0 and in the
# tail, alternate, a sum of alternate pieces, saddle point, normal.
H = np.array([0.5, 1.0, 1.0, 2.5, 6.0, 20.0, 100.0])
Z = np.array([1.0, 0.0, -3.0, 2.0, 0.5, 1.0, 5.0])


def _run_python(code):
    """Run code in a fresh interpreter that imports the same vexol as we do."""
    package_root = str(pathlib.Path(vexol.__file__).resolve().parents[1])
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    env.pop("JAX_ENABLE_X64", None)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


# --------------------------------------------------------------------------
# The law: moments, normalisation, distribution function
# --------------------------------------------------------------------------


def test_sample_moments_match_mean_and_variance():
    d = PolyaGamma(H, Z)
    draws = np.asarray(d.sample(jax.random.key(11), (400_000,)))
    # Batch means give the standard errors without assuming the law's
    # higher moments.
    batches = draws.reshape(200, -1, len(H))
    batch_mean = batches.mean(axis=1)
    batch_var = batches.var(axis=1, ddof=1)
    se_mean = batch_mean.std(axis=0, ddof=1) / np.sqrt(len(batches))
    se_var = batch_var.std(axis=0, ddof=1) / np.sqrt(len(batches))
    mean, variance = np.asarray(d.mean), np.asarray(d.variance)
    np.testing.assert_array_less(np.abs(batch_mean.mean(axis=0) - mean), 5 * se_mean)
    np.testing.assert_array_less(np.abs(batch_var.mean(axis=0) - variance), 5 * se_var)
    # The standard errors are small enough for the check to mean something:
    # a 1% scale error is many of them.
    np.testing.assert_array_less(5 * se_mean, 0.01 * mean)


# The density and distribution-function checks share one distribution, so
# that log_prob and cdf are each compiled once (the cdf is costly to compile).
QUAD_H = np.array([0.05, 0.3, 1.0, 2.5, 7.0, 20.0, 75.0, 300.0])
QUAD_Z = np.array([0.0, 0.5, 3.0, -20.0, 0.0, 3.0, 0.5, 2.0])
ECDF_SIZE = 20_000
ECDF_POINTS = 199


@pytest.fixture(scope="module")
def quadrature():
    """exp(log_prob) on a log-spaced grid from 1e-4 to 1e3 times each mean,
    with trapezoid weights in u = log x, and the cumulative integral."""
    d = PolyaGamma(QUAD_H, QUAD_Z)
    u = np.linspace(np.log(1e-4), np.log(1e3), 40_001)[:, None] + np.log(np.asarray(d.mean))
    x = np.exp(u)
    density = np.exp(np.asarray(jax.jit(lambda d, v: d.log_prob(v))(d, x)))
    weights = density * x * (u[1] - u[0])
    weights[[0, -1]] /= 2
    cumulative = np.cumsum(weights, axis=0) - weights / 2
    cumulative[0] = 0
    return d, x, weights, cumulative


@pytest.fixture(scope="module")
def cdf_values(quadrature):
    """The cdf, under jit, at the grid points where the integrated density
    first reaches 1%, 50% and 99%, and at evenly spaced order statistics
    of a sample."""
    d, x, _, cumulative = quadrature
    columns = np.arange(x.shape[1])
    rows = [np.argmin(np.abs(cumulative - level), axis=0) for level in (0.01, 0.5, 0.99)]
    at_levels = np.stack([x[r, columns] for r in rows])
    integral = np.stack([cumulative[r, columns] for r in rows])
    draws = np.sort(np.asarray(d.sample(jax.random.key(5), (ECDF_SIZE,))), axis=0)
    ranks = np.linspace(0, ECDF_SIZE - 1, ECDF_POINTS).astype(int)
    values = np.concatenate([at_levels, draws[ranks]])
    F = np.asarray(jax.jit(lambda d, v: d.cdf(v))(d, values))
    return F[:3], integral, F[3:], ranks


def test_log_prob_is_normalised_with_the_distribution_moments(quadrature):
    d, x, weights, _ = quadrature
    total = weights.sum(axis=0)
    first = (weights * x).sum(axis=0)
    second = (weights * x * x).sum(axis=0)
    np.testing.assert_allclose(total, 1.0, rtol=0, atol=1e-7)
    np.testing.assert_allclose(first, np.asarray(d.mean), rtol=1e-7)
    np.testing.assert_allclose(second - first**2, np.asarray(d.variance), rtol=1e-6)


def test_cdf_is_the_integral_of_the_density(cdf_values):
    F, integral, _, _ = cdf_values
    np.testing.assert_allclose(F, integral, rtol=0, atol=1e-6)


def test_cdf_matches_the_empirical_cdf_of_samples(cdf_values):
    _, _, F, ranks = cdf_values
    # The empirical CDF jumps from rank/n to (rank + 1)/n at each order
    # statistic; the largest gap over a subset of them is at most the KS
    # statistic, so Kolmogorov's 0.1% critical value still applies.
    low = ranks[:, None] / ECDF_SIZE
    gap = np.maximum(np.abs(F - low), np.abs(F - (low + 1 / ECDF_SIZE))).max(axis=0)
    # The normal approximation (h > 50) has a visible KS distance.
    exact = QUAD_H <= 50
    np.testing.assert_array_less(gap[exact], 1.95 / np.sqrt(ECDF_SIZE))


# --------------------------------------------------------------------------
# Shapes
# --------------------------------------------------------------------------


def test_batch_and_sample_shapes_broadcast_h_and_z():
    d = PolyaGamma(jnp.full((3, 1), 2.0), jnp.linspace(-1.0, 1.0, 4))
    assert d.batch_shape == (3, 4)
    assert d.event_shape == ()
    key = jax.random.key(0)
    for sample_shape in [(), (5,), (2, 5)]:
        assert d.sample(key, sample_shape).shape == (*sample_shape, 3, 4)
    # Shapes only: eval_shape traces without compiling the density.
    x = jax.ShapeDtypeStruct((2, 5, 3, 4), jnp.float64)
    assert jax.eval_shape(d.log_prob, x).shape == (2, 5, 3, 4)
    assert jax.eval_shape(d.cdf, x).shape == (2, 5, 3, 4)
    assert d.mean.shape == d.variance.shape == (3, 4)
    scalar = PolyaGamma(1.0, 0.0)
    assert scalar.batch_shape == ()
    assert scalar.sample(key).shape == ()
    assert scalar.mean.shape == ()


def test_sample_is_the_package_stream_for_the_key():
    d = PolyaGamma(jnp.array([0.5, 1.0, 7.0]), jnp.array([[0.0], [2.0]]))
    key = jax.random.key(21)
    expected = vexol.sample(
        jnp.broadcast_to(d.h, (4, 2, 3)),
        jnp.broadcast_to(d.z, (4, 2, 3)),
        vexol.seed_from_key(key),
    )
    np.testing.assert_array_equal(d.sample(key, (4,)), expected)
    # Under vmap over keys, every key draws its own stream.
    keys = jax.random.split(key, 3)
    mapped = jax.vmap(lambda k: d.sample(k, (4,)))(keys)
    assert mapped.shape == (3, 4, 2, 3)
    for i in range(3):
        np.testing.assert_array_equal(mapped[i], d.sample(keys[i], (4,)))
    assert not np.array_equal(mapped[0], mapped[1])


def test_expand_gives_the_broadcast_distribution():
    base = PolyaGamma(jnp.array([[1.0], [3.0]]), jnp.array([0.5, -2.0, 4.0]))
    wide = base.expand((5, 2, 3))
    assert wide.batch_shape == (5, 2, 3)
    x = wide.sample(jax.random.key(1), (4,))
    assert x.shape == (4, 5, 2, 3)
    assert jax.eval_shape(wide.log_prob, x).shape == (4, 5, 2, 3)
    assert jax.eval_shape(wide.cdf, x).shape == (4, 5, 2, 3)
    # The parameters sit where broadcasting puts them.
    np.testing.assert_array_equal(wide.h, jnp.broadcast_to(base.h, (5, 2, 3)))
    np.testing.assert_array_equal(wide.z, jnp.broadcast_to(base.z, (5, 2, 3)))
    np.testing.assert_array_equal(wide.mean, jnp.broadcast_to(base.mean, (5, 2, 3)))
    np.testing.assert_array_equal(wide.variance, jnp.broadcast_to(base.variance, (5, 2, 3)))
    # Expanded elements are independent draws, not copies.
    assert not np.array_equal(x[:, 0], x[:, 1])
    # Singleton dimensions grow; others must match, and shapes never shrink.
    assert PolyaGamma(jnp.ones((3, 1)), 0.0).expand((3, 4)).batch_shape == (3, 4)
    for bad in [(2, 4), (3,), (4, 3)]:
        with pytest.raises(ValueError):
            base.expand(bad)


def test_vmap_over_the_distribution_parameters():
    h = jnp.array([1.0, 2.0, 30.0])
    z = jnp.array([[0.0, 1.0], [2.0, 3.0], [-1.0, 5.0]])
    d = PolyaGamma(h[:, None], z)
    axes = vmap_over(d, h=0, z=0)
    values = jnp.full((3, 2), 0.4)
    log_prob = jax.vmap(lambda d, v: d.log_prob(v), in_axes=(axes, 0))(d, values)
    np.testing.assert_allclose(log_prob, d.log_prob(values), rtol=1e-13)
    means = jax.vmap(lambda d: d.mean, in_axes=(axes,))(d)
    np.testing.assert_array_equal(means, d.mean)
    draws = jax.vmap(lambda d: d.sample(jax.random.key(0), (6,)), in_axes=(axes,))(d)
    assert draws.shape == (3, 6, 2)
    # A mapped distribution with one key is a loop over its rows with that key.
    for i in range(3):
        row = PolyaGamma(h[i], z[i])
        np.testing.assert_array_equal(draws[i], row.sample(jax.random.key(0), (6,)))


# --------------------------------------------------------------------------
# Arguments, jit, models, dtypes, imports
# --------------------------------------------------------------------------


def test_validate_args_rejects_invalid_parameters_and_values():
    for h, z in [(-1.0, 0.0), (0.0, 1.0), (np.nan, 1.0), (1.0, np.nan), (1.0, np.inf)]:
        with pytest.raises(ValueError):
            PolyaGamma(jnp.array([1.0, h]), z, validate_args=True)
    PolyaGamma(jnp.array([1e-3, 1e3]), jnp.array([-50.0, 50.0]), validate_args=True)
    d = PolyaGamma(1.0, 0.5, validate_args=True)
    for outside in [-1.0, 0.0]:
        with pytest.warns(UserWarning, match="support"):
            assert d.log_prob(outside) == -np.inf
    assert np.isfinite(d.log_prob(0.3))


def test_jit_gives_the_eager_results():
    d = PolyaGamma(jnp.array([0.3, 1.0, 40.0]), jnp.array([2.0, 0.0, -1.0]))
    key = jax.random.key(7)
    value = jnp.array([0.05, 0.25, 9.0])

    # (The cdf runs under jit in the distribution-function checks.)
    @jax.jit
    def everything(d, key, value):
        return d.sample(key, (2,)), d.log_prob(value), d.mean, d.variance

    got = everything(d, key, value)
    want = d.sample(key, (2,)), d.log_prob(value), d.mean, d.variance
    for g, w in zip(got, want, strict=True):
        np.testing.assert_allclose(g, w, rtol=1e-13, atol=0)
    np.testing.assert_array_equal(got[0], want[0])


def test_inside_a_model_with_a_plate():
    from numpyro import handlers
    from numpyro.infer.util import log_density

    z = jnp.linspace(-2.0, 2.0, 5)

    def model():
        with numpyro.plate("rows", 5):
            # A scalar distribution is expanded to the plate's shape.
            numpyro.sample("shared", PolyaGamma(2.0, 0.0))
            numpyro.sample("tilted", PolyaGamma(1.0, z))

    trace = handlers.trace(handlers.seed(model, jax.random.key(3))).get_trace()
    shared, tilted = trace["shared"]["value"], trace["tilted"]["value"]
    assert shared.shape == tilted.shape == (5,)
    assert np.all(shared > 0) and len(np.unique(np.asarray(shared))) == 5
    params = {"shared": shared, "tilted": tilted}
    total, _ = log_density(model, (), {}, params)
    expected = (
        PolyaGamma(jnp.full(5, 2.0), jnp.zeros(5)).log_prob(shared).sum()
        + PolyaGamma(1.0, z).log_prob(tilted).sum()
    )
    np.testing.assert_allclose(total, expected, rtol=1e-13)


def test_dtype_follows_the_parameters():
    key = jax.random.key(2)
    single = PolyaGamma(jnp.float32(1.5), jnp.array([0.0, 2.0], jnp.float32))
    assert single.sample(key, (3,)).dtype == jnp.float32
    assert single.mean.dtype == single.variance.dtype == jnp.float32
    assert PolyaGamma(1, 0).sample(key).dtype == jnp.float64
    assert PolyaGamma(1.0, jnp.zeros(2)).sample(key).dtype == jnp.float64


@pytest.mark.parametrize("half", [jnp.float16, jnp.bfloat16])
def test_half_precision_parameters_sample_in_their_dtype(half):
    key = jax.random.key(5)
    d = PolyaGamma(jnp.asarray([1.0, 3.0], half), jnp.asarray([0.0, 2.0], half))
    draws = d.sample(key, (4,))
    assert draws.dtype == half
    # float32 draws of the widened parameters, rounded to the half dtype.
    wide = vexol.polya_gamma(key, d.h.astype(jnp.float32), d.z.astype(jnp.float32), (4, 2))
    np.testing.assert_array_equal(draws, wide.astype(half))


def test_method_and_implementation_reach_the_sampler():
    key = jax.random.key(6)
    for kwargs in ({"method": "exact"}, {"method": "saddle"}, {"implementation": "jax"}):
        d = PolyaGamma(jnp.array([0.5, 100.0]), 1.0, **kwargs)
        expected = vexol.polya_gamma(key, d.h, d.z, (3, 2), **kwargs)
        np.testing.assert_array_equal(d.sample(key, (3,)), expected)
        # Kept by expand, and by jit, which flattens the distribution.
        wide = d.expand((4, 2))
        assert (wide.method, wide.implementation) == (d.method, d.implementation)
        jitted = jax.jit(lambda d: d.sample(key, (3,)))(d)
        np.testing.assert_array_equal(jitted, expected)
    with pytest.raises(ValueError, match="method"):
        PolyaGamma(1.0, 0.0, method="normal")


def test_float32_without_x64():
    out = _run_python(
        """
        import jax, jax.numpy as jnp
        from vexol.numpyro import PolyaGamma
        assert not jax.config.jax_enable_x64
        d = PolyaGamma(1.0, jnp.array([0.0, 3.0]))
        x = d.sample(jax.random.key(0), (1000,))
        print(x.dtype, d.mean.dtype, float(x.mean()))
        """
    )
    dtype, mean_dtype, mean = out.split()
    assert (dtype, mean_dtype) == ("float32", "float32")
    # PG(1, 0) and PG(1, 3) have means 0.25 and about 0.152.
    assert abs(float(mean) - 0.201) < 0.01


def test_importing_vexol_does_not_import_numpyro():
    out = _run_python(
        """
        import sys
        import vexol
        print("numpyro" in sys.modules)
        import vexol.numpyro
        print("numpyro" in sys.modules, vexol.numpyro.PolyaGamma.__name__)
        """
    )
    assert out.split() == ["False", "True", "PolyaGamma"]
