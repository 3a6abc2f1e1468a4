"""The Gibbs sampler of examples/gibbs_logistic.py: it recovers known
coefficients, agrees with a Laplace approximation of the same posterior, runs
each chain of a vmapped batch exactly as alone; and the diagnostics of
examples/mcmc_diagnostics.py are right on chains with known answers."""

import importlib.util
import pathlib
import sys

import jax
import numpy as np
import pytest

from jax_releases import x64_disabled

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def _load(name, file):
    sys.path.insert(0, str(EXAMPLES))
    try:
        found = importlib.util.spec_from_file_location(name, EXAMPLES / file)
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    finally:
        sys.path.remove(str(EXAMPLES))
    return module


@pytest.fixture(scope="module")
def example():
    return _load("gibbs_logistic_example", "gibbs_logistic.py")


@pytest.fixture(scope="module")
def diagnostics():
    return _load("mcmc_diagnostics_example", "mcmc_diagnostics.py")


@pytest.fixture(scope="module")
def synthetic():
    rng = np.random.default_rng(2024)
    n = 400
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 3))])
    beta = np.array([-0.5, 1.0, -2.0, 0.0])
    y = (rng.uniform(size=n) < 1 / (1 + np.exp(-X @ beta))).astype(np.float64)
    return X, y, beta


PRIOR_SD = 10.0


def laplace(X, y):
    """Posterior mode and the inverse Hessian there, by Newton's method."""
    beta = np.zeros(X.shape[1])
    prior_precision = np.eye(X.shape[1]) / PRIOR_SD**2
    for _ in range(50):
        p = 1 / (1 + np.exp(-X @ beta))
        gradient = X.T @ (y - p) - prior_precision @ beta
        hessian = X.T @ (X * (p * (1 - p))[:, None]) + prior_precision
        beta = beta + np.linalg.solve(hessian, gradient)
    return beta, np.linalg.inv(hessian)


@pytest.fixture(scope="module")
def chain(example, synthetic):
    X, y, _ = synthetic
    draws = example.gibbs_logistic(jax.random.key(1), X, y, 700, prior_sd=PRIOR_SD, block_size=300)
    return draws[100:]


def test_recovers_known_coefficients_within_posterior_intervals(chain, synthetic):
    _, _, beta = synthetic
    low, high = np.quantile(chain, [0.025, 0.975], axis=0)
    assert np.all((low < beta) & (beta < high)), (low, high, beta)
    # The intervals are informative, not merely wide.
    assert np.all(high - low < 1.0)


def test_agrees_with_the_laplace_approximation(chain, synthetic):
    X, y, _ = synthetic
    mode, covariance = laplace(X, y)
    sd = np.sqrt(np.diag(covariance))
    # With 400 observations the posterior is close to normal: the mean sits
    # near the mode and the spread matches the curvature there.
    np.testing.assert_array_less(np.abs(chain.mean(axis=0) - mode), 0.3 * sd)
    ratio = chain.std(axis=0) / sd
    assert np.all((ratio > 0.8) & (ratio < 1.25)), ratio


def test_float32_sampler_with_x64_off_agrees_with_the_laplace_approximation(example, synthetic):
    X, y, _ = synthetic
    mode, covariance = laplace(X, y)
    sd = np.sqrt(np.diag(covariance))
    with x64_disabled():
        draws = example.gibbs_logistic(
            jax.random.split(jax.random.key(2), 2), X, y, 400, prior_sd=PRIOR_SD, block_size=400
        )
    assert draws.dtype == np.float32 and draws.shape == (2, 400, X.shape[1])
    kept = draws[:, 100:].reshape(-1, X.shape[1]).astype(np.float64)
    np.testing.assert_array_less(np.abs(kept.mean(axis=0) - mode), 0.3 * sd)
    ratio = kept.std(axis=0) / sd
    assert np.all((ratio > 0.8) & (ratio < 1.25)), ratio


def test_chain_does_not_depend_on_block_size(example, synthetic):
    X, y, _ = synthetic
    key = jax.random.key(3)
    whole = example.gibbs_logistic(key, X, y, 50, block_size=50)
    pieces = example.gibbs_logistic(key, X, y, 50, block_size=7)
    np.testing.assert_array_equal(whole, pieces)
    other = example.gibbs_logistic(jax.random.key(4), X, y, 50, block_size=50)
    assert not np.array_equal(whole, other)


def test_chains_of_a_batch_are_their_keys_alone(example, synthetic):
    X, y, _ = synthetic
    keys = jax.random.split(jax.random.key(9), 3)
    together = example.gibbs_logistic(keys, X, y, 40, block_size=20)
    assert together.shape == (3, 40, X.shape[1])
    for c in range(3):
        alone = example.gibbs_logistic(keys[c], X, y, 40, block_size=20)
        # The draws of vexol are bit-exact per row under vmap; XLA's batched
        # Cholesky and products round differently from the unbatched ones,
        # by an ulp or so, which rejection samplers could amplify only over
        # far longer runs.
        np.testing.assert_allclose(together[c], alone, rtol=1e-10, atol=1e-12)
    assert not np.array_equal(together[0], together[1])


