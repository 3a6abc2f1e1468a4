"""The contracts of vexol.gibbs around the samplers: the runner (chain
layout, warm-up, thinning and blocks change nothing but what is kept),
precision, the stick-breaking link, the HMCGibbs adapters, ArviZ conversion
and diagnostics."""

import importlib.util
import sys

import jax
import jax.experimental
import jax.extend.backend
import jax.numpy as jnp
import numpy as np
import pytest

import vexol
from jax_releases import x64_disabled
from vexol import gibbs
from vexol.gibbs import _logistic


def x64_enabled():
    return jax.enable_x64(True) if hasattr(jax, "enable_x64") else jax.experimental.enable_x64()


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(8)
    n = 30
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    y = (rng.random(n) < 1 / (1 + np.exp(-X @ np.array([0.3, 1.0, -1.0])))).astype(float)
    return X, y


def test_warmup_thinning_and_blocks_only_choose_what_is_kept(data, capsys, monkeypatch):
    # Asked before the second run hides tqdm from the import system.
    has_tqdm = importlib.util.find_spec("tqdm") is not None
    with x64_disabled():
        model = gibbs.logistic(*data)
        key = jax.random.key(5)
        every = gibbs.run(model, None, key, sweeps=12, chains=3, block_size=6, progress=True)
        # tqdm is optional: without it, no progress and the same run.
        monkeypatch.setitem(sys.modules, "tqdm", None)
        kept = gibbs.run(model, None, key, sweeps=8, warmup=4, chains=3, thin=2, block_size=4)
    # Progress off a terminal: tqdm's line per block for a log, each once,
    # no carriage returns; nothing from the run without tqdm.
    err = capsys.readouterr().err
    lines = err.splitlines()
    if not has_tqdm:
        # An environment without the extra (the oldest-JAX pass's): no
        # progress from either run.
        assert not any("vexol.gibbs" in line for line in lines), err
    else:
        assert "\r" not in err and len(lines) == 2, err
        assert lines[0].startswith("vexol.gibbs:  50%") and "6/12" in lines[0]
        assert lines[1].startswith("vexol.gibbs: 100%") and "12/12" in lines[1]
    beta = every.draws["beta"]
    assert beta.shape == (3, 12, 3) and beta.dtype == np.float32
    assert kept.draws["beta"].shape == (3, 4, 3)
    # Sweep t of chain c has the same key in both runs: global sweeps
    # 5, 7, 9, 11 (0-based) are the kept ones after 4 warm-up sweeps.
    np.testing.assert_array_equal(kept.draws["beta"], beta[:, 5::2])
    np.testing.assert_array_equal(np.asarray(kept.state.beta), beta[:, -1])
    np.testing.assert_array_equal(np.asarray(every.state.beta), beta[:, -1])
    # Chains differ and each chain moves.
    assert not np.array_equal(beta[0], beta[1])
    assert np.all(np.abs(np.diff(beta, axis=1)).max(axis=(1, 2)) > 0)
    timing = every.timing
    assert timing.compile_seconds > 0 and timing.sampling_seconds > 0
    assert timing.total_seconds >= timing.compile_seconds + timing.sampling_seconds
    assert (timing.sweeps, timing.chains) == (12, 3)
    # Sweeps count as run counts them, after warm-up; the rate includes it.
    assert (kept.timing.sweeps, kept.timing.warmup) == (8, 4)
    assert kept.timing.sweeps_per_second == pytest.approx(36 / kept.timing.sampling_seconds)
    assert timing.sweeps_per_second == pytest.approx(36 / timing.sampling_seconds)


def test_plain_step_and_explicit_starts(data):
    X, y = data
    with x64_disabled():
        model = gibbs.logistic(X, y)
        start = model.init(jax.random.key(0))
        key = jax.random.key(9)
        shared = gibbs.run(model.step, start, key, sweeps=3, chains=2, progress=False)
        batched_start = jax.tree_util.tree_map(lambda x: jnp.stack([x, x]), start)
        batched = gibbs.run(
            model.step, batched_start, key, 3, chains=2, init_batched=True, progress=False
        )
    # Without collect the whole state is kept, ω included.
    assert isinstance(shared.draws, _logistic.LogisticState)
    assert shared.draws.omega.shape == (2, 3, len(y))
    np.testing.assert_array_equal(shared.draws.beta, batched.draws.beta)
    with pytest.raises(ValueError, match="init"):
        gibbs.run(model.step, None, key, 3)


