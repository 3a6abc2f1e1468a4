"""Every vexol.gibbs sweep leaves its posterior invariant: Geweke's
joint-distribution test, started exactly.

Draw θ₀ from the prior and data y | θ₀, so that θ₀ is an exact draw from the
posterior given y; run T sweeps from θ₀ on y. If the sweep leaves every
posterior invariant, (θ_T, y) has the law of (θ₀, y), so E g(θ_T, y) =
E g(θ₀, y) for any g. Replicates are independent (vmapped over data sets),
so a z-test of the paired differences g(θ_T, y) - g(θ₀, y) is exact: no
autocorrelation enters. The functions g are the parameters, their squares and
their products with a statistic of the data (which is what a sign or scale
error in the likelihood part of a conditional moves). Seeds are fixed; the
threshold 4.5 leaves the correct samplers a wide margin (all |z| are printed
with -s).
"""

import jax
import jax.experimental
import jax.numpy as jnp
import numpy as np
import pytest

import vexol
from vexol.gibbs import _directions, _logistic, _multinomial, _negbin
from vexol.gibbs._model import gaussian_prior

REPLICATES = 3000
SWEEPS = 8
THRESHOLD = 4.5


@pytest.fixture(autouse=True, scope="module")
def x64():
    # The invariance is a property of the algorithm; float64 keeps rounding
    # out of the comparison (test_gibbs_run.py covers float32 runs).
    enabled = jax.enable_x64(True) if hasattr(jax, "enable_x64") else jax.experimental.enable_x64()
    with enabled:
        yield


def geweke_z(replicate, seed):
    """z-scores of the paired differences g(θ_T, y) - g(θ₀, y) over replicates."""
    keys = jax.random.split(jax.random.key(seed), REPLICATES)
    start, end = jax.jit(jax.vmap(replicate))(keys)
    d = np.asarray(end, np.float64) - np.asarray(start, np.float64)
    assert np.all(np.isfinite(d))
    return d.mean(axis=0) / (d.std(axis=0, ddof=1) / np.sqrt(REPLICATES))


def check(z, names):
    print("\n" + "  ".join(f"{n}={v:+.2f}" for n, v in zip(names, z, strict=True)))
    worst = int(np.argmax(np.abs(z)))
    assert abs(z[worst]) < THRESHOLD, f"{names[worst]}: z = {z[worst]:+.2f}"


def sweeps(sweep, key, state):
    return jax.lax.fori_loop(0, SWEEPS, lambda t, s: sweep(jax.random.fold_in(key, t), s), state)


def design(n, p, seed):
    rng = np.random.default_rng(seed)
    return jnp.asarray(np.column_stack([np.ones(n), rng.normal(size=(n, p - 1))]))


def moment_names(p, data="s"):
    return (
        [f"b{j}" for j in range(p)]
        + [f"b{j}^2" for j in range(p)]
        + [f"b{j}*{data}{j}" for j in range(p)]
    )


def beta_moments(beta, statistic):
    return jnp.concatenate([beta, beta**2, beta * statistic])


def bernoulli_sum(key, trials, probability, most):
    """Binomial(trials, probability) draws as sums of Bernoulli draws
    (trials at most ``most``): cheaper to compile than jax.random.binomial."""
    u = jax.random.uniform(key, (*probability.shape, most), jnp.float64)
    used = jnp.arange(most) < trials[..., None]
    return jnp.sum(used & (u < probability[..., None]), axis=-1).astype(jnp.float64)


def test_logistic_and_binomial():
    n, p = 6, 3
    X = design(n, p, 1)
    mean, precision = gaussian_prior(p, [0.3, 0.0, -0.2], [1.0, 0.8, 1.2], jnp.float64)
    # Bernoulli rows and binomial ones; zero trials give ω the point mass at 0.
    trials = jnp.asarray([0.0, 1.0, 1.0, 2.0, 3.0, 5.0])

    def replicate(key):
        prior_key, y_key, chain_key = jax.random.split(key, 3)
        beta = mean + jax.random.normal(prior_key, (p,), jnp.float64) / jnp.sqrt(precision)
        y = bernoulli_sum(y_key, trials, jax.nn.sigmoid(X @ beta), 5)
        kappa = y - trials / 2

        def sweep(k, s):
            return _logistic.logistic_sweep(k, s, X, y, trials, mean, precision)

        end = sweeps(sweep, chain_key, _logistic.LogisticState(beta, jnp.zeros(n)))
        statistic = X.T @ kappa
        return beta_moments(beta, statistic), beta_moments(end.beta, statistic)

    check(geweke_z(replicate, 11), moment_names(p))


