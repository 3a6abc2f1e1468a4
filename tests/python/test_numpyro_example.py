"""examples/numpyro_hierarchical_logistic.py at a tiny size: both samplers
run, their draws are finite and in the support, they land on the
maximum-likelihood fit of the well-determined coefficients with its
standard errors, and the
effective-sample-size report is consistent."""

import importlib.util
import pathlib

import numpy as np
import pytest

pytest.importorskip("numpyro")
pytest.importorskip("statsmodels")

EXAMPLE = (
    pathlib.Path(__file__).resolve().parents[2] / "examples" / "numpyro_hierarchical_logistic.py"
)


@pytest.fixture(scope="module")
def example():
    found = importlib.util.spec_from_file_location("numpyro_hierarchical_logistic", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_tiny_run_is_sane(example, capsys):
    import statsmodels.api as sm

    draws = 60
    result = example.main(["--num-samples", str(draws), "--num-warmup", "60", "--seed", "3"])
    printed = capsys.readouterr().out

    X, y, features = example.load_data()
    assert result["names"] == ["tau", "alpha (intercept)", *(f"beta[{f}]" for f in features)]
    # With 6366 rows the likelihood dominates the shrinkage prior, so the
    # posterior of the intercept and coefficients sits near the
    # maximum-likelihood fit (the prior moves it by well under one
    # standard error)...
    fit = sm.Logit(y, sm.add_constant(X)).fit(disp=0)
    for sampler in ("gibbs", "nuts"):
        run = result[sampler]
        assert run["draws"].shape == (draws, 2 + X.shape[1])
        assert np.all(np.isfinite(run["draws"]))
        assert np.all(run["draws"][:, 0] > 0)  # tau
        assert np.all(run["draws"].std(axis=0) > 0)  # the chains move
        coefficients = run["draws"][:, 1:]
        error = np.abs(coefficients.mean(axis=0) - fit.params)
        np.testing.assert_array_less(error, 4 * fit.bse)
        # ... and spread about as far as its standard errors.
        ratio = coefficients.std(axis=0, ddof=1) / fit.bse
        assert np.all((ratio > 0.5) & (ratio < 2)), ratio
        assert np.all((run["ess"] > 0) & np.isfinite(run["ess"]))
        rates = result[f"{sampler}_rates"]
        assert rates["seconds"] > 0
        assert rates["min_ess"] == pytest.approx(run["ess"].min())
        assert rates["min_ess_per_s"] == pytest.approx(run["ess"].min() / rates["seconds"])
    # The agreement figure is the largest standardized difference of means.
    g, n = result["gibbs"]["draws"], result["nuts"]["draws"]
    diff = np.abs(g.mean(0) - n.mean(0)) / n.std(0, ddof=1)
    assert result["max_diff_sd"] == pytest.approx(diff.max())
    assert result["agree"] == (diff.max() <= example.AGREEMENT_SD)
    # The summary prints one row per parameter and the comparison.
    for name in result["names"]:
        assert name in printed
    assert "agreement: largest |mean difference|" in printed
    assert "min ESS/s" in printed