def test_starts_and_sweeps_follow_the_documented_keys(data):
    # Chain c starts at init(fold_in(k_c, 2**32 - 1)) and sweep t uses
    # fold_in(k_c, t), k_c = split(key, chains)[c], whatever the blocks.
    with x64_disabled():
        model = gibbs.logistic(*data)
        key = jax.random.key(3)
        chain_keys = jax.random.split(key, 2)
        starts = [model.init(jax.random.fold_in(k, 2**32 - 1)) for k in chain_keys]
        by_hand = []
        for k, state in zip(chain_keys, starts, strict=True):
            for t in range(3):
                state = model.step(jax.random.fold_in(k, t), state)
            by_hand.append(state.beta)
        none = gibbs.run(model, None, key, sweeps=0, chains=2, progress=False)
        run = gibbs.run(model, None, key, sweeps=2, warmup=1, chains=2, block_size=1)
    for c in range(2):
        np.testing.assert_array_equal(np.asarray(none.state.beta)[c], starts[c].beta)
    assert none.draws["beta"].shape == (2, 0, 3)
    np.testing.assert_allclose(run.draws["beta"][:, -1], np.stack(by_hand), rtol=1e-5)


def test_float64_with_x64():
    rng = np.random.default_rng(1)
    X = np.column_stack([np.ones(20), rng.normal(size=20)])
    y = rng.poisson(3.0, size=20)
    with x64_enabled():
        result = gibbs.run(gibbs.negbin(X, y), None, jax.random.key(2), 5, progress=False)
    assert result.draws["beta"].dtype == np.float64
    assert result.draws["r"].shape == (4, 5)
    with x64_disabled(), pytest.raises(ValueError, match="x64"):
        gibbs.negbin(X, y, dtype=jnp.float64)


def test_negbin_shift_ratio_in_float32_at_large_n():
    # The shift move's log acceptance ratio at n = 2·10⁵, float32 against
    # float64 on the same (float32) state and steps. As a difference of two
    # log-likelihood sums it was 0.01 to 0.1 off here, whatever the step;
    # the bound scales with the ratio, not with n.
    from vexol.gibbs import _negbin

    rng = np.random.default_rng(7)
    n = 200_000
    psi = (1.0 + 0.8 * rng.normal(size=n)).astype(np.float32)
    # NB(2, σ(ψ)) counts, from 0 to several hundred.
    y = rng.poisson(rng.gamma(2.0, np.exp(psi))).astype(np.float32)
    eps = np.float32([-0.3, -0.01, -0.003, 0.003, 0.01, 0.3])
    r, b0 = np.float32(2.0), np.float32(0.5)
    r_new, b0_new = r * np.exp(eps), b0 - eps

    def ratios(dtype):
        r0, b, p, counts, a, b_rate = (jnp.asarray(v, dtype) for v in (r, b0, psi, y, 1.0, 0.1))
        prior = _negbin.NegBinPrior(jnp.zeros(2, dtype), jnp.full(2, 0.01, dtype), a, b_rate)

        def one(e, rn, bn):
            return _negbin._shift_log_ratio(e, r0, rn, b, bn, p, counts, prior, 0)

        steps = (jnp.asarray(v, dtype) for v in (eps, r_new, b0_new))
        return np.asarray(jax.jit(jax.vmap(one))(*steps), np.float64)

    with x64_enabled():
        exact, single = ratios(jnp.float64), ratios(jnp.float32)
    assert np.all(np.abs(single - exact) <= 1e-3 + 1e-4 * np.abs(exact)), (exact, single - exact)


