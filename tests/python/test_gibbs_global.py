"""The global moves: the independence t step keeps its target, the builders
centre it at the posterior mode with the Laplace covariance and choose it by
their rule, and the sweeps with it leave their posteriors invariant
(Geweke's joint-distribution test, test_gibbs_invariance's machinery)."""

import importlib.util

import jax
import jax.experimental
import jax.numpy as jnp
import numpy as np
import pytest

import test_gibbs_invariance as geweke
from vexol import gibbs
from vexol.gibbs import _directions, _global, _logistic, _multinomial, _negbin
from vexol.gibbs._model import gaussian_prior


@pytest.fixture(autouse=True, scope="module")
def x64():
    enabled = jax.enable_x64(True) if hasattr(jax, "enable_x64") else jax.experimental.enable_x64()
    with enabled:
        yield


def test_independence_move_keeps_its_target():
    # Chains started exactly in a N(0, I) target, moved 20 times from a t
    # proposal that fits it badly (off centre, too narrow): the draws must
    # keep the target's moments. Only the q(x)/q(x') terms (both of them, at
    # the proposal's own degrees of freedom) correct for that misfit.
    chains, steps, d = 40_000, 20, 2
    centre = jnp.asarray([0.4, -0.3])
    scale = jnp.asarray([[0.7, 0.0], [0.2, 0.6]])

    def chain(key):
        start_key, move_key = jax.random.split(key)

        def one(t, x):
            key = jax.random.fold_in(move_key, t)
            return gibbs.independence_move(key, x, lambda v: -0.5 * v @ v, centre, scale)[0]

        return jax.lax.fori_loop(0, steps, one, jax.random.normal(start_key, (d,), jnp.float64))

    x = np.asarray(jax.jit(jax.vmap(chain))(jax.random.split(jax.random.key(7), chains)))
    radius2 = np.sum(x**2, axis=1)
    # z-scores against the exact N(0, I) values: means, second moments, and
    # the chi-square(2) tail P(|x|² > 4) = e^-2.
    tail = radius2 > 4.0
    z = np.concatenate(
        [
            x.mean(0) / np.sqrt(1.0 / chains),
            (np.mean(x**2, 0) - 1.0) / np.sqrt(2.0 / chains),
            [(tail.mean() - np.exp(-2)) / np.sqrt(np.exp(-2) * (1 - np.exp(-2)) / chains)],
        ]
    )
    print("\n", np.round(z, 2))
    assert np.all(np.abs(z) < 4.5), z


def _binomial_problem(n=60, seed=0):
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    trials = rng.integers(1, 4, size=n).astype(float)
    offset = rng.normal(scale=0.5, size=n)
    y = rng.binomial(trials.astype(int), 1 / (1 + np.exp(-(X @ [0.3, 0.8, -0.5] + offset))))
    return X, y.astype(float), trials, offset


def _check_laplace(X, y, trials, offset, mean, precision, mode, scale):
    """The centre is the posterior mode (gradient 0) and scale scale' the
    inverse negative Hessian there, both by autodiff of the log density."""

    def log_density(beta):
        psi = jnp.asarray(X) @ beta + offset
        return _directions.binomial_log_density(beta, psi, y, trials, mean, precision)

    mode = jnp.asarray(mode)
    gradient = np.asarray(jax.grad(log_density)(mode))
    hessian = np.asarray(jax.hessian(log_density)(mode))
    assert np.max(np.abs(gradient)) < 1e-6 * np.max(np.abs(np.diag(hessian))), gradient
    np.testing.assert_allclose(scale @ scale.T @ -hessian, np.eye(len(mode)), atol=1e-8)


def test_log_density_terms_within_an_ulp_of_logaddexp():
    # The direction steps' log(1 + e^ψ) is written without log1p, for speed:
    # each term must stay within one unit in the last place of max(1, term),
    # where e^-|ψ| rounds away and where e^ψ alone would overflow.
    psi = np.concatenate([-np.logspace(-8, 3, 200), [0.0], np.logspace(-8, 3, 200)])
    for dtype in (jnp.float64, jnp.float32):
        x = jnp.asarray(psi, dtype)
        got = np.asarray(_directions.softplus(x), np.float64)
        want = np.logaddexp(0.0, np.asarray(x, np.float64))
        assert np.max(np.abs(got - want) / np.maximum(1.0, want)) <= np.finfo(dtype).eps


