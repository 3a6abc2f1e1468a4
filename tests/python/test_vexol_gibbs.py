"""examples/gibbs_logistic.py on vexol.gibbs, and the comparison with NUTS that
every example prints (examples/mcmc_compare.py): the example's sampler is the
posterior of its model (a Laplace approximation on synthetic data), its NUTS
model has the same log density, and the comparison computes and reports
what it says: the standardized mean differences, the agreement verdict, the
minimum bulk ESS per second and their ratio, and progress lines that read
well in a log."""

import io
import re

import jax
import numpy as np
import pytest

from example_loader import load_example

pytest.importorskip("arviz")


_load = load_example


@pytest.fixture(scope="module")
def example():
    return _load("gibbs_logistic_example", "gibbs_logistic.py")


@pytest.fixture(scope="module")
def compare():
    return _load("mcmc_compare_example", "mcmc_compare.py")


PRIOR_SD = 0.8  # not the default 2.5, so that the prior must be wired through


@pytest.fixture(scope="module")
def synthetic():
    rng = np.random.default_rng(2024)
    n = 400
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 3))])
    beta = np.array([-0.5, 1.0, -2.0, 0.0])
    y = (rng.uniform(size=n) < 1 / (1 + np.exp(-X @ beta))).astype(np.float64)
    return X, y, beta


def log_posterior(beta, X, y, prior_sd):
    """The model of the example, written out: N(0, sd^2) prior, Bernoulli-logit."""
    psi = X @ beta
    return np.sum(y * psi - np.logaddexp(0.0, psi)) - 0.5 * np.sum(beta**2) / prior_sd**2


def laplace(X, y, prior_sd):
    beta = np.zeros(X.shape[1])
    prior_precision = np.eye(X.shape[1]) / prior_sd**2
    for _ in range(50):
        p = 1 / (1 + np.exp(-X @ beta))
        gradient = X.T @ (y - p) - prior_precision @ beta
        hessian = X.T @ (X * (p * (1 - p))[:, None]) + prior_precision
        beta = beta + np.linalg.solve(hessian, gradient)
    return beta, np.linalg.inv(hessian)


def test_nuts_runs_the_same_model_and_prior(example, synthetic):
    numpyro_util = pytest.importorskip("numpyro.infer.util")
    X, y, _ = synthetic
    rng = np.random.default_rng(0)
    # Log densities of the same posterior differ by a constant only.
    gaps = []
    for _ in range(4):
        beta = rng.normal(size=X.shape[1])
        nuts, _ = numpyro_util.log_density(example.nuts_model, (X, y, PRIOR_SD), {}, {"beta": beta})
        gaps.append(float(nuts) - log_posterior(beta, X, y, PRIOR_SD))
    np.testing.assert_allclose(gaps, gaps[0], atol=1e-8)


