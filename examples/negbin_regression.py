"""Bayesian negative-binomial regression by Pólya-Gamma data augmentation.

Counts y_i ~ NB(r, p_i) with logit p_i = psi_i = x_i' b, so that
E[y_i] = r exp(psi_i) and Var[y_i] = E[y_i] (1 + E[y_i] / r). The prior is
b ~ N(0, s^2 I) and r ~ Gamma(a0, b0) (shape, rate). As a function of psi_i the
likelihood is exp(psi_i)^y_i / (1 + exp(psi_i))^(y_i + r), which the
Pólya-Gamma identity of Polson, Scott and Windle (2013) turns into a Gaussian
in psi_i given omega_i (Zhou, Li, Dunson and Carin, 2012), so each sweep is

    omega_i | b, r   ~ PG(y_i + r, psi_i)                 one vexol call
    b | omega, r     ~ N(m, V),  V = (X' diag(omega) X + I / s^2)^-1,
                                  m = V X' kappa,  kappa_i = (y_i - r) / 2
    r | b            by the Chinese-restaurant-table augmentation below.

Zhou and Carin (2015): y ~ NB(r, p) is a sum of L ~ Poisson(-r log(1 - p))
logarithmic variables, and given y the number L of terms has the CRT(y, r)
law, P(L = l | y, r) = |s(y, l)| r^l Gamma(r) / Gamma(y + r), the law of a sum
of independent Bernoulli(r / (r + n - 1)), n = 1..y. The joint law of (y, L)
is |s(y, l)| r^l p^y (1 - p)^r / y!, so with 1 - p_i = 1 / (1 + exp(psi_i))

    r | L, b ~ Gamma(a0 + sum_i L_i, b0 + sum_i log(1 + exp(psi_i))).

Drawing L | y, r and then r | L, b is an exact data-augmentation update of r
given b. r and the intercept are strongly coupled (the data pin down
r exp(b_0) far better than either), so each sweep also makes a Metropolis
move along that ridge: log r up by e, b_0 down by e. vexol.gibbs.negbin is
this sampler.

The script runs several chains at once (vexol.gibbs.run: vmap over keys) on
the RAND Health Insurance Experiment data shipped with statsmodels
(outpatient visits `mdvis` against nine covariates, 20,190 people), and
compares the posterior with statsmodels' maximum-likelihood NB fit and with
NumPyro's NUTS on the same model and priors.

    python examples/negbin_regression.py [--sweeps N] [--chains C] [--seed S] [--output PNG]
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import jax
import jax.numpy as jnp
import numpy as np

jax.config.update("jax_enable_x64", True)

from vexol import gibbs  # noqa: E402  (imported after the precision is set)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import mcmc_compare  # noqa: E402

# Sweeps per chain after warm-up, as vexol.gibbs.run counts them.
DEFAULT_SWEEPS = 800
DEFAULT_WARMUP = 200
DEFAULT_CHAINS = 4
DEFAULT_OUTPUT = "out/negbin_regression.png"
PRIOR_SD = 10.0
R_SHAPE = 1.0
R_RATE = 0.1


# The shift move's step in log r. On the RAND data the posterior sd of log r
# is 0.014: a step of 0.3 was accepted 6% of the time and r kept 0.13
# effective draws per sweep; 0.03 is accepted 47% of the time and keeps
# 0.31 (4 chains, 400 sweeps each).
SHIFT_SCALE = 0.03


def negbin_model(
    X: np.ndarray, y: np.ndarray, *, beta_sd: float = PRIOR_SD, shift_scale: float = SHIFT_SCALE
) -> gibbs.Gibbs:
    """The example's sampler: vexol.gibbs.negbin with the priors above."""
    return gibbs.negbin(
        X, y, prior_sd=beta_sd, r_shape=R_SHAPE, r_rate=R_RATE, shift_scale=shift_scale
    )


# --------------------------------------------------------------------------
# Which vexol method serves which draw
# --------------------------------------------------------------------------

METHODS = (
    "gamma series (h < 1)",
    "Devroye (h = 1)",
    "sum of Devroye draws (h = 2, 3, 4, |z| <= 1)",
    "alternate (1 < h <= 4)",
    "alternate pieces (4 < h < 8)",
    "saddle point (8 <= h <= 50)",
    "normal (h > 50)",
)


