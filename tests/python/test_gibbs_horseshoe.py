"""The horseshoe logistic model: invariance of its sweep (Geweke's test,
started exactly, as in test_gibbs_invariance.py), its argument checks, and
a float32 run with p > n."""

import jax
import jax.experimental
import jax.numpy as jnp
import numpy as np
import pytest

from test_gibbs_invariance import bernoulli_sum, check, design, geweke_z, sweeps
from vexol import gibbs
from vexol.gibbs import _horseshoe

TAU0 = 0.7
UNPENALIZED_SD = 1.5


def prior_draw(key, p):
    """(β, λ², ν, τ², ξ) from the prior, through the same inverse-gamma
    mixtures the sweep conditions on; column 0 unpenalized."""
    nu_key, lambda_key, xi_key, tau_key, beta_key = jax.random.split(key, 5)
    f = jnp.float64

    def inverse_gamma_half(k, rate):
        return rate / jax.random.gamma(k, 0.5, jnp.shape(rate), f)

    nu = inverse_gamma_half(nu_key, jnp.ones(p - 1, f))
    lambda2 = inverse_gamma_half(lambda_key, 1.0 / nu)
    xi = inverse_gamma_half(xi_key, TAU0**-2)
    tau2 = inverse_gamma_half(tau_key, 1.0 / xi)
    sd = jnp.concatenate([jnp.full(1, UNPENALIZED_SD), jnp.sqrt(lambda2 * tau2)])
    beta = sd * jax.random.normal(beta_key, (p,), f)
    return beta, lambda2, nu, tau2, xi


# n ≥ p takes the Cholesky draw of β, n < p the BCM one; with the global
# scale's moves, the p x p and n x n forms of its block.
@pytest.mark.parametrize("scale_moves", [False, True], ids=["conjugate", "scale_moves"])
@pytest.mark.parametrize("n, p", [(6, 4), (4, 6)], ids=["cholesky", "bcm"])
def test_horseshoe_sweep_leaves_the_posterior_invariant(x64, n, p, scale_moves):
    X = design(n, p, 5)
    trials = jnp.asarray([1.0, 2.0, 3.0, 1.0, 2.0, 3.0][:n])
    penalized = jnp.arange(1, p)
    fixed_precision = jnp.full(p, UNPENALIZED_SD**-2.0)
    directions = jnp.asarray([[1.0] + [0.5] * (p - 1), [0.0, 1.0] + [-0.7] * (p - 2)])
    lines = (directions, X @ directions.T)

    def replicate(key):
        prior_key, y_key, chain_key = jax.random.split(key, 3)
        beta, lambda2, nu, tau2, xi = prior_draw(prior_key, p)
        y = bernoulli_sum(y_key, trials, jax.nn.sigmoid(X @ beta), 3)
        statistic = X.T @ (y - trials / 2)

        def sweep(k, s):
            # With line steps of β, under the prior of the sweep's scales.
            return _horseshoe.horseshoe_sweep(
                k,
                s,
                X,
                y,
                trials,
                penalized,
                fixed_precision,
                TAU0,
                lines=lines,
                scale_moves=scale_moves,
            )

        start = _horseshoe.HorseshoeState(beta, lambda2, nu, tau2, xi, jnp.zeros(n), 0)
        end = sweeps(sweep, chain_key, start)

        # The horseshoe's β has no mean (Cauchy-like tails): bounded
        # functions of β, and logs of the scales, whose moments exist.
        def g(s):
            a = jnp.arctan(s.beta)
            log_lambda2, log_tau2 = jnp.log(s.lambda2), jnp.log(s.tau2)
            return jnp.concatenate(
                [
                    a,
                    a**2,
                    a * statistic,
                    log_lambda2,
                    log_lambda2**2,
                    jnp.log(s.nu),
                    log_lambda2 * a[1:] ** 2,
                    jnp.stack([log_tau2, log_tau2**2, jnp.log(s.xi), log_tau2 * jnp.sum(a**2)]),
                ]
            )

        return g(start), g(end)

    names = (
        [f"atan b{j}" for j in range(p)]
        + [f"atan b{j}^2" for j in range(p)]
        + [f"atan b{j}*s{j}" for j in range(p)]
        + [f"log l{j}^2" for j in range(1, p)]
        + [f"(log l{j}^2)^2" for j in range(1, p)]
        + [f"log nu{j}" for j in range(1, p)]
        + [f"log l{j}^2*atan b{j}^2" for j in range(1, p)]
        + ["log tau^2", "(log tau^2)^2", "log xi", "log tau^2*sum atan b^2"]
    )
    check(geweke_z(replicate, 17), names)


