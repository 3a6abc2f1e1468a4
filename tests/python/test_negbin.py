"""The negative-binomial Gibbs sampler of examples/negbin_regression.py: it
recovers known coefficients and dispersion, its r update leaves the exact
conditional of r invariant, its chains do not depend on the block size, every
omega it uses is vexol's draw for the sweep's h and z, and on the real data
one sweep's h = y + r spreads over every method but the Devroye-based ones."""

import importlib.util
import pathlib
import sys

import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy import special

import vexol

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
    """Log posterior density of (b, log r), written from the NB pmf directly."""
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
    """Mode and covariance of the normal approximation in (b, log r), by
    Newton's method from `start` (a point near the mode, where the log
    posterior is concave)."""
    args = (jnp.asarray(X), jnp.asarray(y, jnp.float64), nb.PRIOR_SD, nb.R_SHAPE, nb.R_RATE)
    grad = jax.jit(jax.grad(log_posterior))
    hess = jax.jit(jax.hessian(log_posterior))
    theta = jnp.asarray(start)
    for _ in range(20):
        theta = theta - jnp.linalg.solve(hess(theta, *args), grad(theta, *args))
    assert np.max(np.abs(grad(theta, *args))) < 1e-6
    return np.asarray(theta), np.linalg.inv(-np.asarray(hess(theta, *args)))


@pytest.fixture(scope="module")
def chains(nb, synthetic):
    X, y = synthetic
    keys = jax.random.split(jax.random.key(5), 2)
    beta, r = nb.negbin_gibbs(keys, X, y, 1500, block_size=500)
    return beta[:, 300:], r[:, 300:]


def test_posterior_recovers_known_coefficients_and_dispersion(nb, chains, synthetic):
    beta, r = chains
    draws = np.concatenate([beta, np.log(r)[:, :, None]], axis=2)
    truth = np.append(TRUE_BETA, np.log(TRUE_R))
    low, high = np.quantile(draws.reshape(-1, draws.shape[2]), [0.005, 0.995], axis=0)
    assert np.all((low < truth) & (truth < high)), (low, high, truth)
    # Informative intervals, and chains that agree with each other.
    assert np.all(high - low < 0.4), high - low
    rhat = [nb.mcmc_diagnostics.split_rhat(draws[:, :, j]) for j in range(draws.shape[2])]
    assert max(rhat) < 1.05, rhat

    # With 2000 observations the posterior of (b, log r) is nearly normal: the
    # chain's mean sits near the mode and its spread matches the curvature.
    X, y = synthetic
    pooled = draws.reshape(-1, draws.shape[2])
    mode, covariance = laplace(nb, X, y, start=truth)
    sd = np.sqrt(np.diag(covariance))
    ess = np.array([nb.mcmc_diagnostics.bulk_ess(draws[:, :, j]) for j in range(draws.shape[2])])
    # Monte Carlo error of the mean is sd / sqrt(ESS); the mean-mode gap of
    # this near-normal posterior is far smaller.
    np.testing.assert_array_less(np.abs(pooled.mean(axis=0) - mode), sd * (0.05 + 4 / np.sqrt(ess)))
    ratio = pooled.std(axis=0) / sd
    assert np.all((ratio > 0.85) & (ratio < 1.15)), ratio


def exact_r_conditional(nb, psi, y, grid):
    """Density of r | b, y on a grid, from the NB likelihood and the prior."""
    psi, y = psi[:, None], y[:, None]
    log_density = (
        (special.gammaln(y + grid) - special.gammaln(grid) - grid * np.logaddexp(0.0, psi)).sum(
            axis=0
        )
        + (nb.R_SHAPE - 1) * np.log(grid)
        - nb.R_RATE * grid
    )
    weights = np.exp(log_density - log_density.max())
    return weights / np.trapezoid(weights, grid)