def pg_methods(h: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Index into METHODS of the method vexol uses for each PG(h, z) draw."""
    h, z = np.broadcast_arrays(np.asarray(h, np.float64), np.asarray(z, np.float64))
    small_integer = np.isin(h, (2.0, 3.0, 4.0)) & (np.abs(z) <= 1.0)
    return np.select(
        [h < 1, h == 1, small_integer, h <= 4, h < 8, h <= 50],
        [0, 1, 2, 3, 4, 5],
        default=6,
    )


def method_shares(h: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Share of the draws that each method in METHODS serves."""
    counts = np.bincount(pg_methods(h, z).ravel(), minlength=len(METHODS))
    return counts / counts.sum()


# --------------------------------------------------------------------------
# References: NumPyro's NUTS and statsmodels' maximum likelihood
# --------------------------------------------------------------------------


def nuts_model(X, y, beta_sd=PRIOR_SD):
    """The same model and priors for NumPyro."""
    import numpyro
    import numpyro.distributions as dist

    beta = numpyro.sample("beta", dist.Normal(0.0, beta_sd).expand([X.shape[1]]).to_event(1))
    r = numpyro.sample("r", dist.Gamma(R_SHAPE, R_RATE))
    # NegativeBinomialLogits: success probability sigmoid(logits), mean r e^psi.
    numpyro.sample("y", dist.NegativeBinomialLogits(r, X @ beta), obs=y)


def statsmodels_fit(X, y):
    """NB2 maximum likelihood: log E[y] = x'g, Var = mu + alpha mu^2.

    The slopes are the same quantities as b's; the intercept is b_0 + log r and
    alpha = 1 / r.
    """
    import statsmodels.api as sm

    fit = sm.NegativeBinomial(y, X, loglike_method="nb2").fit(disp=0, maxiter=200)
    return np.asarray(fit.params), np.asarray(fit.bse)


# --------------------------------------------------------------------------
# Posterior predictive check
# --------------------------------------------------------------------------

TOP = 10  # counts 0..TOP-1 alone, then TOP and above together


def count_frequencies(y: np.ndarray) -> np.ndarray:
    """Shares of the counts 0, 1, ..., TOP - 1 and TOP or more."""
    counts = np.bincount(np.minimum(np.asarray(y, np.int64), TOP), minlength=TOP + 1)
    return counts / counts.sum()


def replicated_counts(X, beta, r, draws, seed):
    """Replicated data sets, one per posterior draw used: (draws, people)."""
    rng = np.random.default_rng(seed)
    flat_beta = beta.reshape(-1, beta.shape[-1])
    flat_r = r.reshape(-1)
    chosen = rng.choice(len(flat_r), size=min(draws, len(flat_r)), replace=False)
    out = []
    for j in chosen:
        # NB(r, p) as a gamma mixture of Poissons with mean r exp(psi).
        rate = rng.gamma(flat_r[j], np.exp(X @ flat_beta[j]))
        out.append(rng.poisson(rate))
    return np.array(out)


def _plot(y, replicated, r, path):
    """ArviZ's rootogram of the posterior predictive check (counts from TOP
    up pooled, as in the printed table), and beside it ArviZ's trace and
    density of r per chain: r is the quantity that mixes slowest."""
    import matplotlib

    matplotlib.use("Agg")
    import arviz

    capped = np.minimum(replicated, TOP)
    predictive = arviz.from_dict(
        {
            "posterior_predictive": {"mdvis": capped[None]},
            "observed_data": {"mdvis": np.minimum(y, TOP)},
        },
        dims={"mdvis": ["person"]},
    )
    rootogram = arviz.plot_ppc_rootogram(
        predictive,
        ci_prob=mcmc_compare.CI_PROB,
        backend="matplotlib",
        figure_kwargs={"figsize": (9, 5.5)},
    )
    rootogram.viz["figure"].item().suptitle(
        "RAND HIE: posterior predictive check of the visit counts\n"
        f"({TOP} stands for {TOP} or more; {len(capped)} replicated data sets, "
        f"{mcmc_compare.CI_LABEL})",
        fontsize="medium",
    )
    path.parent.mkdir(parents=True, exist_ok=True)
    rootogram.savefig(path, dpi=110)
    trace = arviz.plot_trace_dist(gibbs.to_arviz({"r": r}), compact=False, backend="matplotlib")
    trace.savefig(trace_figure(path), dpi=110)


def trace_figure(path: pathlib.Path) -> pathlib.Path:
    """Where the trace of r goes: beside the predictive check."""
    return path.with_name(f"{path.stem}_r{path.suffix}")


# --------------------------------------------------------------------------
# The demo
# --------------------------------------------------------------------------


def load_randhie():
    """RAND HIE data from statsmodels: design with intercept, counts, names."""
    import statsmodels.api as sm

    frame = sm.datasets.randhie.load_pandas().data
    covariates = [c for c in frame.columns if c != "mdvis"]
    X = np.column_stack([np.ones(len(frame)), frame[covariates].to_numpy(np.float64)])
    return X, frame["mdvis"].to_numpy(np.int64), ["intercept", *covariates]


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument(
        "--sweeps", type=int, default=DEFAULT_SWEEPS, help="per chain, after warm-up"
    )
    parser.add_argument(
        "--warmup", type=int, default=DEFAULT_WARMUP, help="sweeps per chain run first and dropped"
    )
    parser.add_argument("--chains", type=int, default=DEFAULT_CHAINS, help="run at once")
    parser.add_argument("--seed", type=int, default=0, help="seed of the chains")
    parser.add_argument(
        "--output", type=pathlib.Path, default=pathlib.Path(DEFAULT_OUTPUT), help="figure file"
    )
    parser.add_argument(
        "--shift-scale",
        type=float,
        default=SHIFT_SCALE,
        help="sd of the (log r, intercept) shift move's step",
    )
    parser.add_argument("--nuts-warmup", type=int, default=200, help="per chain")
    # 500 draws a chain: with 250 the largest of the twelve mean differences
    # was 0.106 NUTS sds, the Monte Carlo error of NUTS' 502 effective draws;
    # with 500, 0.058.
    parser.add_argument("--nuts-samples", type=int, default=500, help="per chain; 0 skips NUTS")
    args = parser.parse_args(argv)
    if args.sweeps < 5:
        parser.error("--sweeps must be at least 5")
    if args.chains < 1:
        parser.error("--chains must be at least 1")
    warmup = args.warmup
    if warmup < 0:
        parser.error("--warmup must be at least 0")

    X, y, names = load_randhie()
    n, p = X.shape
    print(f"RAND HIE: {n} people, mdvis against {p - 1} covariates and an intercept")
    print(
        f"counts: mean {y.mean():.2f}, variance {y.var():.2f}, {np.mean(y == 0):.1%} zeros, "
        f"max {y.max()}"
    )
    print(
        f"prior: b ~ N(0, {PRIOR_SD:g}^2 I), r ~ Gamma(shape {R_SHAPE:g}, rate {R_RATE:g}); "
        f"{args.chains} chains x ({warmup} warm-up + {args.sweeps}) Gibbs sweeps"
    )

    compiled = mcmc_compare.compile_seconds()
    result = gibbs.run(
        negbin_model(X, y, shift_scale=args.shift_scale),
        None,
        jax.random.key(args.seed),
        sweeps=args.sweeps,
        warmup=warmup,
        chains=args.chains,
    )
    gibbs_compile = mcmc_compare.compile_seconds() - compiled
    timing = result.timing
    beta = np.asarray(result.draws["beta"])
    r = np.asarray(result.draws["r"])
    accepted = float(np.mean(result.draws["shift_accepted"]))
    # The joint t step of (log r, b), when the builder's rule chose it.
    taken = result.draws.get("global_accepted")
    t_step = "" if taken is None else f", the (log r, b) t step {float(np.mean(taken)):.1%}"
    last_h = y + np.asarray(result.state.r)[:, None]
    last_z = np.asarray(result.state.beta) @ X.T
    draws = {"beta": beta, "r": r, "log r": np.log(r)}
    quantities, stacked = mcmc_compare.scalars(draws, {"beta": names})

    print(
        f"\nposterior (all chains after warm-up; ArviZ's summary: {mcmc_compare.CI_LABEL}, "
        "split R-hat, bulk and tail ESS)"
    )
    table = mcmc_compare.posterior_summary(
        dict(zip(quantities, np.moveaxis(stacked, 2, 0), strict=True))
    )
    print(table.to_string())
    print(
        f"\nGibbs: {args.chains} x ({warmup} + {args.sweeps}) sweeps in "
        f"{timing.total_seconds:.1f} s, "
        f"{gibbs_compile:.1f} s of it {mcmc_compare.COMPILING}; after compiling "
        f"{timing.sweeps_per_second:,.1f} sweeps/s over the {args.chains} chains, "
        f"{timing.sweeps_per_second * n:,.0f} Pólya-Gamma draws/s; "
        f"the (r, intercept) shift move accepted {accepted:.1%} of the time{t_step}"
    )

    shares = method_shares(last_h, last_z)
    print(
        f"\nvexol methods in the last sweep (h = y + r, {last_h.size} draws, counted from h and z)"
    )
    for name, share in zip(METHODS, shares, strict=True):
        print(f"  {name:<46}{share:>8.2%}")

    params, bse = statsmodels_fit(X, y)
    print("\nstatsmodels NegativeBinomial (NB2, log link) maximum likelihood")
    print("  slopes are the same quantities; its intercept is b_0 + log r and alpha = 1 / r")
    pooled_beta, pooled_r = beta.reshape(-1, p), r.reshape(-1)
    compared = np.column_stack(
        [pooled_beta[:, 0] + np.log(pooled_r), pooled_beta[:, 1:], 1.0 / pooled_r]
    )
    print(f"  {'':<24}{'Gibbs mean':>11}{'sd':>9}{'MLE':>11}{'se':>9}{'diff/sd':>9}")
    labels = ["intercept + log r", *names[1:], "alpha = 1 / r"]
    for j, label in enumerate(labels):
        mean, sd = compared[:, j].mean(), compared[:, j].std(ddof=1)
        print(
            f"  {label:<24}{mean:>11.4f}{sd:>9.4f}{params[j]:>11.4f}{bse[j]:>9.4f}"
            f"{(mean - params[j]) / sd:>9.2f}"
        )

    observed = count_frequencies(y)
    replicated = replicated_counts(X, beta, r, 400, args.seed)
    predicted = np.array([count_frequencies(sample) for sample in replicated])
    low, high = mcmc_compare.interval(predicted, axis=0)
    print(
        f"\nposterior predictive check: share of people with each count ({len(predicted)} "
        f"replicated data sets, {mcmc_compare.CI_LABEL})"
    )
    print(f"  {'count':>6}{'observed':>10}{'predictive':>12}{'low':>9}{'high':>9}")
    for k in range(TOP + 1):
        label = f"{k}" if k < TOP else f"{TOP}+"
        inside = "" if low[k] <= observed[k] <= high[k] else "  outside"
        print(
            f"  {label:>6}{observed[k]:>10.4f}{predicted[:, k].mean():>12.4f}"
            f"{low[k]:>9.4f}{high[k]:>9.4f}{inside}"
        )
    _plot(y, replicated, r, args.output)
    print(
        f"figures: {args.output.resolve()} (predictive check), {trace_figure(args.output).resolve()} (trace of r)"
    )

    report = {"draws": draws, "names": quantities, "timing": timing, "accepted": accepted}
    if args.nuts_samples > 0:
        print(
            f"\nNumPyro NUTS on the same model and priors: {args.chains} chains x "
            f"({args.nuts_warmup} warm-up + {args.nuts_samples}) draws, dense mass matrix"
        )
        nuts = mcmc_compare.run_nuts(
            nuts_model,
            jnp.asarray(X),
            jnp.asarray(y, jnp.float64),
            chains=args.chains,
            warmup=args.nuts_warmup,
            samples=args.nuts_samples,
            seed=args.seed,
            dense_mass=True,
        )
        nuts_draws = {
            "beta": nuts.draws["beta"],
            "r": nuts.draws["r"],
            "log r": np.log(nuts.draws["r"]),
        }
        _, nuts_stacked = mcmc_compare.scalars(nuts_draws, {"beta": names})
        comparison = mcmc_compare.compare(
            quantities, stacked, nuts_stacked, timing.total_seconds, nuts.seconds
        )
        print(mcmc_compare.comparison_table(comparison))
        print(f"NUTS divergent transitions after warm-up: {nuts.divergences}")
        print(mcmc_compare.verdict(comparison, gibbs_compile, nuts.compile_seconds))
        report["comparison"] = comparison
        forest = mcmc_compare.comparison_figure(args.output)
        mcmc_compare.plot_forest(
            quantities, stacked, nuts_stacked, forest, "RAND HIE, Gibbs beside NUTS"
        )
        print(f"figure: {forest.resolve()}")
    return report


if __name__ == "__main__":
    main()