def test_logistic_direction_moves():
    # The Metropolis steps along fixed directions, random-walk and line
    # steps, each alone (100 rounds, where an error of theirs is not diluted
    # by the exact Gibbs draws) and both inside logistic_sweep with an offset
    # (the wiring: ψ and the moved ψ).
    n, p = 12, 3
    X = design(n, p, 4)
    mean, precision = gaussian_prior(p, [0.3, 0.0, -0.2], [1.0, 0.8, 1.2], jnp.float64)
    trials = jnp.asarray([1.0, 1.0, 2.0, 2.0, 3.0, 3.0] * 2)
    offset = jnp.asarray([1.5, -1.0, 1.0, 2.0, -1.5, 1.0] * 2)
    directions = jnp.asarray([[1.0, 0.5, 0.0], [0.0, -0.7, 0.9]])

    def replicate(key):
        prior_key, y_key, chain_key, move_key, line_key = jax.random.split(key, 5)
        beta = mean + jax.random.normal(prior_key, (p,), jnp.float64) / jnp.sqrt(precision)
        y = bernoulli_sum(y_key, trials, jax.nn.sigmoid(X @ beta + offset), 3)
        kappa = y - trials / 2

        def log_density(b, psi):
            return _directions.binomial_log_density(b, psi, y, trials, mean, precision)

        def move(t, b):
            psi = X @ b + offset
            return _directions.direction_moves(
                jax.random.fold_in(move_key, t),
                b,
                psi,
                directions,
                X @ directions.T,
                log_density,
                1.5,
            )[0]

        moved = jax.lax.fori_loop(0, 100, move, beta)

        def line(t, b):
            key = jax.random.fold_in(line_key, t)
            return _directions.line_moves(
                key, b, X @ b + offset, directions, X @ directions.T, y, trials, mean, precision
            )[0]

        lined = jax.lax.fori_loop(0, 100, line, beta)

        def sweep(k, s):
            return _logistic.logistic_sweep(
                k,
                s,
                X,
                y,
                trials,
                mean,
                precision,
                offset,
                directions=directions,
                lines=(directions, X @ directions.T),
            )

        end = sweeps(sweep, chain_key, _logistic.LogisticState(beta, jnp.zeros(n)))
        statistic = X.T @ kappa
        start = beta_moments(beta, statistic)
        return jnp.concatenate([start, start, start]), jnp.concatenate(
            [
                beta_moments(moved, statistic),
                beta_moments(lined, statistic),
                beta_moments(end.beta, statistic),
            ]
        )

    names = moment_names(p)
    parts = ("moves", "lines", "sweep")
    check(geweke_z(replicate, 13), [f"{part} {m}" for part in parts for m in names])


def test_hierarchical_logistic():
    n, p = 8, 3
    X = design(n, p, 2)
    prior = _logistic.ScalePrior(
        jnp.asarray([True, False, False]),
        jnp.asarray(1 / 1.5**2),
        jnp.asarray(3.0),
        jnp.asarray(2.0),
    )
    trials = jnp.full(n, 2.0)

    def replicate(key):
        tau_key, prior_key, y_key, chain_key = jax.random.split(key, 4)
        tau2 = prior.scale / jax.random.gamma(tau_key, prior.shape, dtype=jnp.float64)
        sd = jnp.where(prior.fixed, 1.5, jnp.sqrt(tau2))
        beta = sd * jax.random.normal(prior_key, (p,), jnp.float64)
        y = bernoulli_sum(y_key, trials, jax.nn.sigmoid(X @ beta), 2)
        kappa = y - trials / 2

        def sweep(k, s):
            return _logistic.hierarchical_sweep(k, s, X, y, trials, prior)

        end = sweeps(sweep, chain_key, _logistic.HierarchicalLogisticState(beta, tau2, y * 0))
        statistic = X.T @ kappa

        def g(state):
            log_tau2 = jnp.log(state.tau2)
            return jnp.concatenate(
                [
                    beta_moments(state.beta, statistic),
                    jnp.stack(
                        [
                            log_tau2,
                            log_tau2**2,
                            log_tau2 * jnp.sum(statistic[1:] ** 2),
                            # The joint law of τ² and the slopes it scales.
                            log_tau2 * jnp.sum(state.beta[1:] ** 2),
                        ]
                    ),
                ]
            )

        start = _logistic.HierarchicalLogisticState(beta, tau2, y * 0)
        return g(start), g(end)

    names = [*moment_names(p), "log t2", "log t2^2", "log t2*|s|^2", "log t2*|b|^2"]
    check(geweke_z(replicate, 21), names)


