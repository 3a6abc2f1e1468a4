"""Hierarchical logistic regression entirely by Gibbs sampling, against NUTS.

The coefficients share an unknown prior scale:

    alpha   ~ N(0, 5^2)                      (intercept)
    beta_j  ~ N(0, tau^2),  j = 1..p
    tau^2   ~ InvGamma(1, 1)
    y_i     ~ Bernoulli(logit^-1(alpha + x_i' beta))

With omega_i ~ PG(1, psi_i) every full conditional is a standard law
(Polson, Scott and Windle 2013), so each sweep of vexol.gibbs.hierarchical_
logistic draws

    omega | alpha, beta          ~ PG(1, psi)                        (vexol)
    (alpha, beta) | omega, tau^2 ~ N(m, V)
    tau^2 | beta                 ~ InvGamma(1 + p/2, 1 + |beta|^2 / 2)

The inverse-gamma prior on tau^2 is what makes the last step conjugate (the
NumPyro example beside this one keeps a half-Cauchy prior on tau and moves
it by NUTS inside numpyro.infer.HMCGibbs). The script runs 4 chains on Fair's
affairs data (6366 rows, 8 standardized covariates; shipped with statsmodels,
no download) and NumPyro's NUTS on the same model and priors, checks that
the posterior means agree within 0.1 posterior sd, and prints both samplers'
minimum bulk effective sample size per second, compilation included.

    python examples/hierarchical_logistic.py [--sweeps N] [--nuts-samples N] [--seed S]
"""

from __future__ import annotations

import pathlib
import sys

import jax
import jax.numpy as jnp
import numpy as np

jax.config.update("jax_enable_x64", True)

from vexol import gibbs  # noqa: E402  (imported after the precision is set)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import mcmc_compare  # noqa: E402

INTERCEPT_SD = 5.0
TAU2_SHAPE = 1.0
TAU2_SCALE = 1.0


def load_data() -> tuple[np.ndarray, np.ndarray, list[str]]:
    """Fair's affairs data (statsmodels, no download): whether a married woman
    reported any extramarital affair, against eight standardized covariates."""
    from statsmodels.datasets import fair

    frame = fair.load_pandas().data
    y = (frame["affairs"] > 0).to_numpy(np.float64)
    covariates = frame.drop(columns="affairs")
    X = covariates.to_numpy(np.float64)
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    return X, y, list(covariates.columns)


def gibbs_model(X: np.ndarray, y: np.ndarray) -> gibbs.Gibbs:
    """vexol.gibbs.hierarchical_logistic with the priors above; the
    intercept is column 0 of the design, outside the shared scale."""
    design = np.column_stack([np.ones(len(X)), X])
    return gibbs.hierarchical_logistic(
        design,
        y,
        unpenalized=(0,),
        unpenalized_sd=INTERCEPT_SD,
        tau2_shape=TAU2_SHAPE,
        tau2_scale=TAU2_SCALE,
    )


def nuts_model(X, y):
    """The same model and priors for NumPyro."""
    import numpyro
    import numpyro.distributions as dist

    tau2 = numpyro.sample("tau2", dist.InverseGamma(TAU2_SHAPE, TAU2_SCALE))
    alpha = numpyro.sample("alpha", dist.Normal(0.0, INTERCEPT_SD))
    beta = numpyro.sample("beta", dist.Normal(0.0, jnp.sqrt(tau2)).expand([X.shape[1]]).to_event(1))
    numpyro.sample("y", dist.Bernoulli(logits=alpha + X @ beta), obs=y)


def main(argv: list[str] | None = None) -> dict:
    parser = mcmc_compare.parser(__doc__)
    mcmc_compare.add_gibbs_arguments(parser, warmup=500)
    mcmc_compare.add_nuts_arguments(parser, warmup=300, samples=500)
    args = parser.parse_args(argv)
    mcmc_compare.check_gibbs_arguments(parser, args)

    X, y, features = load_data()
    n, p = X.shape
    print(
        f"Fair's affairs: {n} rows, {p} standardized covariates; prior alpha ~ N(0, "
        f"{INTERCEPT_SD:g}^2), beta_j ~ N(0, tau^2), tau^2 ~ InvGamma({TAU2_SHAPE:g}, "
        f"{TAU2_SCALE:g})"
    )
    print(f"{args.chains} chains x ({args.warmup} warm-up + {args.sweeps}) Gibbs sweeps")

    result, gibbs_compile = mcmc_compare.run_gibbs(gibbs_model(X, y), args)
    timing = result.timing
    beta = np.asarray(result.draws["beta"])
    draws = {
        "tau2": np.asarray(result.draws["tau2"]),
        "alpha": beta[:, :, 0],
        "beta": beta[:, :, 1:],
    }
    labels = {"beta": [f"beta[{f}]" for f in features]}
    names, stacked = mcmc_compare.scalars(draws, labels)
    print(mcmc_compare.gibbs_time(timing, gibbs_compile))

    report = {"names": names, "draws": stacked, "timing": timing}
    if args.nuts_samples > 0:
        nuts = mcmc_compare.run_nuts_as_asked(args, nuts_model, jnp.asarray(X), jnp.asarray(y))
        report["comparison"] = mcmc_compare.report_comparison(
            names, stacked, timing.total_seconds, gibbs_compile, nuts, list(draws), labels
        )
    else:
        print(
            f"\nposterior (ArviZ's summary: {mcmc_compare.CI_LABEL}, split R-hat, bulk and tail ESS)"
        )
        table = mcmc_compare.posterior_summary(
            dict(zip(names, np.moveaxis(stacked, 2, 0), strict=True))
        )
        print(table.to_string())
    return report


if __name__ == "__main__":
    main()