def test_demo_samples_the_posterior_of_its_model(example, synthetic, monkeypatch, tmp_path, capsys):
    # The demo's own wiring (intercept column, prior, warm-up, chains) on
    # synthetic data small enough to check against a Laplace approximation.
    X, y, _ = synthetic
    features = X[:, 1:]
    # Every row trains (the held-out rows are a repeat of some of them): at
    # 400 rows the posterior mean sits close to the mode.
    split = features, features[:100], y, y[:100], ["intercept", "a", "b", "c"]
    monkeypatch.setattr(example, "_load_data", lambda seed: split)
    mode, covariance = laplace(X, y, PRIOR_SD)
    # NUTS stands in by draws of the Laplace approximation, and 7.5 s of
    # compiling: the output's comparison part without running NUTS.
    laplace_draws = np.random.default_rng(1).multivariate_normal(mode, covariance, (2, 300))
    nuts = example.mcmc_compare.NutsRun({"beta": laplace_draws}, 20.0, 7.5, 0)
    monkeypatch.setattr(example.mcmc_compare, "run_nuts", lambda *a, **k: nuts)
    report = example.main(
        [
            "--sweeps",
            "700",
            "--warmup",
            "300",
            "--chains",
            "2",
            "--prior-sd",
            str(PRIOR_SD),
            "--output",
            str(tmp_path / "demo.png"),
        ]
    )
    draws = report["draws"]
    assert draws.shape == (2, 700, 4)
    assert (tmp_path / "demo.png").stat().st_size > 10_000
    assert (tmp_path / "demo_vs_nuts.png").stat().st_size > 10_000  # the forest comparison
    # One compile-time figure per sampler, under one label, wherever printed.
    out = capsys.readouterr().out
    figures = re.findall(r"([\d.]+) s (\S+ )?compil", out)
    assert figures and all(label == "XLA " for _, label in figures), figures
    gibbs_figures = {f for f, _ in figures} - {"7.5"}
    assert len(gibbs_figures) == 1 and len(figures) == 3, out
    sd = np.sqrt(np.diag(covariance))
    pooled = draws.reshape(-1, 4)
    np.testing.assert_array_less(np.abs(pooled.mean(axis=0) - mode), 0.3 * sd)
    ratio = pooled.std(axis=0) / sd
    assert np.all((ratio > 0.8) & (ratio < 1.25)), ratio
    assert report["accuracy"] > 0.7


# --------------------------------------------------------------------------
# The comparison with NUTS
# --------------------------------------------------------------------------


def ar1(rng, phi, chains, n, q):
    noise = rng.normal(size=(chains, n, q))
    x = np.empty_like(noise)
    x[:, 0] = noise[:, 0] / np.sqrt(1 - phi**2)
    for t in range(1, n):
        x[:, t] = phi * x[:, t - 1] + noise[:, t]
    return x


def test_comparison_reports_differences_agreement_and_rates(compare):
    rng = np.random.default_rng(3)
    chains, n = 4, 2000
    nuts = rng.normal(size=(chains, n, 3)) * [1.0, 2.0, 0.5]
    # Gibbs: correlated draws (fewer effective samples), the second quantity
    # shifted by 0.3 of its sd.
    gibbs = ar1(rng, 0.8, chains, n, 3) * np.sqrt(1 - 0.8**2) * [1.0, 2.0, 0.5]
    gibbs[:, :, 1] += 0.3 * 2.0
    c = compare.compare(["a", "b", "c"], gibbs, nuts, gibbs_seconds=2.0, nuts_seconds=8.0)

    np.testing.assert_allclose(c.difference[1], 0.3, atol=0.1)
    assert c.worst == 1 and not c.agree
    # AR(1) at 0.8 keeps about (1 - 0.8) / (1 + 0.8) of the draws.
    expected = chains * n * 0.2 / 1.8
    assert np.all((0.7 * expected < c.gibbs_ess) & (c.gibbs_ess < 1.3 * expected)), c.gibbs_ess
    assert np.all(c.nuts_ess > 0.8 * chains * n)
    assert c.gibbs_rate == pytest.approx(c.gibbs_ess.min() / 2.0)
    assert c.nuts_rate == pytest.approx(c.nuts_ess.min() / 8.0)
    assert c.speedup == pytest.approx(c.gibbs_rate / c.nuts_rate)

    text = compare.verdict(c, 0.5, 1.5)
    assert "NOT within 0.1" in text and "(b)" in text
    assert f"Gibbs / NUTS = {c.speedup:.1f}x" in text

    fixed = gibbs.copy()
    fixed[:, :, 1] -= 0.3 * 2.0
    agreeing = compare.compare(["a", "b", "c"], fixed, nuts, 2.0, 8.0)
    assert agreeing.agree and "within 0.1" in compare.verdict(agreeing, 0.5, 1.5)


