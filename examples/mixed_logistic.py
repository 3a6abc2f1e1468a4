"""Mixed-effects logistic regression with crossed random intercepts, by Gibbs, against NUTS.

Fair's affairs data (6366 married women, shipped with statsmodels, no
download): whether a woman reported any extramarital affair, against six
standardized covariates, with two crossed grouping factors: her occupation
and her husband's (six levels each, 41 to 2783 rows a level):

    beta_j        ~ N(0, 2.5^2)                 fixed effects, intercept included
    sigma2_k      ~ InvGamma(1, 1)              k = occupation, husband's occupation
    u_k[l]        ~ N(0, sigma2_k)              one intercept per level
    y_i           ~ Bernoulli(logit^-1(x_i' beta + u_1[g_i1] + u_2[g_i2]))

vexol.gibbs.mixed_logistic draws every sweep omega | beta, u by vexol, then
for each factor (beta, u_k) jointly given omega and the other factor (the
Schur complement of the level-diagonal block: linear in the number of
levels), then sigma2_k | u_k by its conjugate inverse-gamma update. The
script runs 4 chains and NumPyro's NUTS on the same model and priors, checks
that the posterior means agree within 0.1 NUTS posterior sd, and prints both
samplers' minimum bulk effective sample size per second, compilation
included.

With --scaling it times instead the sweep and the joint (beta, u) draw on
synthetic data with 500 to 5,000 levels (--rows-per-level rows each): the
cost per level stays about flat, where a dense draw of size p + levels
(timed up to --dense-up-to levels) grows with the cube.

    python examples/mixed_logistic.py [--sweeps N] [--nuts-samples N] [--output PNG]
    python examples/mixed_logistic.py --scaling [--levels 500,1000,2000,5000]
"""

from __future__ import annotations

import pathlib
import statistics
import sys
import time

import jax
import jax.numpy as jnp
import numpy as np

from vexol import gibbs
from vexol.gibbs import _random_effects

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import mcmc_compare

PRIOR_SD = 2.5
VARIANCE_SHAPE = 1.0
VARIANCE_SCALE = 1.0
FACTORS = ("occupation", "occupation_husb")


def load_data() -> tuple[np.ndarray, np.ndarray, dict[str, np.ndarray], list[str]]:
    """Fair's affairs (statsmodels): X with an intercept and six standardized
    covariates, y = any affair, the two occupations as codes 0..5."""
    from statsmodels.datasets import fair

    frame = fair.load_pandas().data
    y = (frame["affairs"] > 0).to_numpy(np.float64)
    covariates = frame.drop(columns=["affairs", *FACTORS])
    X = covariates.to_numpy(np.float64)
    X = np.column_stack([np.ones(len(X)), (X - X.mean(axis=0)) / X.std(axis=0)])
    groups = {name: frame[name].to_numpy().astype(int) - 1 for name in FACTORS}
    return X, y, groups, ["intercept", *covariates.columns]


def gibbs_model(X, y, groups, dtype=None) -> gibbs.Gibbs:
    return gibbs.mixed_logistic(
        X,
        y,
        groups,
        prior_sd=PRIOR_SD,
        variance_shape=VARIANCE_SHAPE,
        variance_scale=VARIANCE_SCALE,
        dtype=dtype,
    )


def nuts_model(X, y, codes, levels):
    """The same model and priors for NumPyro (centred effects: every level
    has dozens to thousands of rows)."""
    import numpyro
    import numpyro.distributions as dist

    beta = numpyro.sample("beta", dist.Normal(0.0, PRIOR_SD).expand([X.shape[1]]).to_event(1))
    psi = X @ beta
    for name, c, L in zip(FACTORS, codes, levels, strict=True):
        sigma2 = numpyro.sample(f"sigma2_{name}", dist.InverseGamma(VARIANCE_SHAPE, VARIANCE_SCALE))
        u = numpyro.sample(f"u_{name}", dist.Normal(0.0, jnp.sqrt(sigma2)).expand([L]).to_event(1))
        psi = psi + u[c]
    numpyro.sample("y", dist.Bernoulli(logits=psi), obs=y)