def test_builders_fit_the_laplace_approximation_and_choose_by_their_rule():
    X, y, trials, offset = _binomial_problem()
    options = {"trials": trials, "offset": offset, "prior_sd": [3.0, 2.0, 2.0]}
    # Well-conditioned, plain Gibbs fast (λ < 2): no global move by the rule.
    assert gibbs.logistic(X, y, **options).report["global_move"] is None
    model = gibbs.logistic(X, y, global_move="t", **options)
    report = model.report
    mean, precision = np.zeros(3), np.asarray([3.0, 2.0, 2.0]) ** -2
    _check_laplace(X, y, trials, offset, mean, precision, **report["proposal"])
    # The t step, accepted about as often as predicted.
    assert report["blocks"][0]["acceptance"] > 0.5
    run = gibbs.run(model, None, jax.random.key(0), sweeps=300, chains=2, progress=False)
    taken = float(run.draws["global_accepted"].mean())
    assert abs(taken - report["blocks"][0]["acceptance"]) < 0.15, taken
    assert "global_accepted" in model.sample_stats
    if importlib.util.find_spec("arviz") is not None:  # an optional extra
        assert "global_accepted" in gibbs.to_arviz(run, model=model).sample_stats

    # Each stick of a multinomial: its own binomial posterior on the trials left.
    rng = np.random.default_rng(1)
    labels = np.digitize(X[:, 1] + rng.normal(size=len(X)), [-0.5, 0.5])
    model = gibbs.multinomial(X, labels)
    Y = np.eye(3)[labels]
    left = Y.sum(1, keepdims=True) - np.cumsum(Y, 1) + Y
    offsets = np.asarray(gibbs.stick_breaking_offsets(3), np.float64)
    fit = model.report["proposal"]
    for k in range(2):
        _check_laplace(
            X,
            Y[:, k],
            left[:, k],
            np.full(len(X), offsets[k]),
            np.zeros(3),
            np.full(3, 2.5**-2),
            fit["mode"][k],
            fit["scale"][k],
        )

    # The hierarchical model's joint (β, log τ²) at its mode, by autodiff.
    model = gibbs.hierarchical_logistic(X, y, trials=trials, tau2_shape=2.0, tau2_scale=1.5)
    fit = model.report["proposal"]
    prior = _logistic.ScalePrior(jnp.asarray([True, False, False]), 5.0**-2, 2.0, 1.5)

    def log_density(x):
        return _logistic.hierarchical_log_density(x, jnp.asarray(X), y, trials, prior)

    gradient = np.asarray(jax.grad(log_density)(jnp.asarray(fit["mode"])))
    hessian = np.asarray(jax.hessian(log_density)(jnp.asarray(fit["mode"])))
    assert np.max(np.abs(gradient)) < 1e-6 * np.max(np.abs(np.diag(hessian))), gradient
    np.testing.assert_allclose(fit["scale"] @ fit["scale"].T @ -hessian, np.eye(4), atol=1e-8)

    # The negative binomial's joint (log r, β), with an offset: its mode and
    # covariance by autodiff of the density the step targets.
    counts = rng.negative_binomial(2.0, 1 / (1 + np.exp(X @ [0.5, 0.3, -0.2] + offset)))
    model = gibbs.negbin(X, counts, prior_sd=3.0, r_shape=2.0, r_rate=0.5, offset=offset)
    fit = model.report["proposal"]
    prior = _negbin.NegBinPrior(jnp.zeros(3), jnp.full(3, 3.0**-2), 2.0, 0.5)
    y_nb = jnp.asarray(counts, jnp.float64)
    at_least = _negbin.count_levels(y_nb, int(counts.max()))

    def log_density(x):
        return _negbin.negbin_log_density(x, jnp.asarray(X), y_nb, at_least, prior, offset)

    gradient = np.asarray(jax.grad(log_density)(jnp.asarray(fit["mode"])))
    hessian = np.asarray(jax.hessian(log_density)(jnp.asarray(fit["mode"])))
    assert np.max(np.abs(gradient)) < 1e-6 * np.max(np.abs(np.diag(hessian))), gradient
    np.testing.assert_allclose(fit["scale"] @ fit["scale"].T @ -hessian, np.eye(4), atol=1e-8)
    assert "global_accepted" in model.sample_stats

    # Separable data in 20 dimensions: the Laplace fit is poor and plain
    # Gibbs slow, so the rule makes the direction rounds; an explicit choice
    # overrides it.
    X = np.column_stack([np.ones(150), rng.normal(size=(150, 19))])
    separable = (X[:, 1:4].sum(1) > 0).astype(float)
    report = gibbs.logistic(X, separable).report
    assert report["blocks"][0]["acceptance"] < _global.MIN_ACCEPTANCE
    assert report["blocks"][0]["slowdown"] > _global.MIN_SLOWDOWN
    assert report["global_move"] == "directions"
    assert gibbs.logistic(X, separable, global_move="t").report["global_move"] == "t"
    with pytest.raises(ValueError, match="global_move"):
        gibbs.logistic(X, separable, global_move="laplace")
    text = gibbs.describe(gibbs.logistic(X, separable, global_move=None))
    assert "slowdown λ" in text and "global move: none (as requested)" in text