def test_stick_breaking_probabilities():
    K = 5
    offsets = gibbs.stick_breaking_offsets(K)
    # Zero coefficients favour no class.
    np.testing.assert_allclose(
        gibbs.stick_breaking_probabilities(jnp.zeros((2, K - 1)) + offsets), 1 / K, rtol=1e-6
    )
    # The law, written out stick by stick.
    psi = np.random.default_rng(0).normal(size=(3, K - 1)) * 3
    take = 1 / (1 + np.exp(-psi))
    expected = np.zeros((3, K))
    left = np.ones(3)
    for k in range(K - 1):
        expected[:, k] = left * take[:, k]
        left = left * (1 - take[:, k])
    expected[:, -1] = left
    np.testing.assert_allclose(gibbs.stick_breaking_probabilities(psi), expected, rtol=1e-5)


def test_invalid_data_is_refused():
    X = np.column_stack([np.ones(4), np.arange(4.0)])
    with pytest.raises(ValueError, match="0/1 labels"):
        gibbs.logistic(X, [0, 1, 2, 1])
    with pytest.raises(ValueError, match="integer counts"):
        gibbs.logistic(X, [0, 1, 2, 1], trials=[1, 1, 1, 3])
    with pytest.raises(ValueError, match="all ones"):
        gibbs.negbin(X[:, ::-1], [0, 1, 2, 1])
    with pytest.raises(ValueError, match="labels"):
        gibbs.multinomial(X, [0, 1, 3, 1], num_classes=3)
    with pytest.raises(ValueError, match="method"):
        gibbs.logistic(X, [0, 1, 1, 0], beta_method="qr")


def test_hmc_gibbs_adapters_make_the_samplers_updates(data):
    X, y = data
    key = jax.random.key(4)
    beta = jnp.asarray([0.2, -0.5, 0.7], jnp.float32)
    with x64_disabled():
        precision = jnp.asarray([1 / 25, 2.0, 2.0], jnp.float32)
        fn = gibbs.logistic_gibbs_fn(
            X,
            y,
            sites=("alpha", "beta"),
            prior_precision=lambda s: jnp.concatenate(
                [jnp.array([1 / 25]), jnp.full(2, s["tau"] ** -2)]
            ),
        )
        out = fn(key, {"alpha": beta[0], "beta": beta[1:]}, {"tau": jnp.sqrt(0.5)})
        state = _logistic.LogisticState(beta, jnp.zeros(len(y)))
        ref = _logistic.logistic_sweep(
            key,
            state,
            jnp.asarray(X, jnp.float32),
            jnp.asarray(y, jnp.float32),
            1.0,
            jnp.zeros(3),
            precision,
        ).beta
        assert out["alpha"].shape == () and out["beta"].shape == (2,)
        np.testing.assert_allclose(out["alpha"], ref[0], rtol=1e-5, atol=1e-6)
        np.testing.assert_allclose(out["beta"], ref[1:], rtol=1e-5, atol=1e-6)

        counts = np.round(np.exp(X @ np.array([1.0, 0.3, 0.0]))).astype(float)
        nb = gibbs.negbin_gibbs_fn(X, counts, prior_precision=0.01)
        out = nb(key, {"beta": beta}, {"r": jnp.asarray(2.5, jnp.float32)})["beta"]
        # The negative-binomial update is the β part of the full sweep: ω ~
        # PG(y + r, ψ), κ = (y - r)/2. Compare with the same draws done by hand.
        omega_key, beta_key = jax.random.split(key)
        Xf = jnp.asarray(X, jnp.float32)
        yf = jnp.asarray(counts, jnp.float32)
        omega = vexol.polya_gamma(omega_key, yf + 2.5, Xf @ beta)
        ref = gibbs.draw_beta(beta_key, Xf, omega, 0.5 * (yf - 2.5), jnp.full(3, 0.01))
        np.testing.assert_allclose(out, ref, rtol=1e-5, atol=1e-6)