@pytest.fixture
def x64():
    enabled = jax.enable_x64(True) if hasattr(jax, "enable_x64") else jax.experimental.enable_x64()
    with enabled:
        yield


@pytest.mark.parametrize(
    "keywords, named",
    [
        ({"unpenalized": (7,)}, "unpenalized holds 7"),
        ({"unpenalized": (0, 1, 2)}, "unpenalized names every column"),
        ({"global_scale": -1.0}, "global_scale is -1"),
        ({"unpenalized_sd": 0.0}, "unpenalized_sd is 0"),
        ({"expected_signals": 1, "global_scale": 0.1}, "global_scale and expected_signals"),
        ({"expected_signals": 2}, "expected_signals is 2"),
        ({"trials": 2.0, "y": [0.0, 3.0, 1.0, 1.0]}, "y[1] is 3"),
        ({"global_move": "t"}, "global_move must be one of"),
        ({"scale_moves": "yes"}, "scale_moves must be True, False or 'auto'"),
    ],
)
def test_horseshoe_names_the_bad_argument(keywords, named):
    X = np.column_stack([np.ones(4), [0.0, 1.0, 2.0, 3.0], [1.0, 0.0, 1.0, 0.0]])
    keywords = {"y": [0.0, 1.0, 1.0, 0.0], **keywords}
    with pytest.raises((TypeError, ValueError)) as error:
        gibbs.horseshoe_logistic(X, **keywords)
    assert str(error.value).startswith("vexol.gibbs.horseshoe_logistic: ")
    assert named in str(error.value)


def test_horseshoe_float32_shrinks_noise_and_keeps_the_signal():
    # p > n (the BCM draw) in float32 (x64 is on in the suite): two signals
    # among 80 columns stand out of the shrunken noise.
    rng = np.random.default_rng(3)
    n, p = 60, 80
    X = np.column_stack([np.ones(n), rng.normal(size=(n, p))])
    truth = np.zeros(p + 1)
    truth[[1, 2]] = [3.0, -3.0]
    y = (rng.random(n) < 1 / (1 + np.exp(-X @ truth))).astype(float)
    model = gibbs.horseshoe_logistic(X, y, expected_signals=2, dtype=np.float32)
    result = gibbs.run(
        model, None, jax.random.key(0), sweeps=300, warmup=200, chains=2, progress=False
    )
    beta = result.draws["beta"]
    assert beta.dtype == np.float32 and result.draws["lambda"].dtype == np.float32
    assert np.all(np.isfinite(beta)) and np.all(np.isfinite(result.draws["tau"]))
    mean = beta.mean(axis=(0, 1))
    assert mean[1] > 1.0 and mean[2] < -1.0
    # Every noise coefficient's posterior mean well inside the signals'.
    assert np.max(np.abs(mean[3:])) < 0.5 * min(abs(mean[1]), abs(mean[2]))


def test_horseshoe_rule_takes_the_scale_moves_where_p_exceeds_n():
    rng = np.random.default_rng(4)
    y = (rng.random(12) < 0.5).astype(float)
    for p, taken in [(13, True), (12, False)]:  # n = 12
        X = np.column_stack([np.ones(12), rng.normal(size=(12, p - 1))])
        model = gibbs.horseshoe_logistic(X, y)
        state = model.init(jax.random.key(0))
        assert (state.scale_accepted is not None) == taken
        assert ("the block (τ², β)" in gibbs.describe(model)) == taken
        forced = gibbs.horseshoe_logistic(X, y, scale_moves=not taken)
        assert (forced.init(jax.random.key(0)).scale_accepted is not None) != taken
        assert "(as requested)" in gibbs.describe(forced)


def test_horseshoe_line_steps_go_along_the_slow_directions_only():
    # Nearly separable data: a few slow directions, most of the 9 fast.
    rng = np.random.default_rng(5)
    X = np.column_stack([np.ones(300), rng.normal(size=(300, 8))])
    y = (X[:, 1] + 0.1 * rng.normal(size=300) > 0).astype(float)
    for move in ("auto", "directions"):
        model = gibbs.horseshoe_logistic(X, y, global_move=move)
        steps = model.report["cost"]["direction steps"] / 300
        assert model.report["blocks"][0]["slowdown"] >= 5 and 1 <= steps < 4
    # Where none is slow, the steps asked for go along the slowest alone.
    calm = gibbs.horseshoe_logistic(X, (rng.random(300) < 0.5) * 1.0, global_move="directions")
    assert "along the slowest direction" in gibbs.describe(calm)
