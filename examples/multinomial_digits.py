"""Multinomial logistic regression on handwritten digits by Gibbs sampling.

scikit-learn's digits (1,797 images of 8x8 pixels, 10 classes; shipped with
scikit-learn, no download) are classified by stick-breaking multinomial
logistic regression (Linderman, Johnson and Adams 2015): class k = 0..8 takes
an image with probability sigmoid(psi_k) among the classes not taken before
it, psi_k = c_k + x' beta_k, and class 9 takes the rest. Given
omega_ik ~ PG(N_ik, psi_ik) (N_ik = 1 while image i is still untaken at
stick k, else 0) the nine coefficient vectors are independent Gaussians, so a
sweep of vexol.gibbs.multinomial is one vexol call of n x 9 draws and nine
independent Gaussian draws. Prior beta_k ~ N(0, 2.5^2 I); the pixels are
standardized on the training images, plus an intercept. The classes are
separable in the pixels, so the augmentation holds most directions of each
beta_k tens to hundreds of times tighter than the posterior does; each sweep
ends with a Metropolis step along each of the 65 directions of each stick,
slowest first (--slow-directions 0 for plain Gibbs).

The script runs 4 chains on a stratified 75/25 split, reports the held-out
accuracy of the posterior predictive next to scikit-learn's softmax
LogisticRegression (its L2 penalty the same Gaussian prior), draws a figure
(held-out confusion matrix of the posterior predictive, and the test images
the posterior is least sure of, with each class probability's 95% equal-tailed interval),
and runs NumPyro's NUTS on the same model and prior to compare the posterior
and the minimum bulk ESS per second.

    python examples/multinomial_digits.py [--sweeps N] [--nuts-samples N] [--output PNG]
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time
import warnings

import jax
import jax.numpy as jnp
import numpy as np

jax.config.update("jax_enable_x64", True)

from vexol import gibbs  # noqa: E402  (imported after the precision is set)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import mcmc_compare  # noqa: E402

PRIOR_SD = 2.5
CLASSES = 10
DEFAULT_OUTPUT = "out/multinomial_digits.png"


def load_digits(split_seed: int = 0):
    """Standardized pixels with an intercept column, labels, for train and test."""
    from sklearn.datasets import load_digits as sklearn_digits
    from sklearn.model_selection import train_test_split

    data = sklearn_digits()
    X_train, X_test, y_train, y_test = train_test_split(
        data.data, data.target, test_size=0.25, stratify=data.target, random_state=split_seed
    )
    mean, sd = X_train.mean(axis=0), X_train.std(axis=0)
    live = sd > 0

    # Pixels blank in every training image are 0 in both sets: their
    # coefficients are the prior's alone, and a test image's ink there
    # must not meet them.
    def scale(X):
        scaled = np.where(live, (X - mean) / np.where(live, sd, 1.0), 0.0)
        return np.column_stack([np.ones(len(X)), scaled])

    return scale(X_train), scale(X_test), y_train, y_test, data.images[0].shape


def class_log_probabilities(psi: jax.Array) -> jax.Array:
    """Stick-breaking log class probabilities (..., K) from the sticks' psi (..., K-1)."""
    log_take = jax.nn.log_sigmoid(psi)
    log_pass = jax.nn.log_sigmoid(-psi)
    before = jnp.cumsum(log_pass, axis=-1) - log_pass
    return jnp.concatenate([log_take + before, jnp.sum(log_pass, -1, keepdims=True)], -1)


def predictive(X: np.ndarray, beta: np.ndarray) -> np.ndarray:
    """Class probabilities of each row of X under each draw: (draws, n, K)."""
    offsets = gibbs.stick_breaking_offsets(CLASSES, jnp.float64)
    psi = jnp.einsum("np,dkp->dnk", jnp.asarray(X), jnp.asarray(beta)) + offsets
    return np.asarray(jnp.exp(class_log_probabilities(psi)))


def nuts_model(X, y, prior_sd=PRIOR_SD):
    """The same model and prior for NumPyro."""
    import numpyro
    import numpyro.distributions as dist

    beta = numpyro.sample(
        "beta", dist.Normal(0.0, prior_sd).expand([CLASSES - 1, X.shape[1]]).to_event(2)
    )
    psi = X @ beta.T + gibbs.stick_breaking_offsets(CLASSES, X.dtype)
    numpyro.sample("y", dist.Categorical(logits=class_log_probabilities(psi)), obs=y)