NB_LEVELS = 32


def negbin_problem(key, X, prior):
    """(β, r) from the prior and counts y | β, r."""
    n, p = X.shape
    r_key, prior_key, gamma_key, y_key = jax.random.split(key, 4)
    r = jax.random.gamma(r_key, prior.r_shape, dtype=jnp.float64) / prior.r_rate
    beta = prior.mean + jax.random.normal(prior_key, (p,), jnp.float64) / jnp.sqrt(prior.precision)
    # NB(r, σ(ψ)): a Poisson with a Gamma(r, scale e^ψ) mean.
    rate = jax.random.gamma(gamma_key, r, (n,), jnp.float64) * jnp.exp(X @ beta)
    return beta, r, jax.random.poisson(y_key, rate).astype(jnp.float64)


def test_negbin_shift_move_alone():
    # The Metropolis move along log r + β₀ = const must leave the posterior
    # invariant by itself. Within a full sweep the exact CRT update of r
    # dilutes an error of the move; alone, 40 moves expose it.
    n, p = 8, 2
    X = design(n, p, 3) * jnp.asarray([1.0, 0.5])
    mean, precision = gaussian_prior(p, [-0.5, 0.0], [0.4, 0.4], jnp.float64)
    prior = _negbin.NegBinPrior(mean, precision, jnp.asarray(3.0), jnp.asarray(1.0))

    def replicate(key):
        problem_key, chain_key = jax.random.split(key)
        beta, r, y = negbin_problem(problem_key, X, prior)

        def move(t, state):
            beta, r, accepted = state
            beta, r, a = _negbin.shift_move(
                jax.random.fold_in(chain_key, t), beta, r, X @ beta, y, prior, 0, 0.5
            )
            return beta, r, accepted + a

        end_beta, end_r, accepted = jax.lax.fori_loop(0, 40, move, (beta, r, 0.0))

        def g(beta, r):
            log_r = jnp.log(r)
            ybar = jnp.mean(y)
            return jnp.stack(
                [
                    log_r,
                    log_r**2,
                    beta[0],
                    beta[0] ** 2,
                    log_r * beta[0],
                    log_r * ybar,
                    beta[0] * ybar,
                ]
            )

        return g(beta, r), g(end_beta, end_r), accepted / 40

    keys = jax.random.split(jax.random.key(37), REPLICATES)
    start, end, accepted = jax.jit(jax.vmap(replicate))(keys)
    assert 0.2 < float(np.mean(accepted)) < 0.95
    d = np.asarray(end) - np.asarray(start)
    z = d.mean(axis=0) / (d.std(axis=0, ddof=1) / np.sqrt(len(d)))
    check(z, ["log r", "log r^2", "b0", "b0^2", "log r*b0", "log r*ybar", "b0*ybar"])