def test_hmc_gibbs_runs_in_numpyro(data):
    numpyro = pytest.importorskip("numpyro")
    import numpyro.distributions as dist
    from numpyro.infer import MCMC, NUTS, HMCGibbs

    X, y = data

    def model(X, y):
        tau = numpyro.sample("tau", dist.HalfNormal(1.0))
        beta = numpyro.sample("beta", dist.Normal(0.0, tau).expand([X.shape[1]]).to_event(1))
        numpyro.sample("y", dist.Bernoulli(logits=X @ beta), obs=y)

    with x64_disabled():
        fn = gibbs.logistic_gibbs_fn(X, y, prior_precision=lambda s: s["tau"] ** -2)
        kernel = HMCGibbs(NUTS(model), gibbs_fn=fn, gibbs_sites=["beta"])
        mcmc = MCMC(kernel, num_warmup=30, num_samples=40, progress_bar=False)
        mcmc.run(jax.random.key(0), jnp.asarray(X, jnp.float32), jnp.asarray(y, jnp.float32))
    samples = mcmc.get_samples()
    assert samples["beta"].shape == (40, 3)
    assert np.all(np.isfinite(samples["beta"])) and np.all(np.asarray(samples["tau"]) > 0)
    assert len(np.unique(np.asarray(samples["beta"][:, 1]))) == 40


def test_arviz_conversion_and_diagnostics():
    arviz = pytest.importorskip("arviz")
    rng = np.random.default_rng(3)
    draws = {"beta": rng.normal(size=(4, 500, 2)), "r": rng.gamma(2.0, size=(4, 500))}
    tree = gibbs.to_arviz(draws, dims={"beta": ["feature"]}, coords={"feature": ["a", "b"]})
    posterior = tree["posterior"]
    assert posterior["beta"].shape == (4, 500, 2)
    assert list(posterior["beta"].coords["feature"].values) == ["a", "b"]
    rhat = gibbs.rhat(draws)
    assert rhat["beta"].shape == (2,) and np.all(np.abs(rhat["beta"] - 1) < 0.02)
    # Chains are kept apart: one chain shifted away must show in R-hat.
    shifted = {"beta": draws["beta"] + np.array([3.0, 0, 0, 0])[:, None, None]}
    assert np.all(gibbs.rhat(shifted)["beta"] > 1.2)
    # Independent draws: ESS about the number of draws, bulk and tail.
    for method in ("bulk", "tail"):
        ess = gibbs.ess(draws, method)
        assert np.all(ess["beta"] > 1200) and np.all(ess["beta"] < 2800)
    # An AR(1) chain with ρ = 0.9 has about N (1 - ρ)/(1 + ρ) effective draws.
    ar = np.zeros((4, 4000))
    noise = rng.normal(size=(4, 4000))
    for t in range(1, 4000):
        ar[:, t] = 0.9 * ar[:, t - 1] + noise[:, t]
    assert 500 < gibbs.ess(ar)["x"] < 1200
    table = gibbs.summary(draws)
    assert {"mean", "r_hat", "ess_bulk", "ess_tail"} <= set(table.columns)
    assert len(table) == 3
    assert arviz.__version__


def test_arviz_missing_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "arviz", None)
    with pytest.raises(ImportError, match=r"vexol\[arviz\]"):
        gibbs.to_arviz({"x": np.zeros((2, 3))})


def test_pg_options_reach_polya_gamma(data):
    X, y = data
    key = jax.random.key(6)
    with x64_disabled():
        model = gibbs.logistic(X, y, pg_options={"method": "exact"})
        state = model.init(jax.random.key(1))
        omega = jax.jit(model.step)(key, state).omega
        psi = jnp.asarray(X, jnp.float32) @ state.beta
        expected = vexol.polya_gamma(jax.random.split(key)[0], 1.0, psi, method="exact")
        np.testing.assert_array_equal(omega, expected)
        # Refused when the sampler is built, not at its first sweep.
        with pytest.raises(ValueError, match="no-such-method"):
            gibbs.logistic(X, y, pg_options={"method": "no-such-method"})
        if set(jax.extend.backend.backends()) != {"cpu"}:
            return
        # With the CPU alone the programs leave out the other platforms'
        # sampler unless asked to keep it, and draw the same.
        lean, both = gibbs.logistic(X, y), gibbs.logistic(X, y, pg_options={"implementation": None})
        traced = [jax.jit(m.step).trace(key, state) for m in (lean, both)]
        np.testing.assert_array_equal(*(t.lower().compile()(key, state).beta for t in traced))
        with pytest.raises(NotImplementedError, match="lowered for"):
            traced[0].lower(lowering_platforms=("cuda",))
        assert "stablehlo" in traced[1].lower(lowering_platforms=("cuda",)).as_text()


