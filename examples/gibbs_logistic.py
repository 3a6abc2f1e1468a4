"""Bayesian logistic regression by Pólya-Gamma data augmentation.

Polson, Scott and Windle (2013) showed that with latent omega_i ~ PG(1, x_i'b)
the logistic likelihood becomes Gaussian in the coefficients b, so a Gibbs
sampler alternates two exact conditional draws:

    omega_i | b    ~ PG(1, x_i' b)                       one vexol call
    b | omega, y   ~ N(m, V),  V = (X' diag(omega) X + B0^-1)^-1,
                               m = V (X' (y - 1/2) + B0^-1 b0)

vexol.gibbs.logistic is that sampler; vexol.gibbs.run runs several chains of
it at once (vmap over keys: one batched vexol call per sweep), in one
compiled program. On these nearly separable data the augmentation holds a
few directions of b far tighter than the posterior does (the slowest 98
times), so the builder's rule ends each sweep with a Metropolis-Hastings
step along every direction of b, proposed from the Laplace approximation
along it (gibbs.describe(model) prints what it measured and chose;
--slow-directions K adds random-walk steps along the K slowest). This
script runs it on scikit-learn's breast-cancer data
(shipped inside the package, no download), checks that the chains agree
(ArviZ's split R-hat and bulk effective sample size), compares the held-out
accuracy with the maximum-likelihood fit, and runs NumPyro's NUTS on the same
model and prior to compare the posterior and the effective samples per
second, compilation included.

    python examples/gibbs_logistic.py [--sweeps N] [--warmup W] [--chains C] [--seed S]
        [--split-seed S] [--slow-directions K] [--nuts-samples N] [--output PNG]
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time
import warnings

import jax
import numpy as np

# float64 by default; main() switches x64 off again for --dtype float32.
jax.config.update("jax_enable_x64", True)

from vexol import gibbs  # noqa: E402  (imported after the precision is set)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import mcmc_compare  # noqa: E402

# Sweeps per chain after warm-up, as vexol.gibbs.run and the other examples
# count them, and the warm-up before them. The warm-up was 4,000 while plain
# Gibbs kept 0.04 effective draws per sweep; with the rule's line steps the
# slowest quantity keeps 0.65, and after 1,000 every R-hat is 1.00 and the
# means agree with NUTS' as closely (0.027 of its posterior sd at most,
# against 0.025 after 4,000).
DEFAULT_SWEEPS = 16_000
DEFAULT_WARMUP = 1_000
DEFAULT_CHAINS = 4
DEFAULT_OUTPUT = "out/gibbs_logistic.png"
DEFAULT_PRIOR_SD = 2.5
# Random-walk Metropolis steps along the directions plain Gibbs mixes
# slowest at the posterior mode (vexol.gibbs.logistic's slow_directions),
# beside the rule's line steps along every direction. Ten of them used to
# be this example's default; after the line steps they gained nothing
# (1,738 against 1,734 min bulk ESS per second), so none by default.
DEFAULT_SLOW_DIRECTIONS = 0


def nuts_model(X, y, prior_sd):
    """The same model for NumPyro: b ~ N(0, prior_sd^2 I), y ~ Bernoulli(logit = X b)."""
    import numpyro
    import numpyro.distributions as dist

    beta = numpyro.sample("beta", dist.Normal(0.0, prior_sd).expand([X.shape[1]]).to_event(1))
    numpyro.sample("y", dist.Bernoulli(logits=X @ beta), obs=y)


# --------------------------------------------------------------------------
# The demo
# --------------------------------------------------------------------------


def _load_data(split_seed: int):
    """The standardized 75/25 split; it depends on `split_seed` alone, so that
    chains of different seeds sample the same posterior."""
    from sklearn.datasets import load_breast_cancer
    from sklearn.model_selection import train_test_split
    from sklearn.preprocessing import StandardScaler

    data = load_breast_cancer()
    X_train, X_test, y_train, y_test = train_test_split(
        data.data, data.target, test_size=0.25, stratify=data.target, random_state=split_seed
    )
    scaler = StandardScaler().fit(X_train)
    names = ["intercept", *data.feature_names]
    return scaler.transform(X_train), scaler.transform(X_test), y_train, y_test, names


def _with_intercept(X: np.ndarray) -> np.ndarray:
    return np.column_stack([np.ones(len(X)), X])


def _plot(draws: np.ndarray, names: list[str], columns: list[int], path: pathlib.Path):
    """ArviZ's traces and per-chain densities of (chains, n, p) draws."""
    import matplotlib

    matplotlib.use("Agg")
    import arviz_plots

    shown = gibbs.to_arviz({names[j]: draws[:, :, j] for j in columns})
    plots = arviz_plots.plot_trace_dist(shown, compact=False, backend="matplotlib")
    path.parent.mkdir(parents=True, exist_ok=True)
    plots.savefig(path, dpi=110)