def test_logistic_with_the_t_step():
    # The t step alone (30 rounds, undiluted) and inside logistic_sweep with an
    # offset. The proposal is fixed across data sets (any fixed proposal keeps
    # each posterior invariant) and deliberately off: centred away from the
    # prior mean and narrower than the prior, so its density terms matter.
    n, p = 10, 3
    X = geweke.design(n, p, 6)
    mean, precision = gaussian_prior(p, [0.3, 0.0, -0.2], [1.0, 0.8, 1.2], jnp.float64)
    trials = jnp.asarray([1.0, 1.0, 2.0, 2.0, 3.0] * 2)
    offset = jnp.asarray([1.0, -1.0, 0.5, 2.0, -1.5] * 2)
    proposal = (jnp.asarray([0.6, -0.3, 0.1]), jnp.diag(jnp.asarray([0.7, 0.6, 0.8])))

    def replicate(key):
        prior_key, y_key, chain_key, move_key = jax.random.split(key, 4)
        beta = mean + jax.random.normal(prior_key, (p,), jnp.float64) / jnp.sqrt(precision)
        y = geweke.bernoulli_sum(y_key, trials, jax.nn.sigmoid(X @ beta + offset), 3)
        kappa = y - trials / 2

        def log_target(b):
            psi = X @ b + offset
            return _directions.binomial_log_density(b, psi, y, trials, mean, precision)

        def move(t, b):
            key = jax.random.fold_in(move_key, t)
            return gibbs.independence_move(key, b, log_target, *proposal)[0]

        moved = jax.lax.fori_loop(0, 30, move, beta)

        def sweep(k, s):
            return _logistic.logistic_sweep(
                k, s, X, y, trials, mean, precision, offset, proposal=proposal
            )

        end = geweke.sweeps(sweep, chain_key, _logistic.LogisticState(beta, jnp.zeros(n)))
        statistic = X.T @ kappa
        start = geweke.beta_moments(beta, statistic)
        return jnp.concatenate([start, start]), jnp.concatenate(
            [geweke.beta_moments(moved, statistic), geweke.beta_moments(end.beta, statistic)]
        )

    names = geweke.moment_names(p)
    geweke.check(
        geweke.geweke_z(replicate, 17),
        [f"moves {m}" for m in names] + [f"sweep {m}" for m in names],
    )