def test_slow_directions_are_the_slow_ones_and_the_moves_speed_them_up():
    # Nearly separable data: plain Gibbs crawls along the first direction
    # slow_directions returns (its lag-one autocorrelation is about
    # 1 - 1/slowdown), the last is fast, and one Metropolis step per sweep
    # along the first cuts its autocorrelation.
    from vexol.gibbs import _directions

    rng = np.random.default_rng(3)
    n = 80
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    y = (X[:, 1] + 0.3 * rng.normal(size=n) > 0).astype(float)
    precision = np.full(3, 1 / 3.0**2)
    vectors, slowdown = _directions.slow_directions(X, y, 1.0, np.zeros(3), precision, 3)
    assert slowdown[0] > 5 and np.all(np.diff(slowdown) <= 0)
    mode = _directions.posterior_mode(X, y, 1.0, np.zeros(3), precision)
    mu = 1 / (1 + np.exp(-X @ mode))
    fisher = X.T @ ((mu * (1 - mu))[:, None] * X) + np.diag(precision)
    np.testing.assert_allclose(vectors @ fisher @ vectors.T, np.eye(3), atol=1e-8)

    def lag_one(draws, w):
        u = draws @ w
        u = u - u.mean(axis=1, keepdims=True)
        return float(np.sum(u[:, 1:] * u[:, :-1]) / np.sum(u * u))

    # (H v)'β is the functional whose autocorrelation 1 - 1/λ predicts.
    functionals = (fisher @ vectors.T).T
    with x64_enabled():
        key = jax.random.key(1)
        runs = {
            k: gibbs.run(
                gibbs.logistic(
                    X, y, prior_sd=3.0, slow_directions=k, global_move=None, dtype=jnp.float64
                ),
                None,
                key,
                sweeps=3000,
                warmup=300,
                progress=False,
            ).draws["beta"]
            for k in (0, 1)
        }
    slow_plain = lag_one(runs[0], functionals[0])
    assert abs(slow_plain - (1 - 1 / slowdown[0])) < 0.05
    assert lag_one(runs[0], functionals[2]) < slow_plain - 0.3
    assert lag_one(runs[1], functionals[0]) < slow_plain - 0.15


# --------------------------------------------------------------------------
# ArviZ groups of a run: sample statistics apart from the posterior, the
# observed data and the pointwise log-likelihood of every model
# --------------------------------------------------------------------------


