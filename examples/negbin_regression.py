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
given b. Only sum_i L_i enters, and every observation with y_i >= n
contributes one Bernoulli(r / (r + n - 1)) to it, so the sum is drawn as one
binomial per count level n (of all observations with y_i >= n): a few dozen
draws per sweep instead of sum_i y_i.

The script runs several chains (vmap over keys) on the RAND Health Insurance
Experiment data shipped with statsmodels (outpatient visits `mdvis` against
nine covariates, 20,190 people), and compares the posterior with statsmodels'
maximum-likelihood NB fit and with NumPyro's NUTS on the same model.

    python examples/negbin_regression.py [--sweeps N] [--chains C] [--seed S] [--output PNG]
"""

from __future__ import annotations

import argparse
import functools
import pathlib
import sys
import time
from collections.abc import Callable
from typing import NamedTuple

import jax
import jax.numpy as jnp
import numpy as np

jax.config.update("jax_enable_x64", True)

import vexol  # noqa: E402  (imported after the precision is set)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import mcmc_diagnostics  # noqa: E402

DEFAULT_SWEEPS = 2500
DEFAULT_CHAINS = 4
DEFAULT_OUTPUT = "out/negbin_regression.png"
PRIOR_SD = 10.0
R_SHAPE = 1.0
R_RATE = 0.1


# --------------------------------------------------------------------------
# The sampler
# --------------------------------------------------------------------------


class Data(NamedTuple):
    X: jax.Array  # (n, p) design, a column of ones for the intercept
    y: jax.Array  # (n,) counts, as floats
    at_least: jax.Array  # (max y,) number of observations with y_i >= 1, 2, ...


class Prior(NamedTuple):
    precision: jax.Array  # (p, p) prior precision of b
    shift: jax.Array  # (p,) prior precision times prior mean
    r_shape: jax.Array
    r_rate: jax.Array


def make_data(X: np.ndarray, y: np.ndarray) -> Data:
    y = np.asarray(y)
    if y.ndim != 1 or np.any(y < 0) or np.any(y != np.round(y)):
        raise ValueError("y must be a vector of non-negative integer counts")
    counts = np.bincount(y.astype(np.int64))
    at_least = counts[::-1].cumsum()[::-1][1:]
    return Data(
        jnp.asarray(X, jnp.float64), jnp.asarray(y, jnp.float64), jnp.asarray(at_least, jnp.float64)
    )


def make_prior(
    p: int, beta_sd: float = PRIOR_SD, r_shape: float = R_SHAPE, r_rate: float = R_RATE
) -> Prior:
    sd = np.broadcast_to(np.asarray(beta_sd, np.float64), (p,))
    return Prior(
        jnp.diag(1.0 / sd**2), jnp.zeros(p), jnp.asarray(r_shape, float), jnp.asarray(r_rate, float)
    )


def draw_r(data: Data, prior: Prior, psi: jax.Array, r: jax.Array, key: jax.Array) -> jax.Array:
    """r | b, y: L_i ~ CRT(y_i, r), then r ~ Gamma(a0 + sum L, b0 + sum log(1 + e^psi))."""
    table_key, gamma_key = jax.random.split(key)
    # The n-th customer of a restaurant opens a new table with probability
    # r / (r + n - 1); at_least[n - 1] restaurants have an n-th customer.
    opens = r / (r + jnp.arange(data.at_least.shape[0], dtype=r.dtype))
    tables = jax.random.binomial(table_key, data.at_least, opens).sum()
    rate = prior.r_rate + jnp.sum(jnp.logaddexp(0.0, psi))
    return jax.random.gamma(gamma_key, prior.r_shape + tables, dtype=r.dtype) / rate


def draw_beta(data: Data, prior: Prior, omega: jax.Array, r: jax.Array, key: jax.Array):
    """b | omega, r, y from its Gaussian full conditional."""
    X = data.X
    kappa = (data.y - r) / 2.0
    precision = X.T @ (omega[:, None] * X) + prior.precision
    chol = jnp.linalg.cholesky(precision)
    mean = jax.scipy.linalg.cho_solve((chol, True), X.T @ kappa + prior.shift)
    # precision = L L', so L'^-1 e has covariance precision^-1.
    noise = jax.random.normal(key, mean.shape, mean.dtype)
    return mean + jax.scipy.linalg.solve_triangular(chol.T, noise, lower=False)


def sweep_keys(key: jax.Array, sweep: jax.Array) -> tuple[jax.Array, jax.Array, jax.Array]:
    """The keys of the r, omega and b draws of one sweep of the chain `key`.

    They come from the sweep's index alone, so the chain does not depend on how
    the sweeps are cut into blocks.
    """
    r_key, omega_key, beta_key = jax.random.split(jax.random.fold_in(key, sweep), 3)
    return r_key, omega_key, beta_key


def gibbs_sweep(data: Data, prior: Prior, key: jax.Array, state, sweep):
    """One sweep from state (b, r); returns the new state and the sweep's omega."""
    beta, r = state
    r_key, omega_key, beta_key = sweep_keys(key, sweep)
    psi = data.X @ beta
    r = draw_r(data, prior, psi, r, r_key)
    omega = vexol.polya_gamma(omega_key, data.y + r, psi)
    beta = draw_beta(data, prior, omega, r, beta_key)
    return (beta, r), omega