def test_multinomial_line_steps_with_the_t_step():
    n, p, K = 6, 2, 3
    X = geweke.design(n, p, 4)
    mean, precision = gaussian_prior(p, 0.0, [1.0, 0.7], jnp.float64)
    offsets = _multinomial.stick_breaking_offsets(K, jnp.float64)
    totals = jnp.asarray([1.0, 1.0, 2.0, 3.0, 4.0, 6.0])
    proposal = (jnp.asarray([[0.5, -0.4], [-0.3, 0.2]]), jnp.tile(0.6 * jnp.eye(p), (K - 1, 1, 1)))
    directions = jnp.asarray([[[1.0, 0.5]], [[-0.4, 1.0]]])
    lines = (directions, jnp.einsum("np,kmp->knm", X, directions))

    def replicate(key):
        prior_key, y_key, chain_key = jax.random.split(key, 3)
        beta = mean + jax.random.normal(prior_key, (K - 1, p), jnp.float64) / jnp.sqrt(precision)
        take = jax.nn.sigmoid(X @ beta.T + offsets)
        left, counts = totals, []
        for k, y_k in enumerate(jax.random.split(y_key, K - 1)):
            drawn = geweke.bernoulli_sum(y_k, left, take[:, k], 6)
            counts.append(drawn)
            left = left - drawn
        trials, kappa = _multinomial.stick_breaking_data(jnp.stack([*counts, left], axis=1))

        def sweep(k, s):
            # With line steps too: each stick's own successes, trials and offset.
            return _multinomial.multinomial_sweep(
                k, s, X, trials, kappa, offsets, mean, precision, proposal=proposal, lines=lines
            )

        end = geweke.sweeps(sweep, chain_key, _multinomial.MultinomialState(beta, trials * 0))
        statistic = (X.T @ kappa).T
        return (
            geweke.beta_moments(beta, statistic).ravel(),
            geweke.beta_moments(end.beta, statistic).ravel(),
        )

    names = [f"{m}[k{k}].{j}" for m in ("b", "b^2", "b*s") for k in range(K - 1) for j in range(p)]
    geweke.check(geweke.geweke_z(replicate, 19), names)


def test_hierarchical_with_the_t_step():
    # The joint step of (β, log τ²): its target carries τ²'s prior and the
    # Jacobian of τ² = e^u, which only the draws of τ² can check. Alone (30
    # rounds) and inside hierarchical_sweep.
    n, p = 8, 3
    X = geweke.design(n, p, 2)
    prior = _logistic.ScalePrior(
        jnp.asarray([True, False, False]),
        jnp.asarray(1 / 1.5**2),
        jnp.asarray(3.0),
        jnp.asarray(2.0),
    )
    trials = jnp.full(n, 2.0)
    proposal = (jnp.asarray([0.3, -0.2, 0.2, -0.5]), jnp.diag(jnp.asarray([0.8, 0.6, 0.6, 0.5])))

    def replicate(key):
        tau_key, prior_key, y_key, chain_key, move_key = jax.random.split(key, 5)
        tau2 = prior.scale / jax.random.gamma(tau_key, prior.shape, dtype=jnp.float64)
        beta = jnp.where(prior.fixed, 1.5, jnp.sqrt(tau2)) * jax.random.normal(prior_key, (p,))
        y = geweke.bernoulli_sum(y_key, trials, jax.nn.sigmoid(X @ beta), 2)
        statistic = X.T @ (y - trials / 2)

        def move(t, x):
            key = jax.random.fold_in(move_key, t)
            target = lambda x: _logistic.hierarchical_log_density(x, X, y, trials, prior)  # noqa: E731
            return gibbs.independence_move(key, x, target, *proposal)[0]

        moved = jax.lax.fori_loop(0, 30, move, jnp.append(beta, jnp.log(tau2)))

        def sweep(k, s):
            return _logistic.hierarchical_sweep(k, s, X, y, trials, prior, proposal=proposal)

        state = _logistic.HierarchicalLogisticState(beta, tau2, y * 0)
        end = geweke.sweeps(sweep, chain_key, state)

        def g(beta, log_tau2):
            extra = [log_tau2, log_tau2**2, log_tau2 * jnp.sum(beta[1:] ** 2)]
            return jnp.concatenate([geweke.beta_moments(beta, statistic), jnp.stack(extra)])

        start = g(beta, jnp.log(tau2))
        return jnp.concatenate([start, start]), jnp.concatenate(
            [g(moved[:-1], moved[-1]), g(end.beta, jnp.log(end.tau2))]
        )

    names = [*geweke.moment_names(p), "log t2", "log t2^2", "log t2*|b|^2"]
    geweke.check(
        geweke.geweke_z(replicate, 23),
        [f"moves {m}" for m in names] + [f"sweep {m}" for m in names],
    )