def ar1(rng, phi, chains, n):
    noise = rng.normal(size=(chains, n))
    x = np.empty((chains, n))
    x[:, 0] = noise[:, 0] / np.sqrt(1 - phi**2)
    for t in range(1, n):
        x[:, t] = phi * x[:, t - 1] + noise[:, t]
    return x


def test_effective_sample_size_of_one_chain(diagnostics):
    rng = np.random.default_rng(7)
    n = 20_000
    independent = rng.normal(size=n)
    assert 0.85 * n < diagnostics.effective_sample_size(independent) < 1.15 * n

    # AR(1) with coefficient phi: ESS = n (1 - phi) / (1 + phi).
    phi = 0.8
    expected = n * (1 - phi) / (1 + phi)
    ess = diagnostics.effective_sample_size(ar1(rng, phi, 1, n)[0])
    assert 0.8 * expected < ess < 1.2 * expected

    # Negatively correlated draws are worth more than independent ones.
    antithetic = ar1(rng, -0.5, 1, n)[0]
    assert diagnostics.effective_sample_size(antithetic) > 1.5 * n


def test_split_rhat_sees_chains_that_disagree_or_drift(diagnostics):
    rng = np.random.default_rng(3)
    chains, n = 4, 2000
    agreeing = rng.normal(size=(chains, n))
    assert diagnostics.split_rhat(agreeing) < 1.01

    shifted = agreeing.copy()
    shifted[0] += 1.0
    assert diagnostics.split_rhat(shifted) > 1.1

    # Every chain drifts the same way: the chains agree with each other, so
    # only the comparison of first and second halves can see it.
    drifting = agreeing + np.linspace(-1.5, 1.5, n)
    assert diagnostics.split_rhat(drifting) > 1.1

    # Same centre, one chain three times as wide: only the folded draws
    # (distance from the median) see it.
    wide = agreeing.copy()
    wide[0] *= 3.0
    assert diagnostics.split_rhat(wide) > 1.05

    # Ranks make it indifferent to heavy tails.
    assert diagnostics.split_rhat(rng.standard_cauchy(size=(chains, n))) < 1.01


def test_bulk_ess_across_chains(diagnostics):
    rng = np.random.default_rng(5)
    chains, n = 4, 4000
    independent = rng.normal(size=(chains, n))
    assert 0.85 * chains * n < diagnostics.bulk_ess(independent) < 1.15 * chains * n
    cauchy = rng.standard_cauchy(size=(chains, n))
    assert 0.85 * chains * n < diagnostics.bulk_ess(cauchy) < 1.15 * chains * n

    phi = 0.8
    correlated = ar1(rng, phi, chains, n)
    expected = chains * n * (1 - phi) / (1 + phi)
    assert 0.8 * expected < diagnostics.bulk_ess(correlated) < 1.2 * expected

    # Ranks make it a property of the order of the draws alone: a monotone
    # transform that gives the draws heavy tails changes nothing.
    heavy = np.exp(3.0 * correlated)
    assert diagnostics.bulk_ess(heavy) == pytest.approx(diagnostics.bulk_ess(correlated), rel=1e-9)
    assert diagnostics.split_rhat(heavy) == pytest.approx(
        diagnostics.split_rhat(correlated), rel=1e-9
    )

    # A chain away from the others makes the draws worth far fewer.
    stuck = correlated.copy()
    stuck[0] += 3.0
    assert diagnostics.bulk_ess(stuck) < 0.3 * expected


def test_summary_of_several_chains(diagnostics):
    rng = np.random.default_rng(1)
    draws = np.stack([rng.normal(2.0, 0.5, size=(3, 5000)), rng.gamma(2.0, size=(3, 5000))], -1)
    summary = diagnostics.summarize(draws)
    np.testing.assert_allclose(summary["mean"], [2.0, 2.0], atol=0.03)
    np.testing.assert_allclose(summary["sd"], [0.5, np.sqrt(2.0)], rtol=0.03)
    np.testing.assert_allclose(summary["2.5%"][0], 2.0 - 1.96 * 0.5, atol=0.03)
    assert np.all(summary["rhat"] < 1.01) and np.all(summary["ess"] > 12_000)
    table = diagnostics.summary_table(draws, ["normal", "gamma"]).splitlines()
    assert len(table) == 3 and table[1].split()[0] == "normal"
    assert "R-hat" in table[0] and "ESS" in table[0]


def test_pooled_autocorrelations_match_numpyro(diagnostics):
    # NumPyro is an optional extra: absent (as in the oldest-JAX environment),
    # this comparison skips and the estimator's own checks above still run.
    numpyro_diagnostics = pytest.importorskip("numpyro.diagnostics")
    correlated = ar1(np.random.default_rng(6), 0.8, 4, 4000)
    assert diagnostics.multichain_ess(correlated) == pytest.approx(
        float(numpyro_diagnostics.effective_sample_size(correlated)), rel=1e-9
    )
