"""vexol.gibbs.mixed_logistic: the sweep leaves its posterior invariant
(Geweke's joint-distribution test, with the machinery of
test_gibbs_invariance.py), the builder's checks name what was wrong, and a
run's draws and pointwise log-likelihood follow the model."""

import jax
import jax.experimental
import jax.numpy as jnp
import numpy as np
import pytest
from scipy.stats import binom

from jax_releases import x64_disabled
from test_gibbs_invariance import bernoulli_sum, beta_moments, check, design, geweke_z, sweeps
from vexol import gibbs
from vexol.gibbs import _random_effects
from vexol.gibbs._model import gaussian_prior


def x64(on):
    if hasattr(jax, "enable_x64"):
        return jax.enable_x64(on)
    return jax.experimental.enable_x64() if on else x64_disabled()


def test_sweep_leaves_the_posterior_invariant():
    # Two crossed factors, the first with a random slope, binomial rows and
    # an offset: every path of the sweep (the joint draw per factor given
    # the other's effects, both variance updates) on 8 rows.
    with x64(True):
        n, p = 8, 2
        X = design(n, p, 6)
        mean, precision = gaussian_prior(p, [0.2, 0.0], [1.0, 0.8], jnp.float64)
        trials = jnp.asarray([1.0, 1.0, 2.0, 2.0, 3.0, 3.0, 1.0, 2.0])
        offset = jnp.asarray([0.5, -0.5, 0.0, 1.0, -1.0, 0.0, 0.5, 0.0])
        codes = (jnp.asarray([0, 0, 1, 1, 2, 2, 0, 1]), jnp.asarray([0, 1, 0, 1, 0, 1, 0, 1]))
        Zs = (X, jnp.ones((n, 1)))
        shape, scale = jnp.asarray(3.0), jnp.asarray(2.0)
        sizes = ((3, 2), (2, 1))

        def replicate(key):
            prior_key, y_key, chain_key, *keys = jax.random.split(key, 7)
            beta = mean + jax.random.normal(prior_key, (p,), jnp.float64) / jnp.sqrt(precision)
            sigma2 = tuple(
                scale / jax.random.gamma(keys[k], shape, (q,), jnp.float64)
                for k, (_, q) in enumerate(sizes)
            )
            u = tuple(
                jnp.sqrt(s2) * jax.random.normal(keys[2 + k], size, jnp.float64)
                for k, (size, s2) in enumerate(zip(sizes, sigma2, strict=True))
            )
            psi = (
                X @ beta
                + offset
                + sum(jnp.sum(Z * uk[c], -1) for uk, c, Z in zip(u, codes, Zs, strict=True))
            )
            y = bernoulli_sum(y_key, trials, jax.nn.sigmoid(psi), 3)
            kappa = y - trials / 2
            start = _random_effects.MixedLogisticState(beta, u, sigma2, jnp.zeros(n))

            def sweep(k, s):
                return _random_effects._sweep(
                    k, s, X, y, trials, mean, precision, codes, Zs, shape, scale, offset, {}
                )

            end = sweeps(sweep, chain_key, start)

            def g(state):
                out = [beta_moments(state.beta, X.T @ kappa)]
                for uk, s2, c, Z, (levels, _) in zip(
                    state.u, state.sigma2, codes, Zs, sizes, strict=True
                ):
                    # Per level, Z'κ: what a sign or scale error in the
                    # likelihood part of u's conditional moves.
                    level_statistic = jax.ops.segment_sum(Z * kappa[:, None], c, levels)
                    log_s2, squares = jnp.log(s2), jnp.sum(uk**2, axis=0)
                    out += [
                        log_s2,
                        log_s2**2,
                        log_s2 * squares,
                        squares,
                        jnp.sum(uk * level_statistic, axis=0),
                    ]
                return jnp.concatenate(out)

            return g(start), g(end)

        names = [f"b{j}{m}" for m in ("", "^2", "*s") for j in range(p)]
        for k, (_, q) in enumerate(sizes):
            for m in ("log s2", "log s2^2", "log s2*|u|^2", "|u|^2", "u*s"):
                names += [f"f{k} {m}[{j}]" for j in range(q)]
        check(geweke_z(replicate, 51), names)


def codes(n):
    return np.arange(n) % 3


@pytest.mark.parametrize(
    ("groups", "slopes", "message"),
    [
        (np.zeros(9, int), None, r"groups has shape \(9,\); it must have shape \(10,\)"),
        (np.r_[0, 1, -1, np.zeros(7)], None, r"groups\[2\] is -1; group codes must be non-neg"),
        (np.c_[codes(10), np.r_[0, 1.5, np.zeros(8)]], None, r"groups\[1, 1\] is 1.5; group codes"),
        ({"school": codes(10), "year": np.r_[codes(9), -2]}, None, r"groups\['year'\]\[9\] is -2"),
        ((codes(10), codes(11)), None, r"groups\[1\] has shape \(11,\)"),
        (codes(10), [2], r"slopes holds 2; it must hold column indices of X in \[0, 2\)"),
        ({"school": codes(10)}, {"class": [1]}, r"slopes names \['class'\], not grouping factors"),
    ],
    ids=["length", "negative", "fraction", "named", "tuple-length", "slope-column", "slope-factor"],
)
def test_builder_names_the_bad_argument(groups, slopes, message):
    X = np.column_stack([np.ones(10), np.linspace(-1, 1, 10)])
    y = np.r_[np.zeros(5), np.ones(5)]
    with pytest.raises(ValueError, match="^vexol.gibbs.mixed_logistic: " + message):
        gibbs.mixed_logistic(X, y, groups, slopes=slopes)


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_run_draws_in_its_dtype_and_log_likelihood(dtype):
    # Binomial counts, two named factors, a slope on the second column of
    # the first; the pointwise log-likelihood against SciPy's binomial at
    # the linear predictor formed here by a loop over rows.
    rng = np.random.default_rng(3)
    n = 40
    X = np.column_stack([np.ones(n), rng.normal(size=n)])
    groups = {"a": rng.integers(4, size=n), "b": rng.integers(3, size=n)}
    trials = rng.integers(1, 4, size=n).astype(float)
    y = rng.binomial(trials.astype(int), 0.4).astype(float)
    offset = rng.normal(size=n)
    with x64(dtype == "float64"):
        model = gibbs.mixed_logistic(
            X, y, groups, trials=trials, slopes={"a": [1]}, offset=offset, dtype=dtype
        )
        result = gibbs.run(model, None, jax.random.key(0), sweeps=5, chains=2, progress=False)
    draws = result.draws
    assert {k: (v.shape, v.dtype) for k, v in draws.items()} == {
        "beta": ((2, 5, 2), dtype),
        "u_a": ((2, 5, 4, 2), dtype),
        "sigma2_a": ((2, 5, 2), dtype),
        "u_b": ((2, 5, 3, 1), dtype),
        "sigma2_b": ((2, 5, 1), dtype),
    }
    c, d = 1, 3
    psi = [
        X[i] @ draws["beta"][c, d]
        + offset[i]
        + draws["u_a"][c, d, groups["a"][i]] @ [1.0, X[i, 1]]
        + draws["u_b"][c, d, groups["b"][i], 0]
        for i in range(n)
    ]
    expected = binom.logpmf(y, trials, 1 / (1 + np.exp(-np.asarray(psi, np.float64))))
    tolerance = 1e-5 if dtype == "float32" else 1e-10
    np.testing.assert_allclose(model.log_likelihood(draws)[c, d], expected, rtol=tolerance)
