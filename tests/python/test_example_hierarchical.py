"""examples/hierarchical_logistic.py: the NUTS model it compares with is the
model its Gibbs sampler draws from (the same log density up to a constant),
and its Gibbs run lands on the maximum-likelihood fit of Fair's affairs data,
whose 6366 rows outweigh the shrinkage prior."""

import jax.numpy as jnp
import numpy as np
import pytest
from scipy import stats

from example_loader import load_example

pytest.importorskip("arviz")
pytest.importorskip("statsmodels")


@pytest.fixture(scope="module")
def example():
    return load_example("hierarchical_example", "hierarchical_logistic.py")


def log_posterior(tau2, alpha, beta, X, y, example):
    """The documented model, written out with SciPy's densities."""
    psi = alpha + X @ beta
    return (
        np.sum(y * psi - np.logaddexp(0.0, psi))
        + stats.invgamma.logpdf(tau2, example.TAU2_SHAPE, scale=example.TAU2_SCALE)
        + stats.norm.logpdf(alpha, 0.0, example.INTERCEPT_SD)
        + np.sum(stats.norm.logpdf(beta, 0.0, np.sqrt(tau2)))
    )


def test_nuts_runs_the_same_model_and_priors(example):
    numpyro_util = pytest.importorskip("numpyro.infer.util")
    X, y, _ = example.load_data()
    X, y = X[:500], y[:500]
    rng = np.random.default_rng(2)
    for _ in range(4):
        tau2, alpha, beta = rng.gamma(2.0, 0.3), rng.normal(), rng.normal(size=X.shape[1]) * 0.3
        nuts, _ = numpyro_util.log_density(
            example.nuts_model,
            (jnp.asarray(X), jnp.asarray(y)),
            {},
            {"tau2": tau2, "alpha": alpha, "beta": beta},
        )
        # Both are normalized densities, so they agree exactly.
        assert float(nuts) == pytest.approx(
            log_posterior(tau2, alpha, beta, X, y, example), abs=1e-8
        )


def test_gibbs_run_lands_on_the_maximum_likelihood_fit(example, capsys):
    import statsmodels.api as sm

    report = example.main(
        ["--sweeps", "400", "--warmup", "100", "--chains", "2", "--nuts-samples", "0"]
    )
    X, y, features = example.load_data()
    assert report["names"] == ["tau2", "alpha", *(f"beta[{f}]" for f in features)]
    draws = report["draws"]
    assert draws.shape == (2, 400, 2 + X.shape[1])
    assert np.all(draws[:, :, 0] > 0)
    fit = sm.Logit(y, sm.add_constant(X)).fit(disp=0)
    coefficients = draws[:, :, 1:].reshape(-1, 1 + X.shape[1])
    np.testing.assert_array_less(np.abs(coefficients.mean(axis=0) - fit.params), 4 * fit.bse)
    ratio = coefficients.std(axis=0, ddof=1) / fit.bse
    assert np.all((ratio > 0.7) & (ratio < 1.4)), ratio
    # tau^2's conditional given beta is InvGamma(1 + p/2, 1 + |beta|^2 / 2):
    # its posterior mean sits near |beta|^2 / p for well-determined slopes.
    slopes = draws[:, :, 2:].reshape(-1, X.shape[1])
    scale = 1.0 + 0.5 * np.mean(np.sum(slopes**2, axis=1))
    expected = scale / (1.0 + X.shape[1] / 2 - 1.0)
    assert draws[:, :, 0].mean() == pytest.approx(expected, rel=0.15)
    assert "tau2" in capsys.readouterr().out