def compare_with_nuts(args) -> dict:
    X, y, groups, features = load_data()
    n, p = X.shape
    levels = [int(groups[name].max()) + 1 for name in FACTORS]
    print(
        f"Fair's affairs: {n} rows, {p - 1} standardized covariates and an intercept; "
        f"random intercepts by {FACTORS[0]} ({levels[0]} levels) and {FACTORS[1]} "
        f"({levels[1]} levels); beta ~ N(0, {PRIOR_SD:g}^2), sigma2 ~ "
        f"InvGamma({VARIANCE_SHAPE:g}, {VARIANCE_SCALE:g})"
    )
    print(f"{args.chains} chains x ({args.warmup} warm-up + {args.sweeps}) Gibbs sweeps")
    result, gibbs_compile = mcmc_compare.run_gibbs(gibbs_model(X, y, groups), args)
    timing = result.timing
    draws = {k: np.asarray(v) for k, v in result.draws.items()}
    order = ["beta"] + [f"{s}_{name}" for name in FACTORS for s in ("sigma2", "u")]
    labels = {"beta": [f"beta[{f}]" for f in features]}
    for name, L in zip(FACTORS, levels, strict=True):
        labels[f"sigma2_{name}"] = [f"sigma2_{name}"]
        labels[f"u_{name}"] = [f"u_{name}[{level + 1}]" for level in range(L)]
    names, stacked = mcmc_compare.scalars({k: draws[k] for k in order}, labels)
    # XLA's compile seconds, as in the verdict below: the runner's own
    # figure also counts tracing, and would read as a second "compiling".
    print(mcmc_compare.gibbs_time(timing, gibbs_compile))
    report = {"names": names, "draws": stacked, "timing": timing}
    if args.nuts_samples <= 0:
        print(
            mcmc_compare.posterior_summary(
                dict(zip(names, np.moveaxis(stacked, 2, 0), strict=True))
            ).to_string()
        )
        return report
    codes = tuple(jnp.asarray(groups[name]) for name in FACTORS)
    nuts = mcmc_compare.run_nuts_as_asked(
        args,
        nuts_model,
        jnp.asarray(X, jnp.float32),
        jnp.asarray(y, jnp.float32),
        codes,
        levels,
    )
    # NUTS's sites lack the trailing axis of one effect per level: the same
    # scalars in the same order once flattened.
    report["comparison"] = mcmc_compare.report_comparison(
        names,
        stacked,
        timing.total_seconds,
        gibbs_compile,
        nuts,
        order,
        labels,
        figure=args.output,
        title="Fair's affairs, crossed occupations",
    )
    return report


def synthetic(levels: int, rows_per_level: int, p: int, seed: int):
    """A logistic problem with one grouping factor of `levels` levels."""
    rng = np.random.default_rng(seed)
    n = levels * rows_per_level
    X = np.column_stack([np.ones(n), rng.normal(size=(n, p - 1))])
    codes = np.repeat(np.arange(levels), rows_per_level)
    psi = X @ rng.normal(0.0, 0.5, p) + rng.normal(0.0, 0.8, levels)[codes]
    y = (rng.random(n) < 1 / (1 + np.exp(-psi))).astype(np.float64)
    return X, y, codes


def seconds(f, *args, repeats: int, inner: int = 1) -> tuple[float, float]:
    """(median, least) wall time of f(*args) over `repeats` calls after one
    that compiles, divided by `inner` (the draws f makes in one call). On a
    shared machine the least is the steadier measure of the cost itself."""
    jax.block_until_ready(f(*args))
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        jax.block_until_ready(f(*args))
        times.append(time.perf_counter() - start)
    return statistics.median(times) / inner, min(times) / inner


def repeated(draw, inner: int):
    """`inner` draws in one compiled loop (key folded per draw): a timed call
    of milliseconds rather than microseconds, less at the mercy of a busy
    machine's scheduler."""

    @jax.jit
    def f(key, state):
        return jax.lax.fori_loop(0, inner, lambda t, s: draw(jax.random.fold_in(key, t), s), state)

    return f