@functools.partial(jax.jit, static_argnames="length")
def _run_block(data, prior, keys, state, first, length):
    def chain(key, state):
        def step(state, sweep):
            state, _ = gibbs_sweep(data, prior, key, state, sweep)
            return state, state

        return jax.lax.scan(step, state, first + jnp.arange(length))

    return jax.vmap(chain)(keys, state)


def initial_state(key: jax.Array, X: np.ndarray, y: np.ndarray, chains: int):
    """Dispersed starting points: the intercept of a Poisson fit with no
    covariates, and log r, both spread by N(0, 1) per chain; slopes zero."""
    k1, k2 = jax.random.split(key)
    log_r = jax.random.normal(k1, (chains,))
    beta = jnp.zeros((chains, X.shape[1]))
    intercept = np.log(np.mean(y) + 0.5) - log_r + jax.random.normal(k2, (chains,))
    return beta.at[:, 0].set(intercept), jnp.exp(log_r)


def negbin_gibbs(
    keys: jax.Array,
    X: np.ndarray,
    y: np.ndarray,
    num_sweeps: int,
    *,
    beta_sd: float = PRIOR_SD,
    r_shape: float = R_SHAPE,
    r_rate: float = R_RATE,
    block_size: int = 250,
    init: tuple[np.ndarray, np.ndarray] | None = None,
    on_block: Callable[[int], None] | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """Draw from the posterior of NB regression, one chain per key.

    Args:
      keys: (chains,) JAX PRNG keys; chain c is a fixed function of keys[c],
        its starting point and the data.
      X: (n, p) design matrix (include a column of ones for an intercept).
      y: (n,) non-negative integer counts.
      num_sweeps: Gibbs sweeps per chain; every sweep is returned.
      beta_sd, r_shape, r_rate: the prior b ~ N(0, beta_sd^2 I), r ~ Gamma(shape, rate).
      block_size: sweeps per jitted lax.scan call.
      init: starting (b, r), shapes (chains, p) and (chains,);
        `initial_state(keys[0], ...)`'s dispersed points by default.
      on_block: called with the number of sweeps after every block.

    Returns:
      b draws (chains, num_sweeps, p) and r draws (chains, num_sweeps).
    """
    keys = jnp.asarray(keys)
    chains = keys.shape[0]
    data = make_data(X, y)
    prior = make_prior(data.X.shape[1], beta_sd, r_shape, r_rate)
    if init is None:
        # Sweeps fold their index into a chain's key; the last index is
        # never a sweep's at any practical length.
        init = initial_state(jax.random.fold_in(keys[0], 2**32 - 1), X, y, chains)
    state = (jnp.asarray(init[0], jnp.float64), jnp.asarray(init[1], jnp.float64))

    betas, rs = [], []
    done = 0
    while done < num_sweeps:
        length = min(block_size, num_sweeps - done)
        state, (beta, r) = _run_block(data, prior, keys, state, done, length=length)
        betas.append(np.asarray(beta))
        rs.append(np.asarray(r))
        done += length
        if on_block is not None:
            on_block(length)
    if not betas:
        return np.zeros((chains, 0, data.X.shape[1])), np.zeros((chains, 0))
    return np.concatenate(betas, axis=1), np.concatenate(rs, axis=1)


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


def nuts_reference(X, y, *, chains, warmup, samples, seed, beta_sd=PRIOR_SD):
    """NUTS on the same model and priors; returns b (chains, samples, p) and r."""
    import numpyro
    import numpyro.distributions as dist
    from numpyro.infer import MCMC, NUTS

    def model(X, y):
        beta = numpyro.sample("beta", dist.Normal(0.0, beta_sd).expand([X.shape[1]]).to_event(1))
        r = numpyro.sample("r", dist.Gamma(R_SHAPE, R_RATE))
        # NegativeBinomialLogits: success probability sigmoid(logits), mean r e^psi.
        numpyro.sample("y", dist.NegativeBinomialLogits(r, X @ beta), obs=y)

    mcmc = MCMC(
        NUTS(model, dense_mass=True),
        num_warmup=warmup,
        num_samples=samples,
        num_chains=chains,
        chain_method="sequential",
        progress_bar=False,
    )
    mcmc.run(jax.random.key(seed), jnp.asarray(X), jnp.asarray(y, jnp.float64))
    draws = mcmc.get_samples(group_by_chain=True)
    return np.asarray(draws["beta"]), np.asarray(draws["r"])


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


def predictive_frequencies(X, beta, r, draws, seed):
    """Count shares of replicated data sets, one per posterior draw used."""
    rng = np.random.default_rng(seed)
    flat_beta = beta.reshape(-1, beta.shape[-1])
    flat_r = r.reshape(-1)
    chosen = rng.choice(len(flat_r), size=min(draws, len(flat_r)), replace=False)
    out = []
    for j in chosen:
        # NB(r, p) as a gamma mixture of Poissons with mean r exp(psi).
        rate = rng.gamma(flat_r[j], np.exp(X @ flat_beta[j]))
        out.append(count_frequencies(rng.poisson(rate)))
    return np.array(out)


def _plot_ppc(observed, replicated, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [str(k) for k in range(TOP)] + [f"{TOP}+"]
    where = np.arange(TOP + 1)
    low, high = np.quantile(replicated, [0.025, 0.975], axis=0)
    mean = replicated.mean(axis=0)
    fig, ax = plt.subplots(figsize=(9, 4.5))
    ax.bar(where, observed, width=0.7, color="tab:blue", alpha=0.6, label="observed")
    ax.errorbar(
        where,
        mean,
        yerr=[mean - low, high - mean],
        fmt="o",
        color="tab:red",
        capsize=4,
        markersize=4,
        label="posterior predictive mean, 95% interval",
    )
    ax.set_xticks(where, labels)
    ax.set_xlabel("outpatient visits in the year (mdvis)")
    ax.set_ylabel("share of people")
    ax.set_title("RAND HIE: posterior predictive check of the count distribution")
    ax.legend()
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


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


def _min_ess(beta, r):
    return min(
        *(mcmc_diagnostics.bulk_ess(beta[:, :, j]) for j in range(beta.shape[2])),
        mcmc_diagnostics.bulk_ess(r),
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sweeps", type=int, default=DEFAULT_SWEEPS, help="per chain")
    parser.add_argument("--warmup", type=int, default=None, help="default: a fifth")
    parser.add_argument("--chains", type=int, default=DEFAULT_CHAINS)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path(DEFAULT_OUTPUT))
    parser.add_argument("--nuts-warmup", type=int, default=400, help="per chain")
    parser.add_argument("--nuts-samples", type=int, default=500, help="per chain; 0 skips NUTS")
    args = parser.parse_args(argv)
    if args.sweeps < 10:
        parser.error("--sweeps must be at least 10")
    if args.chains < 1:
        parser.error("--chains must be at least 1")
    warmup = args.sweeps // 5 if args.warmup is None else args.warmup
    if not 0 <= warmup < args.sweeps - 4:
        parser.error("--warmup must lie in [0, sweeps - 4)")

    from tqdm import tqdm

    X, y, names = load_randhie()
    n, p = X.shape
    print(f"RAND HIE: {n} people, mdvis against {p - 1} covariates and an intercept")
    print(
        f"counts: mean {y.mean():.2f}, variance {y.var():.2f}, {np.mean(y == 0):.1%} zeros, "
        f"max {y.max()}"
    )
    print(
        f"prior: b ~ N(0, {PRIOR_SD:g}^2 I), r ~ Gamma(shape {R_SHAPE:g}, rate {R_RATE:g}); "
        f"{args.chains} chains x {args.sweeps} Gibbs sweeps ({warmup} warm-up)"
    )

    # Block ends are timed so that the rate can be given without the first
    # block, which includes tracing and compiling the scan.
    marks: list[tuple[int, float]] = []

    def on_block(length: int) -> None:
        bar.update(length)
        marks.append((bar.n, time.perf_counter()))

    keys = jax.random.split(jax.random.key(args.seed), args.chains)
    start = time.perf_counter()
    with tqdm(total=args.sweeps, unit="sweep", file=sys.stdout) as bar:
        beta, r = negbin_gibbs(keys, X, y, args.sweeps, on_block=on_block)
    gibbs_seconds = time.perf_counter() - start
    last_h = y + r[:, -1, None]
    last_z = (X @ beta[:, -2].T).T
    beta, r = beta[:, warmup:], r[:, warmup:]
    draws = np.concatenate([beta, r[:, :, None], np.log(r)[:, :, None]], axis=2)
    quantities = [*names, "r", "log r"]

    print("\nposterior (all chains after warm-up; split R-hat and bulk ESS across chains)")
    print(mcmc_diagnostics.summary_table(draws, quantities, digits=4))

    print(
        f"\nGibbs: {args.chains} x {args.sweeps} sweeps in {gibbs_seconds:.1f} s "
        "including compilation"
    )
    if len(marks) > 1:
        sweeps = marks[-1][0] - marks[0][0]
        rate = sweeps / (marks[-1][1] - marks[0][1])
        print(
            f"       after the first block: {rate:,.1f} sweeps/s per chain, "
            f"{rate * args.chains:,.1f} sweeps/s over the {args.chains} chains, "
            f"{rate * args.chains * n:,.0f} Pólya-Gamma draws/s"
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
    pooled = draws.reshape(-1, draws.shape[2])
    compared = np.column_stack([pooled[:, 0] + pooled[:, -1], pooled[:, 1:p], 1.0 / pooled[:, p]])
    header = f"  {'':<24}{'Gibbs mean':>11}{'sd':>9}{'MLE':>11}{'se':>9}{'diff/sd':>9}"
    print(header)
    labels = ["intercept + log r", *names[1:], "alpha = 1 / r"]
    for j, label in enumerate(labels):
        mean, sd = compared[:, j].mean(), compared[:, j].std(ddof=1)
        print(
            f"  {label:<24}{mean:>11.4f}{sd:>9.4f}{params[j]:>11.4f}{bse[j]:>9.4f}"
            f"{(mean - params[j]) / sd:>9.2f}"
        )

    observed = count_frequencies(y)
    replicated = predictive_frequencies(X, beta, r, 400, args.seed)
    low, high = np.quantile(replicated, [0.025, 0.975], axis=0)
    print(
        "\nposterior predictive check: share of people with each count (400 replicated data sets)"
    )
    print(f"  {'count':>6}{'observed':>10}{'predictive':>12}{'2.5%':>9}{'97.5%':>9}")
    for k in range(TOP + 1):
        label = f"{k}" if k < TOP else f"{TOP}+"
        inside = "" if low[k] <= observed[k] <= high[k] else "  outside"
        print(
            f"  {label:>6}{observed[k]:>10.4f}{replicated[:, k].mean():>12.4f}"
            f"{low[k]:>9.4f}{high[k]:>9.4f}{inside}"
        )
    _plot_ppc(observed, replicated, args.output)
    print(f"figure: {args.output.resolve()}")

    if args.nuts_samples > 0:
        print(
            f"\nNumPyro NUTS on the same model and priors: {args.chains} chains x "
            f"({args.nuts_warmup} warm-up + {args.nuts_samples}) draws, dense mass matrix"
        )
        start = time.perf_counter()
        nuts_beta, nuts_r = nuts_reference(
            X,
            y,
            chains=args.chains,
            warmup=args.nuts_warmup,
            samples=args.nuts_samples,
            seed=args.seed,
        )
        nuts_seconds = time.perf_counter() - start
        nuts_draws = np.concatenate(
            [nuts_beta, nuts_r[:, :, None], np.log(nuts_r)[:, :, None]], axis=2
        )
        gibbs_summary = mcmc_diagnostics.summarize(draws)
        nuts_summary = mcmc_diagnostics.summarize(nuts_draws)
        print(
            f"  {'':<16}{'Gibbs mean':>11}{'NUTS mean':>11}{'diff/sd':>9}"
            f"{'Gibbs sd':>10}{'NUTS sd':>9}{'sd ratio':>9}{'NUTS R-hat':>11}{'NUTS ESS':>9}"
        )
        worst_mean = worst_sd = 0.0
        for j, name in enumerate(quantities):
            diff = (gibbs_summary["mean"][j] - nuts_summary["mean"][j]) / nuts_summary["sd"][j]
            ratio = gibbs_summary["sd"][j] / nuts_summary["sd"][j]
            worst_mean = max(worst_mean, abs(diff))
            worst_sd = max(worst_sd, abs(ratio - 1.0))
            print(
                f"  {name:<16}{gibbs_summary['mean'][j]:>11.4f}{nuts_summary['mean'][j]:>11.4f}"
                f"{diff:>9.3f}{gibbs_summary['sd'][j]:>10.4f}{nuts_summary['sd'][j]:>9.4f}"
                f"{ratio:>9.3f}{nuts_summary['rhat'][j]:>11.3f}{nuts_summary['ess'][j]:>9.0f}"
            )
        verdict = "agree" if worst_mean <= 0.1 and worst_sd <= 0.1 else "DISAGREE"
        print(
            f"  largest |mean difference| {worst_mean:.3f} NUTS sd (goal <= 0.1), largest "
            f"|sd ratio - 1| {worst_sd:.3f} (goal <= 0.1): the posteriors {verdict}"
        )
        gibbs_ess, nuts_ess = _min_ess(beta, r), _min_ess(nuts_beta, nuts_r)
        gibbs_rate, nuts_rate = gibbs_ess / gibbs_seconds, nuts_ess / nuts_seconds
        print(
            "\nmin bulk ESS over b and r per second, compilation and warm-up included:\n"
            f"  Gibbs {gibbs_ess:8.0f} in {gibbs_seconds:6.1f} s = {gibbs_rate:8.1f}/s\n"
            f"  NUTS  {nuts_ess:8.0f} in {nuts_seconds:6.1f} s = {nuts_rate:8.1f}/s\n"
            f"  Gibbs / NUTS = {gibbs_rate / nuts_rate:.2f}"
        )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