class _DefaultsFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Shows each default, except where None stands for a rule the help states."""

    def _get_help_string(self, action):
        if action.default is None:
            return action.help
        return super()._get_help_string(action)


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=_DefaultsFormatter,
    )
    parser.add_argument(
        "--sweeps", type=int, default=DEFAULT_SWEEPS, help="per chain, after warm-up"
    )
    parser.add_argument(
        "--warmup",
        type=int,
        default=None,
        help=f"sweeps per chain run first and dropped (default: {DEFAULT_WARMUP}; "
        "with --iterations, a fifth of them)",
    )
    parser.add_argument(
        "--iterations",
        type=int,
        default=None,
        help="deprecated: sweeps per chain with the warm-up; use --sweeps (after warm-up)",
    )
    parser.add_argument("--chains", type=int, default=DEFAULT_CHAINS, help="run at once")
    parser.add_argument("--seed", type=int, default=0, help="seed of the chains")
    parser.add_argument(
        "--split-seed",
        type=int,
        default=0,
        help="seed of the train/test split, apart from --seed so that the posterior stays put",
    )
    parser.add_argument(
        "--prior-sd", type=float, default=DEFAULT_PRIOR_SD, help="of every coefficient"
    )
    parser.add_argument(
        "--slow-directions",
        type=int,
        default=DEFAULT_SLOW_DIRECTIONS,
        help="random-walk Metropolis steps per sweep along the directions plain Gibbs mixes "
        "slowest, beside the builder's rule (at most one per coefficient)",
    )
    parser.add_argument(
        "--direction-step",
        type=float,
        default=1.5,
        help="their proposal sd, in approximate posterior sds along the direction",
    )
    parser.add_argument(
        "--output", type=pathlib.Path, default=pathlib.Path(DEFAULT_OUTPUT), help="figure"
    )
    parser.add_argument(
        "--dtype",
        choices=["float64", "float32"],
        default="float64",
        help="float32 runs the whole sampler with JAX's x64 mode off",
    )
    parser.add_argument("--nuts-warmup", type=int, default=500, help="per chain")
    parser.add_argument("--nuts-samples", type=int, default=1000, help="per chain; 0 skips NUTS")
    args = parser.parse_args(argv)
    jax.config.update("jax_enable_x64", args.dtype == "float64")
    if args.iterations is not None:
        # The earlier count, warm-up included, for one release.
        print(
            "--iterations is deprecated: --sweeps counts the sweeps after warm-up",
            file=sys.stderr,
        )
        if args.iterations < 10:
            parser.error("--iterations must be at least 10")
        warmup = args.iterations // 5 if args.warmup is None else args.warmup
        if not 0 <= warmup < args.iterations - 4:
            parser.error("--warmup must lie in [0, iterations - 4)")
        sweeps = args.iterations - warmup
    else:
        sweeps = args.sweeps
        warmup = DEFAULT_WARMUP if args.warmup is None else args.warmup
        if sweeps < 5:
            parser.error("--sweeps must be at least 5")
        if warmup < 0:
            parser.error("--warmup must be at least 0")
    if args.chains < 1:
        parser.error("--chains must be at least 1")

    from sklearn.linear_model import LogisticRegression

    X_train, X_test, y_train, y_test, names = _load_data(args.split_seed)
    design_train, design_test = _with_intercept(X_train), _with_intercept(X_test)
    n, p = design_train.shape
    print(
        f"breast cancer: {n} training and {len(y_test)} test rows (split seed "
        f"{args.split_seed}), {p} coefficients"
    )
    print(
        f"{args.chains} chains x ({warmup} warm-up + {sweeps}) Gibbs sweeps, "
        f"prior N(0, {args.prior_sd}^2), {args.dtype}"
        + ("" if args.dtype == "float64" else " (x64 off)")
    )

    if args.slow_directions < 0:
        parser.error("--slow-directions must be at least 0")
    slow = min(args.slow_directions, p)
    if slow:
        print(
            f"each sweep ends with a Metropolis step along each of the {slow} "
            f"directions plain Gibbs mixes slowest (step sd {args.direction_step} posterior sd)"
        )

    compiled = mcmc_compare.compile_seconds()
    start = time.perf_counter()
    model = gibbs.logistic(
        design_train,
        y_train,
        prior_sd=args.prior_sd,
        dtype=args.dtype,
        slow_directions=slow,
        direction_step=args.direction_step,
    )
    setup = time.perf_counter() - start
    print(gibbs.describe(model))
    result = gibbs.run(
        model,
        None,
        jax.random.key(args.seed),
        sweeps=sweeps,
        warmup=warmup,
        chains=args.chains,
        collect=lambda state: {"beta": state.beta, "accepted": state.accepted},
    )
    gibbs_compile = mcmc_compare.compile_seconds() - compiled
    gibbs_seconds = time.perf_counter() - start
    timing = result.timing
    kept = np.asarray(result.draws["beta"], np.float64)
    pooled = kept.reshape(-1, p)

    print(
        f"\nposterior (all chains after warm-up; ArviZ's summary: {mcmc_compare.CI_LABEL}, "
        "split R-hat, bulk and tail ESS)"
    )
    table = mcmc_compare.posterior_summary(dict(zip(names, np.moveaxis(kept, 2, 0), strict=True)))
    print(table.to_string())
    print()
    total = (warmup + sweeps) * args.chains
    print(
        f"Gibbs: {args.chains} x ({warmup} + {sweeps}) sweeps in {gibbs_seconds:.1f} s: "
        f"{setup:.1f} s building the sampler, {gibbs_compile:.1f} s {mcmc_compare.COMPILING}, "
        f"{timing.sampling_seconds:.1f} s sampling; "
        f"{timing.sweeps_per_second:,.0f} sweeps/s of all chains after compiling, "
        f"{timing.sweeps_per_second * n:,.0f} Pólya-Gamma draws/s ({total:,} sweeps)"
    )
    # Every direction step of a sweep, the rule's line steps and any asked
    # for: the report counts their cost at n multiply-adds each.
    steps = model.report["cost"].get("direction steps", 0.0) / n
    if steps:
        rate = np.asarray(result.draws["accepted"]).mean() / steps
        print(f"direction steps taken: {rate:.0%} of {steps:.0f} per sweep")

    logits = design_test @ pooled.T
    probability = np.mean(1.0 / (1.0 + np.exp(-logits)), axis=1)
    bayes_accuracy = np.mean((probability > 0.5) == y_test)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mle = LogisticRegression(C=np.inf, max_iter=10_000).fit(X_train, y_train)
    mle_accuracy = mle.score(X_test, y_test)
    note = " (did not converge: the data are nearly separable)" if caught else ""
    print(f"held-out accuracy: posterior predictive {bayes_accuracy:.3f}")
    print(f"                   maximum likelihood   {mle_accuracy:.3f}{note}")

    # The intercept and the three features with the largest posterior means.
    by_size = np.argsort(-np.abs(pooled[:, 1:].mean(axis=0)))[:3] + 1
    _plot(kept, names, [0, *by_size.tolist()], args.output)
    print(f"figure: {args.output.resolve()}")

    report = {"draws": kept, "names": names, "timing": timing, "accuracy": bayes_accuracy}
    if args.nuts_samples > 0:
        print(
            f"\nNumPyro NUTS on the same model and prior: {args.chains} chains x "
            f"({args.nuts_warmup} warm-up + {args.nuts_samples}) draws"
        )
        nuts = mcmc_compare.run_nuts(
            nuts_model,
            design_train,
            np.asarray(y_train, np.float64),
            args.prior_sd,
            chains=args.chains,
            warmup=args.nuts_warmup,
            samples=args.nuts_samples,
            seed=args.seed,
        )
        comparison = mcmc_compare.compare(
            names, kept, nuts.draws["beta"], gibbs_seconds, nuts.seconds
        )
        print(mcmc_compare.comparison_table(comparison, mcmc_compare.chosen_rows(comparison, 12)))
        if len(names) > 12:
            print(
                f"(the {min(12, len(names))} quantities of {len(names)} with the largest "
                "differences or the smallest ESS)"
            )
        print(f"NUTS divergent transitions after warm-up: {nuts.divergences}")
        print(mcmc_compare.verdict(comparison, gibbs_compile, nuts.compile_seconds))
        report["comparison"] = comparison
        # The figure's coefficients, and the comparison's worst and slowest.
        shown = sorted({0, *by_size.tolist(), *mcmc_compare.chosen_rows(comparison, 8)})
        forest = mcmc_compare.comparison_figure(args.output)
        mcmc_compare.plot_forest(
            [names[j] for j in shown],
            kept[:, :, shown],
            nuts.draws["beta"][:, :, shown],
            forest,
            "breast cancer, Gibbs beside NUTS",
        )
        print(f"figure: {forest.resolve()}")
    return report


if __name__ == "__main__":
    main()