def _pointwise_models():
    from scipy import special, stats

    rng = np.random.default_rng(11)
    n, p, C, D = 7, 2, 2, 3
    X = np.column_stack([np.ones(n), rng.normal(size=n)])
    trials = rng.integers(1, 6, size=n)
    successes = rng.binomial(trials, 0.4).astype(float)
    labels = (rng.random(n) < 0.5).astype(float)
    counts = rng.poisson(4.0, size=n).astype(float)
    classes = np.eye(3)[rng.integers(0, 3, size=n)] * trials[:, None]
    offset = rng.normal(size=n)
    beta = rng.normal(size=(C, D, p))
    sticks = rng.normal(size=(C, D, 2, p))
    r = rng.gamma(3.0, size=(C, D))

    def sigmoid(psi):
        return special.expit(psi)

    def stick_probabilities(beta):
        # Stick k takes σ(ψ_k) of what the sticks before it left.
        take = sigmoid(np.einsum("np,cdkp->cdnk", X, beta) - np.log([2.0, 1.0]))
        left = np.cumprod(1 - take, axis=-1)
        before = np.concatenate([np.ones_like(left[..., :1]), left[..., :-1]], axis=-1)
        return np.concatenate([take * before, left[..., -1:]], axis=-1)

    return {
        "logistic": (
            gibbs.logistic(X, labels, offset=offset),
            {"beta": beta},
            stats.bernoulli.logpmf(labels, sigmoid(beta @ X.T + offset)),
        ),
        "binomial": (
            gibbs.hierarchical_logistic(X, successes, trials=trials),
            {"beta": beta, "tau2": r},
            stats.binom.logpmf(successes, trials, sigmoid(beta @ X.T)),
        ),
        "negbin": (
            gibbs.negbin(X, counts),
            {"beta": beta, "r": r, "shift_accepted": np.ones((C, D))},
            # SciPy's success probability is 1 - σ(ψ) in this parametrization.
            stats.nbinom.logpmf(counts, r[..., None], 1 - sigmoid(beta @ X.T)),
        ),
        "multinomial": (
            gibbs.multinomial(X, classes),
            {"beta": sticks},
            stats.multinomial.logpmf(classes, trials, stick_probabilities(sticks)),
        ),
    }


@pytest.mark.parametrize("name", ["logistic", "binomial", "negbin", "multinomial"])
def test_to_arviz_groups_of_every_model(name):
    pytest.importorskip("arviz")
    with x64_disabled():
        model, draws, expected = _pointwise_models()[name]
    result = gibbs.RunResult(draws, None, None, model)
    tree = gibbs.to_arviz(result)
    np.testing.assert_allclose(tree["log_likelihood"]["y"].values, expected, rtol=1e-10)
    assert tree["observed_data"]["y"].shape == expected.shape[2:] + (
        (3,) if name == "multinomial" else ()
    )
    stats = [k for k in draws if k not in ("beta", "r", "tau2")]
    assert sorted(tree["posterior"].data_vars) == sorted(set(draws) - set(stats))
    assert sorted(tree["sample_stats"].data_vars if stats else []) == stats
    # summary takes what to_arviz returns, and reports the posterior alone.
    table = gibbs.summary(tree)
    assert not any(row.startswith("shift_accepted") for row in table.index)
    assert set(gibbs.rhat(tree)) == set(tree["posterior"].data_vars)


def test_loo_of_a_run_agrees_with_nuts(data):
    arviz = pytest.importorskip("arviz")
    numpyro = pytest.importorskip("numpyro")
    import numpyro.distributions as dist
    from numpyro.infer import MCMC, NUTS

    X, y = data
    with x64_disabled():
        result = gibbs.run(
            gibbs.logistic(X, y, prior_sd=2.5), None, jax.random.key(0), 1000, 200, progress=False
        )
        gibbs_loo = arviz.loo(gibbs.to_arviz(result))

        def model(X, y=None):
            beta = numpyro.sample("beta", dist.Normal(0.0, 2.5).expand([X.shape[1]]).to_event(1))
            numpyro.sample("y", dist.Bernoulli(logits=X @ beta), obs=y)

        Xf, yf = jnp.asarray(X, jnp.float32), jnp.asarray(y, jnp.float32)
        mcmc = MCMC(NUTS(model), num_warmup=500, num_samples=4000, progress_bar=False)
        mcmc.run(jax.random.key(1), Xf, yf)
        samples = mcmc.get_samples()
        pointwise = numpyro.infer.log_likelihood(model, samples, Xf, yf)["y"]
    nuts_loo = arviz.loo(
        arviz.from_dict(
            {
                "posterior": {"beta": np.asarray(samples["beta"])[None]},
                "log_likelihood": {"y": np.asarray(pointwise, np.float64)[None]},
            }
        )
    )
    assert np.isfinite(gibbs_loo.elpd)
    # The two estimate one elpd (about -16, se 5.4): they differ by Monte
    # Carlo error alone, far less than the standard error.
    assert abs(gibbs_loo.elpd - nuts_loo.elpd) < 0.2 * gibbs_loo.se
