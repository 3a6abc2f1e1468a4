"""The Gibbs sampler of examples/gibbs_logistic.py: it recovers known
coefficients, agrees with a Laplace approximation of the same posterior, and
its effective-sample-size estimate is right on chains with known answers."""

import importlib.util
import pathlib

import jax
import numpy as np
import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "gibbs_logistic.py"


@pytest.fixture(scope="module")
def example():
    found = importlib.util.spec_from_file_location("gibbs_logistic_example", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


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


def test_chain_does_not_depend_on_block_size(example, synthetic):
    X, y, _ = synthetic
    key = jax.random.key(3)
    whole = example.gibbs_logistic(key, X, y, 50, block_size=50)
    pieces = example.gibbs_logistic(key, X, y, 50, block_size=7)
    np.testing.assert_array_equal(whole, pieces)
    other = example.gibbs_logistic(jax.random.key(4), X, y, 50, block_size=50)
    assert not np.array_equal(whole, other)


def test_effective_sample_size(example):
    rng = np.random.default_rng(7)
    n = 20_000
    independent = rng.normal(size=n)
    assert 0.85 * n < example.effective_sample_size(independent) < 1.15 * n

    # AR(1) with coefficient phi: ESS = n (1 - phi) / (1 + phi).
    phi = 0.8
    noise = rng.normal(size=n)
    ar = np.empty(n)
    ar[0] = noise[0] / np.sqrt(1 - phi**2)
    for t in range(1, n):
        ar[t] = phi * ar[t - 1] + noise[t]
    expected = n * (1 - phi) / (1 + phi)
    assert 0.8 * expected < example.effective_sample_size(ar) < 1.2 * expected

    # Negatively correlated draws are worth more than independent ones.
    antithetic = np.empty(n)
    antithetic[0] = noise[0]
    for t in range(1, n):
        antithetic[t] = -0.5 * antithetic[t - 1] + noise[t]
    assert example.effective_sample_size(antithetic) > 1.5 * n