def test_negbin_with_shift_move():
    n, p = 8, 2
    X = design(n, p, 3) * jnp.asarray([1.0, 0.5])
    mean, precision = gaussian_prior(p, [-0.5, 0.0], [0.4, 0.4], jnp.float64)
    prior = _negbin.NegBinPrior(mean, precision, jnp.asarray(3.0), jnp.asarray(1.0))

    def replicate(key):
        problem_key, omega_key, chain_key = jax.random.split(key, 3)
        beta, r, y = negbin_problem(problem_key, X, prior)
        at_least = _negbin.count_levels(y, NB_LEVELS)

        def sweep(k, s):
            return _negbin.negbin_sweep(k, s, X, y, at_least, prior, intercept=0, shift_scale=0.5)

        # A sweep ends with ω | β_before, r and then β | ω, r, so the final
        # (β, r, ω) is an exact draw of the augmented posterior; so is the
        # start with ω ~ PG(y + r, ψ₀). Moments of ω then check its update.
        omega = vexol.polya_gamma(omega_key, y + r, X @ beta)
        start = _negbin.NegBinState(beta, r, omega, jnp.zeros(()))
        end = sweeps(sweep, chain_key, start)
        statistic = X.T @ y

        def g(state):
            log_r = jnp.log(state.r)
            return jnp.concatenate(
                [
                    beta_moments(state.beta, statistic),
                    jnp.stack(
                        [
                            log_r,
                            log_r**2,
                            log_r * jnp.mean(y),
                            log_r * state.beta[0],
                            state.beta[0] * jnp.mean(y),
                            jnp.mean(state.omega),
                            jnp.mean(state.omega * (X @ state.beta) ** 2),
                            jnp.mean(state.omega) * log_r,
                        ]
                    ),
                ]
            )

        return g(start), g(end), jnp.max(y), end.shift_accepted

    keys = jax.random.split(jax.random.key(31), REPLICATES)
    start, end, top, accepted = jax.jit(jax.vmap(replicate))(keys)
    # The CRT levels stop at NB_LEVELS, so larger counts are drawn wrong:
    # those data sets are left out. Conditioning on an event of y alone keeps
    # θ₀ an exact posterior draw given y, so the test stays exact.
    kept = np.asarray(top) < NB_LEVELS
    assert kept.mean() > 0.97
    # The move must actually move for the test to say anything about it.
    assert 0.2 < float(np.mean(np.asarray(accepted)[kept])) < 0.95
    d = (np.asarray(end) - np.asarray(start))[kept]
    z = d.mean(axis=0) / (d.std(axis=0, ddof=1) / np.sqrt(len(d)))
    names = [
        *moment_names(p),
        "log r",
        "log r^2",
        "log r*ybar",
        "log r*b0",
        "b0*ybar",
        "w",
        "w*psi^2",
        "w*log r",
    ]
    check(z, names)


@pytest.mark.parametrize("moves", [False, True], ids=["gibbs", "direction-moves"])
def test_multinomial_stick_breaking(moves):
    n, p, K = 6, 2, 4
    X = design(n, p, 4)
    mean, precision = gaussian_prior(p, 0.0, [1.0, 0.7], jnp.float64)
    offsets = _multinomial.stick_breaking_offsets(K, jnp.float64)
    totals = jnp.asarray([1.0, 1.0, 2.0, 3.0, 4.0, 6.0])
    # Each stick its own pair of fixed directions.
    directions = jnp.asarray(np.random.default_rng(5).normal(size=(K - 1, 2, p)))

    def replicate(key):
        prior_key, y_key, chain_key, move_key = jax.random.split(key, 4)
        beta = mean + jax.random.normal(prior_key, (K - 1, p), jnp.float64) / jnp.sqrt(precision)
        take = jax.nn.sigmoid(X @ beta.T + offsets)
        # The stick-breaking law: class k takes a binomial share of the
        # trials the classes before it left; the last class takes the rest.
        left, counts = totals, []
        for k, y_k in enumerate(jax.random.split(y_key, K - 1)):
            drawn = bernoulli_sum(y_k, left, take[:, k], 6)
            counts.append(drawn)
            left = left - drawn
        Y = jnp.stack([*counts, left], axis=1)
        trials, kappa = _multinomial.stick_breaking_data(Y)

        if moves:
            # The direction steps alone (60 rounds: undiluted), then in the sweep.
            def move(t, b):
                return _multinomial.stick_direction_moves(
                    jax.random.fold_in(move_key, t),
                    b,
                    X,
                    trials,
                    kappa,
                    offsets,
                    mean,
                    precision,
                    directions,
                    None,
                    1.5,
                )[0]

            alone = jax.lax.fori_loop(0, 60, move, beta)
        options = {"directions": directions} if moves else {}

        def sweep(k, s):
            return _multinomial.multinomial_sweep(
                k, s, X, trials, kappa, offsets, mean, precision, **options
            )

        end = sweeps(sweep, chain_key, _multinomial.MultinomialState(beta, trials * 0))
        statistic = (X.T @ kappa).T  # (K-1, p)
        start = beta_moments(beta, statistic).ravel()
        after = beta_moments(end.beta, statistic).ravel()
        if moves:
            return jnp.concatenate([start, start]), jnp.concatenate(
                [beta_moments(alone, statistic).ravel(), after]
            )
        return start, after

    names = [f"{m}[k{k}]" for m in ("b", "b^2", "b*s") for k in range(K - 1) for _ in range(p)]
    names = [f"{name}.{j % p}" for j, name in enumerate(names)]
    if moves:
        names = [f"moves {m}" for m in names] + [f"sweep {m}" for m in names]
    check(geweke_z(replicate, 43 if moves else 41), names)
