"""The β | ω draw of vexol.gibbs: the Cholesky and the
Bhattacharya-Chakraborty-Mallick algorithms draw the same Gaussian, the one
the formulas say; and a whole logistic sampler reproduces a posterior
computed by quadrature."""

import jax
import jax.experimental
import jax.numpy as jnp
import numpy as np
import pytest
import scipy.stats

from jax_releases import x64_disabled
from vexol import gibbs

DRAWS = 20_000


def x64_enabled():
    return jax.enable_x64(True) if hasattr(jax, "enable_x64") else jax.experimental.enable_x64()


def conditional(n, p, seed):
    """A fixed ω and the rest of a β | ω problem, and its exact mean and covariance."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    omega = rng.gamma(1.0, 0.2, size=n)
    # vexol's draws can be as small as its 1e-12 floor; BCM must not divide by them.
    omega[0] = 1e-12
    kappa = rng.uniform(-1.5, 1.5, size=n)
    offset = rng.normal(size=n)
    precision = rng.uniform(0.2, 3.0, size=p)
    mean = rng.normal(size=p)
    cov = np.linalg.inv(X.T @ (omega[:, None] * X) + np.diag(precision))
    mu = cov @ (X.T @ (kappa - omega * offset) + precision * mean)
    return (X, omega, kappa, precision, mean, offset), mu, cov


def assert_law(draws, mu, cov):
    """Whitened draws L⁻¹(β - μ), Σ = LL', must be N(0, I): every mean within
    4.5 standard errors, and the sample covariance near I by a chi-square
    test (√N Ĉ_ij, i < j, and √(N/2)(Ĉ_ii - 1) are about standard normal)."""
    white = np.linalg.solve(np.linalg.cholesky(cov), (np.asarray(draws, np.float64) - mu).T).T
    N, p = white.shape
    z = white.mean(axis=0) * np.sqrt(N)
    assert np.max(np.abs(z)) < 4.5, z
    C = np.cov(white.T)
    upper = np.triu_indices(p, 1)
    statistic = N * np.sum(C[upper] ** 2) + N / 2 * np.sum((np.diag(C) - 1) ** 2)
    df = p * (p + 1) // 2
    assert statistic < scipy.stats.chi2.ppf(1 - 1e-4, df), (statistic, df)


@pytest.mark.parametrize(("n", "p"), [(12, 30), (40, 6)], ids=["p>n", "n>p"])
def test_cholesky_and_bcm_draw_the_exact_conditional(n, p):
    with x64_enabled():
        args, mu, cov = conditional(n, p, seed=n + p)
        args = [jnp.asarray(a) for a in args]
        keys = jax.random.split(jax.random.key(n), DRAWS)
        for method in ("cholesky", "bcm"):

            def draw(key, method=method):
                X, omega, kappa, precision, mean, offset = args
                return gibbs.draw_beta(
                    key, X, omega, kappa, precision, mean, offset=offset, method=method
                )

            assert_law(jax.jit(jax.vmap(draw))(keys), mu, cov)
        # "auto" is BCM exactly when n < p (the same key gives the same draw).
        offset = args[5]
        auto = gibbs.draw_beta(keys[0], *args[:5], offset=offset)
        chosen = "bcm" if n < p else "cholesky"
        same = gibbs.draw_beta(keys[0], *args[:5], offset=offset, method=chosen)
        np.testing.assert_array_equal(auto, same)


def test_full_prior_precision():
    with x64_enabled():
        (X, omega, kappa, _, mean, offset), _, _ = conditional(30, 4, seed=5)
        rng = np.random.default_rng(6)
        A = rng.normal(size=(4, 4))
        P = A @ A.T + np.eye(4)
        cov = np.linalg.inv(X.T @ (omega[:, None] * X) + P)
        mu = cov @ (X.T @ (kappa - omega * offset) + P @ mean)
        keys = jax.random.split(jax.random.key(7), DRAWS)
        draws = jax.jit(
            jax.vmap(lambda k: gibbs.draw_beta(k, X, omega, kappa, P, mean, offset=offset))
        )(keys)
        assert_law(draws, mu, cov)
        with pytest.raises(ValueError, match="diagonal"):
            gibbs.draw_beta(keys[0], X, omega, kappa, P, method="bcm")


def quadrature_posterior(X, y, prior_sd):
    """Posterior mean and sd of a two-coefficient logistic regression on a grid."""
    grid = np.linspace(-12, 12, 801)
    b0, b1 = np.meshgrid(grid, grid, indexing="ij")
    psi = b0[..., None] * X[:, 0] + b1[..., None] * X[:, 1]
    log_post = np.sum(y * psi - np.logaddexp(0, psi), axis=-1) - (b0**2 + b1**2) / (2 * prior_sd**2)
    w = np.exp(log_post - log_post.max())
    w /= w.sum()
    mean = np.array([np.sum(w * b0), np.sum(w * b1)])
    sd = np.sqrt(np.array([np.sum(w * b0**2), np.sum(w * b1**2)]) - mean**2)
    return mean, sd


def batch_se(values, batches=100):
    """Standard error of the mean of (chains, draws) values by batch means."""
    chains, draws = values.shape
    size = draws // (batches // chains)
    means = values[:, : size * (batches // chains)].reshape(-1, size).mean(axis=1)
    return means.std(ddof=1) / np.sqrt(len(means))


def test_logistic_posterior_matches_quadrature():
    # Three points, one of them against the slope: a skewed posterior that a
    # wrong conditional or a wrong sign of κ cannot reproduce.
    X = np.array([[1.0, -1.0], [1.0, 0.5], [1.0, 2.0]])
    y = np.array([0.0, 1.0, 0.0])
    prior_sd = 2.0
    mean, sd = quadrature_posterior(X, y, prior_sd)
    with x64_disabled():
        model = gibbs.logistic(X, y, prior_sd=prior_sd)
        result = gibbs.run(
            model, None, jax.random.key(3), sweeps=20_000, warmup=200, progress=False
        )
    beta = result.draws["beta"]
    assert beta.dtype == np.float32
    for j in range(2):
        draws = beta[:, :, j].astype(np.float64)
        z_mean = (draws.mean() - mean[j]) / batch_se(draws)
        centred = (draws - mean[j]) ** 2
        z_var = (centred.mean() - sd[j] ** 2) / batch_se(centred)
        assert abs(z_mean) < 4.5, (j, draws.mean(), mean[j], z_mean)
        assert abs(z_var) < 4.5, (j, centred.mean(), sd[j] ** 2, z_var)