def _plot(confusion, images, probabilities, labels, shape, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = len(images)
    fig = plt.figure(figsize=(13, 7.5))
    grid = fig.add_gridspec(2, shown, height_ratios=[1.0, 1.0], hspace=0.45)
    ax = fig.add_subplot(grid[0, : shown // 2])
    ax.imshow(confusion, cmap="Blues")
    for (i, j), count in np.ndenumerate(confusion):
        if count:
            colour = "white" if count > confusion.max() / 2 else "black"
            ax.text(j, i, str(count), ha="center", va="center", fontsize=7, color=colour)
    ax.set_xticks(range(CLASSES))
    ax.set_yticks(range(CLASSES))
    ax.set_xlabel("predicted (posterior predictive)")
    ax.set_ylabel("true digit")
    ax.set_title("held-out confusion matrix")
    text = fig.add_subplot(grid[0, shown // 2 :])
    text.axis("off")
    text.text(
        0.0,
        0.5,
        "Below: the held-out images the posterior is least\n"
        "sure of. Bars: posterior mean probability of each\n"
        f"class, with its {mcmc_compare.CI_LABEL}\nover the posterior "
        "draws; the true class in red.",
        va="center",
        fontsize=10,
    )
    for j in range(shown):
        cell = grid[1, j].subgridspec(2, 1, height_ratios=[1.0, 1.2], hspace=0.15)
        image = fig.add_subplot(cell[0])
        image.imshow(images[j].reshape(shape), cmap="gray_r")
        image.set_xticks([])
        image.set_yticks([])
        image.set_title(f"true {labels[j]}", fontsize=9)
        bars = fig.add_subplot(cell[1])
        mean = probabilities[:, j].mean(axis=0)
        low, high = mcmc_compare.interval(probabilities[:, j], axis=0)
        colours = ["tab:red" if k == labels[j] else "tab:blue" for k in range(CLASSES)]
        bars.bar(range(CLASSES), mean, color=colours, alpha=0.7)
        # A skewed posterior can put the mean outside its central interval.
        below, above = np.maximum(mean - low, 0.0), np.maximum(high - mean, 0.0)
        bars.errorbar(range(CLASSES), mean, yerr=[below, above], fmt="none", ecolor="k")
        bars.set_ylim(0, 1)
        bars.set_xticks(range(CLASSES))
        bars.tick_params(labelsize=6)
        if j:
            bars.set_yticklabels([])
    fig.suptitle("Stick-breaking multinomial logistic regression on scikit-learn's digits (Gibbs)")
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)


def main(argv: list[str] | None = None) -> dict:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    parser.add_argument("--sweeps", type=int, default=4000, help="per chain, after warm-up")
    parser.add_argument("--warmup", type=int, default=500, help="Gibbs sweeps per chain")
    parser.add_argument("--chains", type=int, default=4, help="run at once")
    parser.add_argument("--seed", type=int, default=0, help="seed of the chains")
    parser.add_argument("--split-seed", type=int, default=0, help="seed of the train/test split")
    parser.add_argument(
        "--prior-sd",
        type=float,
        default=PRIOR_SD,
        help="of every coefficient; the classes are separable, so the prior sets how far "
        "the posterior reaches and, with it, how fast the Gibbs chains mix",
    )
    parser.add_argument(
        "--slow-directions",
        type=int,
        default=65,
        help="Metropolis steps per sweep and stick along the directions plain Gibbs mixes "
        "slowest (at most one per coefficient of a stick; 0: plain Gibbs)",
    )
    parser.add_argument(
        "--direction-step",
        type=float,
        default=2.4,
        help="their proposal sd, in approximate posterior sds along the direction",
    )
    parser.add_argument("--nuts-warmup", type=int, default=200, help="per chain")
    parser.add_argument("--nuts-samples", type=int, default=800, help="per chain; 0 skips NUTS")
    parser.add_argument(
        "--output", type=pathlib.Path, default=pathlib.Path(DEFAULT_OUTPUT), help="figure file"
    )
    args = parser.parse_args(argv)
    if args.sweeps < 10 or args.warmup < 0 or args.chains < 1 or args.slow_directions < 0:
        parser.error("need --sweeps >= 10, --warmup >= 0, --chains >= 1 and --slow-directions >= 0")

    from sklearn.linear_model import LogisticRegression

    X_train, X_test, y_train, y_test, shape = load_digits(args.split_seed)
    n, p = X_train.shape
    print(
        f"digits: {n} training and {len(y_test)} test images, {p - 1} pixels and an intercept, "
        f"{CLASSES} classes: {(CLASSES - 1) * p} coefficients; prior N(0, {args.prior_sd:g}^2)"
    )
    print(f"{args.chains} chains x ({args.warmup} warm-up + {args.sweeps}) Gibbs sweeps")
    slow = min(args.slow_directions, p)
    if slow:
        print(
            f"each sweep ends with a Metropolis step along each of the {slow} directions "
            f"plain Gibbs mixes slowest, for each stick (step sd {args.direction_step} "
            "posterior sd)"
        )

    compiled = mcmc_compare.compile_seconds()
    start = time.perf_counter()
    model = gibbs.multinomial(
        X_train,
        y_train,
        num_classes=CLASSES,
        prior_sd=args.prior_sd,
        slow_directions=slow,
        direction_step=args.direction_step,
    )
    setup = time.perf_counter() - start
    result = gibbs.run(
        model,
        None,
        jax.random.key(args.seed),
        sweeps=args.sweeps,
        warmup=args.warmup,
        chains=args.chains,
        collect=lambda state: {"beta": state.beta, "accepted": state.accepted},
    )
    gibbs_compile = mcmc_compare.compile_seconds() - compiled
    gibbs_seconds = time.perf_counter() - start
    timing = result.timing
    beta = np.asarray(result.draws["beta"])  # (chains, draws, K-1, p)
    print(
        f"Gibbs: {gibbs_seconds:.1f} s: {setup:.1f} s building the sampler (the directions), "
        f"{gibbs_compile:.1f} s {mcmc_compare.COMPILING}, "
        f"{timing.sampling_seconds:.1f} s sampling; "
        f"{timing.sweeps_per_second:,.1f} sweeps/s of all chains after compiling, "
        f"{timing.sweeps_per_second * n * (CLASSES - 1):,.0f} Pólya-Gamma draws/s"
    )
    if slow:
        rate = np.asarray(result.draws["accepted"]).mean() / (slow * (CLASSES - 1))
        print(f"direction steps taken: {rate:.0%}")

    # Posterior predictive on the test images, from every 10th draw.
    pooled = beta.reshape(-1, CLASSES - 1, p)
    thinned = pooled[:: max(1, len(pooled) // 400)]
    probabilities = predictive(X_test, thinned)
    mean_probability = probabilities.mean(axis=0)
    predicted = mean_probability.argmax(axis=1)
    accuracy = float(np.mean(predicted == y_test))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        softmax = LogisticRegression(C=args.prior_sd**2, max_iter=5000).fit(X_train[:, 1:], y_train)
    print(f"held-out accuracy: posterior predictive (stick-breaking)   {accuracy:.3f}")
    print(
        f"                   scikit-learn softmax, same L2 prior      "
        f"{softmax.score(X_test[:, 1:], y_test):.3f}"
    )
    confusion = np.zeros((CLASSES, CLASSES), np.int64)
    np.add.at(confusion, (y_test, predicted), 1)
    entropy = -np.sum(mean_probability * np.log(mean_probability + 1e-300), axis=1)
    unsure = np.argsort(-entropy)[:8]
    _, raw_test, _, _ = _raw_images(args.split_seed)
    _plot(
        confusion,
        raw_test[unsure],
        probabilities[:, unsure],
        y_test[unsure],
        shape,
        args.output,
    )
    print(f"figure: {args.output.resolve()}")

    labels = [f"beta[{k}, {j}]" for k in range(CLASSES - 1) for j in range(p)]
    flat = beta.reshape(beta.shape[0], beta.shape[1], -1)
    report = {"accuracy": accuracy, "timing": timing, "draws": flat, "names": labels}
    if args.nuts_samples > 0:
        print(
            f"\nNumPyro NUTS on the same model and prior: {args.chains} chains x "
            f"({args.nuts_warmup} warm-up + {args.nuts_samples}) draws"
        )
        nuts = mcmc_compare.run_nuts(
            nuts_model,
            jnp.asarray(X_train),
            jnp.asarray(y_train),
            args.prior_sd,
            chains=args.chains,
            warmup=args.nuts_warmup,
            samples=args.nuts_samples,
            seed=args.seed,
        )
        nuts_flat = nuts.draws["beta"].reshape(args.chains, args.nuts_samples, -1)
        comparison = mcmc_compare.compare(labels, flat, nuts_flat, gibbs_seconds, nuts.seconds)
        print(mcmc_compare.comparison_table(comparison, mcmc_compare.chosen_rows(comparison, 12)))
        print(
            f"(12 of the {len(labels)} coefficients: the largest differences and the smallest "
            "ESS; beta[k, 0] is stick k's intercept, beta[k, j] its pixel j - 1)"
        )
        print(f"NUTS divergent transitions after warm-up: {nuts.divergences}")
        print(mcmc_compare.verdict(comparison, gibbs_compile, nuts.compile_seconds))
        report["comparison"] = comparison
        shown = mcmc_compare.chosen_rows(comparison, 12)
        forest = mcmc_compare.comparison_figure(args.output)
        mcmc_compare.plot_forest(
            [labels[j] for j in shown],
            flat[:, :, shown],
            nuts_flat[:, :, shown],
            forest,
            "digits, Gibbs beside NUTS",
        )
        print(f"figure: {forest.resolve()}")
    return report


def _raw_images(split_seed: int):
    """The unscaled pixels of the same split, for the figure."""
    from sklearn.datasets import load_digits as sklearn_digits
    from sklearn.model_selection import train_test_split

    data = sklearn_digits()
    return train_test_split(
        data.data, data.target, test_size=0.25, stratify=data.target, random_state=split_seed
    )


if __name__ == "__main__":
    main()