def test_negbin_with_the_t_step():
    # The joint step of (log r, β): its target carries r's Gamma prior and
    # the Jacobian r of r = e^u, which only the draws of r can check. Alone
    # (30 rounds, undiluted by the exact CRT and β draws) and inside
    # negbin_sweep with the shift move. The proposal is fixed and off centre.
    n, p = 8, 2
    X = geweke.design(n, p, 3) * jnp.asarray([1.0, 0.5])
    mean, precision = gaussian_prior(p, [-0.5, 0.0], [0.4, 0.4], jnp.float64)
    prior = _negbin.NegBinPrior(mean, precision, jnp.asarray(3.0), jnp.asarray(1.0))
    proposal = (jnp.asarray([1.3, -0.3, 0.2]), jnp.diag(jnp.asarray([0.45, 0.35, 0.3])))

    def replicate(key):
        problem_key, chain_key, move_key = jax.random.split(key, 3)
        beta, r, y = geweke.negbin_problem(problem_key, X, prior)
        at_least = _negbin.count_levels(y, geweke.NB_LEVELS)

        def target(x):
            return _negbin.negbin_log_density(x, X, y, at_least, prior)

        def move(t, state):
            x, taken = state
            x, took = gibbs.independence_move(jax.random.fold_in(move_key, t), x, target, *proposal)
            return x, taken + took

        moved, taken = jax.lax.fori_loop(0, 30, move, (jnp.append(jnp.log(r), beta), 0))

        def sweep(k, s):
            return _negbin.negbin_sweep(
                k, s, X, y, at_least, prior, intercept=0, shift_scale=0.5, proposal=proposal
            )

        none = jnp.zeros((), jnp.int32)
        end = geweke.sweeps(sweep, chain_key, _negbin.NegBinState(beta, r, y * 0, 0.0, none))
        statistic = X.T @ y

        def g(log_r, beta):
            extra = [log_r, log_r**2, log_r * jnp.mean(y), log_r * beta[0]]
            return jnp.concatenate([geweke.beta_moments(beta, statistic), jnp.stack(extra)])

        start = g(jnp.log(r), beta)
        return (
            jnp.concatenate([start, start]),
            jnp.concatenate([g(moved[0], moved[1:]), g(jnp.log(end.r), end.beta)]),
            jnp.max(y),
            jnp.stack([taken / 30, end.global_accepted]),
        )

    keys = jax.random.split(jax.random.key(29), geweke.REPLICATES)
    start, end, top, taken = jax.jit(jax.vmap(replicate))(keys)
    # As in test_gibbs_invariance: the CRT levels stop at NB_LEVELS, and
    # leaving out those data sets (an event of y alone) keeps the test exact.
    kept = np.asarray(top) < geweke.NB_LEVELS
    assert kept.mean() > 0.97
    # Both steps must move for the test to say anything about them.
    rates = np.asarray(taken, np.float64)[kept].mean(0)
    assert np.all((rates > 0.1) & (rates < 0.95)), rates
    d = (np.asarray(end) - np.asarray(start))[kept]
    z = d.mean(axis=0) / (d.std(axis=0, ddof=1) / np.sqrt(len(d)))
    names = [*geweke.moment_names(p), "log r", "log r^2", "log r*ybar", "log r*b0"]
    geweke.check(z, [f"moves {m}" for m in names] + [f"sweep {m}" for m in names])