def test_comparison_table_heads_each_column_once(compare):
    from test_example_demos import column_labels

    rng = np.random.default_rng(4)
    draws = rng.normal(size=(2, 200, 2))
    c = compare.compare(["x", "y"], draws, draws + 0.01, 1.0, 1.0)
    lines = compare.comparison_table(c).splitlines()
    assert len(lines) == 3
    labels = column_labels(lines[0], lines[1])
    assert len(labels) == 8 and len(set(labels)) == 8, labels


def test_scalars_name_and_order_every_element(compare):
    draws = {"tau": np.zeros((2, 5)), "beta": np.arange(2 * 5 * 6.0).reshape(2, 5, 2, 3)}
    names, stacked = compare.scalars(draws)
    assert names[:3] == ["tau", "beta[0, 0]", "beta[0, 1]"] and names[-1] == "beta[1, 2]"
    assert stacked.shape == (2, 5, 7)
    np.testing.assert_array_equal(stacked[:, :, 1 + 4], draws["beta"][:, :, 1, 1])
    named, _ = compare.scalars(draws, {"beta": list("uvwxyz")})
    assert named == ["tau", *"uvwxyz"]
    with pytest.raises(ValueError):
        compare.scalars(draws, {"beta": ["too", "few"]})


def test_chosen_rows_keep_the_worst_and_the_slowest(compare):
    rng = np.random.default_rng(5)
    nuts = rng.normal(size=(2, 400, 40))
    gibbs = rng.normal(size=(2, 400, 40))
    gibbs[:, :, 17] += 1.0  # far off
    gibbs[:, :, 23] = np.cumsum(rng.normal(size=(2, 400)), axis=1) * 0.05  # sticky
    c = compare.compare([f"q{j}" for j in range(40)], gibbs, nuts, 1.0, 1.0)
    rows = compare.chosen_rows(c, 8)
    assert len(rows) == 8 and rows == sorted(rows)
    assert 17 in rows and int(np.argmin(c.gibbs_ess)) in rows
    assert compare.chosen_rows(c, 50) == list(range(40))


def test_tables_and_figures_share_one_interval(compare):
    # ArviZ's summary, the printed intervals and the figures' come from one
    # setting, 95% equal-tailed: of Exp(1), from -log(0.975) to -log(0.025)
    # (its 95% HDI would end at 3.0, the 89% interval at 2.2).
    draws = np.random.default_rng(6).exponential(size=(4, 20_000))
    low, high = compare.interval(draws, axis=(0, 1))
    assert low == pytest.approx(0.0253, abs=0.003) and high == pytest.approx(3.689, rel=0.02)
    row = compare.posterior_summary({"x": draws}, round_to="none").loc["x"].to_numpy(float)
    assert np.isclose(row, low).any() and np.isclose(row, high).any(), row


def test_progress_lines_for_a_log(compare, monkeypatch):
    sink = io.StringIO()
    clock = [0.0]
    monkeypatch.setattr(compare.time, "monotonic", lambda: clock[0])
    lines = compare._Lines(sink, interval=20.0, chains=2)
    for _ in range(2):
        for step in range(1, 1001):
            clock[0] += 0.1
            # tqdm's own rounding: 100% from 995/1000 on.
            lines.write(f"\rsample: {round(step / 10):3d}%|###| {step}/1000")
    # A line every 20 seconds of redraws, and each finished bar, with its chain.
    out = sink.getvalue().splitlines()
    assert out[0] == "NUTS chain 1/2: sample:   0%|###| 1/1000"
    finished = [line for line in out if "100%" in line]
    assert finished[-2:] == [f"NUTS chain {c}/2: sample: 100%|###| 1000/1000" for c in (1, 2)]
    assert len(finished) <= 4, finished
    assert 10 <= len(out) <= 14, out
    assert all("\r" not in line for line in out)
    assert not lines.isatty()


def test_compile_seconds_counts_compilations(compare):
    before = compare.compile_seconds()
    jax.jit(lambda x: jax.numpy.sin(x) * 3.0 + 1.0)(np.arange(7.0)).block_until_ready()
    assert compare.compile_seconds() > before
