"""examples/negbin_regression.py on vexol.gibbs: its sampler is the posterior
of its model (recovers known coefficients and dispersion, and matches a
Laplace approximation of the same posterior on synthetic data), its NUTS
model has the same log density, and on the real data one sweep's h = y + r
spreads over every method but the Devroye-based ones, as the example's
table of methods says."""

import importlib.util
import pathlib
import sys

import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy import special

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture(scope="module")
def nb():
    sys.path.insert(0, str(EXAMPLES))
    try:
        found = importlib.util.spec_from_file_location(
            "negbin_example", EXAMPLES / "negbin_regression.py"
        )
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    finally:
        sys.path.remove(str(EXAMPLES))
    return module


TRUE_BETA = np.array([0.3, 0.7, -0.5])
TRUE_R = 1.7


@pytest.fixture(scope="module")
def synthetic():
    rng = np.random.default_rng(11)
    n = 2000
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    mean = TRUE_R * np.exp(X @ TRUE_BETA)
    y = rng.poisson(rng.gamma(TRUE_R, mean / TRUE_R))
    return X, y


def log_posterior(theta, X, y, beta_sd, r_shape, r_rate):
    """Log posterior density of (b, log r), written from the NB pmf directly
    (the Jacobian of r = exp(log r) included)."""
    beta, log_r = theta[:-1], theta[-1]
    r = jnp.exp(log_r)
    psi = X @ beta
    loglik = jnp.sum(
        jax.scipy.special.gammaln(y + r)
        - jax.scipy.special.gammaln(r)
        + y * psi
        - (y + r) * jnp.logaddexp(0.0, psi)
    )
    prior = -0.5 * jnp.sum(beta**2) / beta_sd**2 + r_shape * log_r - r_rate * r
    return loglik + prior


def laplace(nb, X, y, start):
    args = (jnp.asarray(X), jnp.asarray(y, jnp.float64), nb.PRIOR_SD, nb.R_SHAPE, nb.R_RATE)
    grad = jax.jit(jax.grad(log_posterior))
    hess = jax.jit(jax.hessian(log_posterior))
    theta = jnp.asarray(start)
    for _ in range(20):
        theta = theta - jnp.linalg.solve(hess(theta, *args), grad(theta, *args))
    assert np.max(np.abs(grad(theta, *args))) < 1e-6
    return np.asarray(theta), np.linalg.inv(-np.asarray(hess(theta, *args)))


def test_example_sampler_recovers_the_posterior_of_its_model(nb, synthetic):
    pytest.importorskip("arviz")
    from vexol import gibbs

    X, y = synthetic
    result = gibbs.run(
        nb.negbin_model(X, y), None, jax.random.key(5), sweeps=800, warmup=200, chains=2,
        progress=False,
    )  # fmt: skip
    beta, r = result.draws["beta"], result.draws["r"]
    draws = np.concatenate([beta, np.log(r)[:, :, None]], axis=2)
    truth = np.append(TRUE_BETA, np.log(TRUE_R))
    pooled = draws.reshape(-1, draws.shape[2])
    low, high = np.quantile(pooled, [0.005, 0.995], axis=0)
    assert np.all((low < truth) & (truth < high)), (low, high, truth)
    rhat = np.asarray(gibbs.rhat({"x": draws})["x"])
    assert rhat.max() < 1.05, rhat

    mode, covariance = laplace(nb, X, y, start=truth)
    sd = np.sqrt(np.diag(covariance))
    ess = np.asarray(gibbs.ess({"x": draws})["x"])
    np.testing.assert_array_less(np.abs(pooled.mean(axis=0) - mode), sd * (0.05 + 4 / np.sqrt(ess)))
    ratio = pooled.std(axis=0) / sd
    assert np.all((ratio > 0.85) & (ratio < 1.15)), ratio


def test_nuts_runs_the_same_model_and_priors(nb, synthetic):
    numpyro_util = pytest.importorskip("numpyro.infer.util")
    X, y = synthetic
    X, y = X[:300], y[:300].astype(np.float64)
    rng = np.random.default_rng(1)
    gaps = []
    for _ in range(4):
        beta, r = rng.normal(scale=0.5, size=3), rng.gamma(2.0)
        nuts, _ = numpyro_util.log_density(nb.nuts_model, (X, y), {}, {"beta": beta, "r": r})
        # NumPyro's density is in r, the reference's in log r: the Jacobian r,
        # and NumPyro keeps the normalizing constants (log y! among them).
        theta = jnp.append(jnp.asarray(beta), jnp.log(r))
        reference = log_posterior(theta, X, y, nb.PRIOR_SD, nb.R_SHAPE, nb.R_RATE) - np.log(r)
        gaps.append(float(nuts) - float(reference))
    constant = -np.sum(special.gammaln(y + 1))
    np.testing.assert_allclose(np.array(gaps) - constant, gaps[0] - constant, atol=1e-7)


def test_real_data_mix_reaches_every_method_but_devroyes(nb):
    pytest.importorskip("statsmodels")
    X, y, names = nb.load_randhie()
    assert X.shape == (20190, 10) and names[0] == "intercept"
    # A point of the posterior (the statsmodels fit: its intercept is b_0 + log r).
    r = 0.77
    beta = np.array([-1.44, 0.11, -0.0011, 0.022, 0.15, 0.009, 0.038, -0.044, 0.017, 0.18])
    h, z = y + r, X @ beta
    shares = nb.method_shares(h, z)
    by_name = dict(zip(nb.METHODS, shares, strict=True))
    # r is not an integer, so h = y + r never is: neither Devroye's sampler
    # nor sums of its draws serve any element; everything else does.
    assert by_name["Devroye (h = 1)"] == 0
    assert by_name["sum of Devroye draws (h = 2, 3, 4, |z| <= 1)"] == 0
    reached = [name for name in nb.METHODS if "Devroye" not in name]
    assert all(by_name[name] > 0 for name in reached), by_name
    assert shares.sum() == pytest.approx(1.0)
    # The zeros are the gamma series' share, the counts above 50 the normal's.
    assert by_name["gamma series (h < 1)"] == pytest.approx(np.mean(y == 0))
    assert by_name["normal (h > 50)"] == pytest.approx(np.mean(y + r > 50))


def test_method_boundaries_follow_the_documented_table(nb):
    h = np.array([0.999, 1.0, 2.0, 2.0, 3.0, 4.0, 4.0, 1.5, 4.001, 7.999, 8.0, 50.0, 50.001])
    z = np.array([0.0, 9.0, 1.0, 1.001, -0.5, 0.2, 3.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0])
    expected = [0, 1, 2, 3, 2, 2, 3, 3, 4, 4, 5, 5, 6]
    np.testing.assert_array_equal(nb.pg_methods(h, z), expected)