def time_levels(levels: int, p: int, args) -> dict:
    """Median seconds of a sweep, of the joint (beta, u) draw and, up to
    --dense-up-to levels, of the same draw through a dense precision."""
    X, y, codes = synthetic(levels, args.rows_per_level, p, args.seed)
    model = gibbs_model(X, y, codes, dtype=jnp.float32)
    state = model.step(jax.random.key(1), model.init(jax.random.key(0)))
    inner = args.inner
    sweep_s = seconds(
        repeated(model.step, inner), jax.random.key(2), state, repeats=args.repeats, inner=inner
    )
    Xj = jnp.asarray(X, jnp.float32)
    kappa = jnp.asarray(y - 0.5, jnp.float32)
    codes = jnp.asarray(codes, jnp.int32)
    zeros, precision = jnp.zeros(p, jnp.float32), jnp.full(p, PRIOR_SD**-2, jnp.float32)
    Z, inverse_variance = jnp.ones((len(y), 1), jnp.float32), jnp.ones(1, jnp.float32)

    def joint(key, carry):
        # The draw's output feeds the next one's ω, so that no call of the
        # loop can be hoisted out of it.
        beta, u = _random_effects._joint_draw(
            key, Xj, carry, kappa, zeros, precision, codes, Z, inverse_variance, levels
        )
        return carry + 0.0 * (beta[0] + u[0, 0])

    joint_s = seconds(
        repeated(joint, inner), jax.random.key(3), state.omega, repeats=args.repeats, inner=inner
    )
    dense_s = (float("nan"),) * 2
    if levels <= args.dense_up_to:
        W = jnp.concatenate([Xj, jax.nn.one_hot(codes, levels, dtype=jnp.float32)], axis=1)
        prior = jnp.concatenate([precision, jnp.ones(levels, jnp.float32)])

        @jax.jit
        def dense(key, omega):
            return gibbs.draw_beta_cholesky(key, W, omega, kappa, prior)

        dense_s = seconds(dense, jax.random.key(3), state.omega, repeats=args.repeats)
    return {"levels": levels, "rows": len(y), "sweep": sweep_s, "joint": joint_s, "dense": dense_s}


def scaling(args) -> list[dict]:
    p = 5
    print(
        f"One grouping factor, {args.rows_per_level} rows per level, p = {p}, one chain, "
        f"float32; median of {args.repeats} timed calls of {args.inner} draws after compiling "
        "(dense: one draw a call)"
    )
    print("milliseconds a draw, median (least) of the timed calls; joint: the (beta, u) draw")
    print(f"{'levels':>7} {'rows':>7} {'sweep':>15} {'joint':>15} {'dense':>17}")
    rows = []
    for levels in args.levels:
        row = time_levels(levels, p, args)
        rows.append(row)
        print(
            f"{levels:>7} {row['rows']:>7} "
            + " ".join(
                f"{1e3 * row[k][0]:>7.2f} ({1e3 * row[k][1]:>5.2f})" for k in ("sweep", "joint")
            )
            + f" {1e3 * row['dense'][0]:>8.0f} ({1e3 * row['dense'][1]:>6.0f})"
        )
    first, last = rows[0], rows[-1]
    print(
        f"{first['levels']} -> {last['levels']} levels ({last['levels'] / first['levels']:.0f}x): "
        f"sweep {last['sweep'][0] / first['sweep'][0]:.1f}x ({last['sweep'][1] / first['sweep'][1]:.1f}x), "
        f"joint draw {last['joint'][0] / first['joint'][0]:.1f}x ({last['joint'][1] / first['joint'][1]:.1f}x)"
    )
    return rows


def main(argv: list[str] | None = None):
    parser = mcmc_compare.parser(__doc__)
    mcmc_compare.add_gibbs_arguments(parser, warmup=500)
    mcmc_compare.add_nuts_arguments(parser, warmup=500, samples=1000)
    parser.add_argument(
        "--output", type=pathlib.Path, default=None, help="forest plot, Gibbs and NUTS (PNG)"
    )
    parser.add_argument(
        "--scaling", action="store_true", help="time the draws on synthetic data instead"
    )
    parser.add_argument(
        "--levels",
        type=lambda s: [int(v) for v in s.split(",")],
        default="500,1000,2000,5000",
        help="with --scaling: numbers of levels",
    )
    parser.add_argument("--rows-per-level", type=int, default=20, help="with --scaling")
    parser.add_argument("--repeats", type=int, default=21, help="with --scaling: timed calls")
    parser.add_argument("--inner", type=int, default=20, help="with --scaling: draws per call")
    parser.add_argument(
        "--dense-up-to", type=int, default=500, help="with --scaling: time the dense draw up to"
    )
    args = parser.parse_args(argv)
    mcmc_compare.check_gibbs_arguments(parser, args)
    if args.scaling:
        return scaling(args)
    return compare_with_nuts(args)


if __name__ == "__main__":
    main()