def test_r_update_keeps_the_exact_conditional_of_r(nb, synthetic):
    # With b held fixed, repeating the CRT update of r is a Markov chain whose
    # stationary law must be p(r | b, y), computed here by quadrature.
    X, y = synthetic
    data = nb.make_data(X, y)
    prior = nb.make_prior(X.shape[1])
    psi = data.X @ jnp.asarray(TRUE_BETA)

    @jax.jit
    def run(key):
        def step(r, k):
            r = nb.draw_r(data, prior, psi, r, k)
            return r, r

        return jax.lax.scan(step, jnp.float64(1.0), jax.random.split(key, 3000))[1]

    draws = np.asarray(run(jax.random.key(8)))[500:]
    grid = np.linspace(0.5, 4.0, 20001)
    density = exact_r_conditional(nb, np.asarray(psi), y.astype(np.float64), grid)
    mean = np.trapezoid(grid * density, grid)
    sd = np.sqrt(np.trapezoid((grid - mean) ** 2 * density, grid))
    ess = nb.mcmc_diagnostics.effective_sample_size(draws)
    assert abs(draws.mean() - mean) < 4 * sd / np.sqrt(ess), (draws.mean(), mean, sd, ess)
    assert abs(draws.std() / sd - 1) < 0.06, (draws.std(), sd)


def test_chain_does_not_depend_on_block_size(nb, synthetic, chains):
    X, y = synthetic
    # The `chains` fixture ran these keys in blocks of 500 sweeps.
    keys = jax.random.split(jax.random.key(5), 2)
    beta, r = nb.negbin_gibbs(keys, X, y, 500, block_size=250)
    np.testing.assert_array_equal(beta[:, 300:], chains[0][:, :200])
    np.testing.assert_array_equal(r[:, 300:], chains[1][:, :200])
    assert not np.array_equal(r[0], r[1])


def test_omega_of_a_sweep_is_vexols_draw_for_its_h_and_z(nb, synthetic):
    X, y = synthetic
    data = nb.make_data(X, y)
    prior = nb.make_prior(X.shape[1])
    keys = jax.random.split(jax.random.key(21), 3)
    beta = jnp.asarray([[0.1, 0.5, -0.2], [0.4, 0.9, -0.7], [-0.3, 0.0, 0.2]])
    r = jnp.asarray([0.6, 1.7, 12.0])
    sweep = jnp.asarray(17)

    # The sweep as the example runs it: vmapped over chains, under jit.
    run = jax.jit(
        jax.vmap(lambda key, b, s: nb.gibbs_sweep(data, prior, key, (b, s), sweep), (0, 0, 0))
    )
    (new_beta, new_r), omega = run(keys, beta, r)
    for c in range(len(keys)):
        h = data.y + new_r[c]
        z = data.X @ beta[c]
        seed = vexol.seed_from_key(nb.sweep_keys(keys[c], sweep)[1])
        np.testing.assert_array_equal(np.asarray(omega[c]), np.asarray(vexol.sample(h, z, seed)))
        # The r this sweep used for h is the r it returns, and it moved.
        assert new_r[c] != r[c]
    assert np.all(np.isfinite(np.asarray(new_beta)))


def test_real_data_mix_reaches_every_method_but_devroyes(nb):
    # The data ship with statsmodels, an optional extra of the examples.
    pytest.importorskip("statsmodels")
    X, y, names = nb.load_randhie()
    assert X.shape == (20190, 10) and names[0] == "intercept"
    beta, r = nb.negbin_gibbs(jax.random.split(jax.random.key(0), 1), X, y, 30, block_size=30)
    h = y + r[0, -1]
    z = X @ beta[0, -2]
    shares = nb.method_shares(h, z)
    by_name = dict(zip(nb.METHODS, shares, strict=True))
    # r is continuous, so h = y + r is never an integer: neither Devroye's
    # sampler nor sums of its draws serve any element; everything else does.
    assert by_name["Devroye (h = 1)"] == 0
    assert by_name["sum of Devroye draws (h = 2, 3, 4, |z| <= 1)"] == 0
    reached = [name for name in nb.METHODS if "Devroye" not in name]
    assert all(by_name[name] > 0 for name in reached), by_name
    assert shares.sum() == pytest.approx(1.0)
    # The zeros are the gamma series' share, the counts above 50 the normal's.
    assert by_name["gamma series (h < 1)"] == pytest.approx(np.mean(y == 0))
    assert by_name["normal (h > 50)"] == pytest.approx(np.mean(y + r[0, -1] > 50))


def test_method_boundaries_follow_the_documented_table(nb):
    h = np.array([0.999, 1.0, 2.0, 2.0, 3.0, 4.0, 4.0, 1.5, 4.001, 7.999, 8.0, 50.0, 50.001])
    z = np.array([0.0, 9.0, 1.0, 1.001, -0.5, 0.2, 3.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0])
    expected = [0, 1, 2, 3, 2, 2, 3, 3, 4, 4, 5, 5, 6]
    np.testing.assert_array_equal(nb.pg_methods(h, z), expected)
