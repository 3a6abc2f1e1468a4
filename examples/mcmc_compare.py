"""What the examples share: their command line and Gibbs run, NumPyro's NUTS
as the reference sampler, and the comparison of a Gibbs run with it.

Every example runs its Gibbs sampler (vexol.gibbs) and NUTS on the same model
and priors, 4 chains each, and prints

- the posterior means side by side, and whether they agree within
  `AGREEMENT_SD` posterior standard deviations (the largest difference over
  every scalar quantity, in units of the NUTS posterior sd);
- each sampler's minimum bulk effective sample size over those quantities
  (ArviZ's, through vexol.gibbs.ess), its wall time with compilation
  included (and the compilation's share, from JAX's own compile events),
  and their ratio: min bulk ESS per second, Gibbs over NUTS.
"""

from __future__ import annotations

import argparse
import re
import sys
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple

import jax
import numpy as np

AGREEMENT_SD = 0.1

# One credible interval in every table and figure of every example: ArviZ's
# equal-tailed interval at this probability. ArviZ's own default is 89%,
# which a 95% interval in a figure beside it would contradict; equal-tailed
# because ArviZ's rootogram draws no other kind. CI_LABEL names it in each
# heading.
CI_PROB = 0.95
CI_KIND = "eti"
CI_LABEL = f"{CI_PROB:.0%} equal-tailed interval"

# --------------------------------------------------------------------------
# Compilation time, from JAX's monitoring events
# --------------------------------------------------------------------------

_compile_seconds = [0.0]
_listening = [False]
_lock = threading.Lock()


def _on_duration(event: str, duration: float, **_: Any) -> None:
    # One event per XLA compilation; tracing and lowering are apart and
    # small next to it for these programs.
    if event.endswith("backend_compile_duration"):
        with _lock:
            _compile_seconds[0] += duration


# The one compile-time figure every example prints, for either sampler: XLA's
# compile events (compile_seconds) over the run. vexol.gibbs.Timing's
# compile_seconds also counts tracing, and NUTS has no such figure; two
# figures both called "compiling" in one output read as a contradiction.
COMPILING = "XLA compiling"


def compile_seconds() -> float:
    """Seconds XLA has spent compiling in this process since the first call."""
    if not _listening[0]:
        jax.monitoring.register_event_duration_secs_listener(_on_duration)
        _listening[0] = True
    with _lock:
        return _compile_seconds[0]


# --------------------------------------------------------------------------
# The command line and the Gibbs run every example has
# --------------------------------------------------------------------------


def parser(doc: str) -> argparse.ArgumentParser:
    """An example's parser: its docstring's first paragraph as the
    description, every default shown in --help."""
    return argparse.ArgumentParser(
        description=doc.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )


def _default(value: int | str, help: str) -> dict[str, Any]:
    # A number is the default; a text says what it is where it depends on
    # other arguments (the attribute is then absent unless given).
    if isinstance(value, str):
        return {"default": argparse.SUPPRESS, "help": f"{help} (default: {value})"}
    return {"default": value, "help": help}


def add_gibbs_arguments(
    parser: argparse.ArgumentParser,
    *,
    warmup: int,
    seed: str = "seed of the chains",
    sweeps: int | str = 2000,
) -> None:
    """--sweeps (vexol.gibbs.run's: kept after warm-up), --warmup, --chains
    and --seed; `seed` is its help. `sweeps` as a text describes defaults
    the example sets itself."""
    parser.add_argument("--sweeps", type=int, **_default(sweeps, "per chain, after warm-up"))
    parser.add_argument("--warmup", type=int, default=warmup, help="Gibbs sweeps per chain")
    parser.add_argument("--chains", type=int, default=4, help="run at once")
    parser.add_argument("--seed", type=int, default=0, help=seed)


def add_nuts_arguments(
    parser: argparse.ArgumentParser, *, warmup: int | str, samples: int | str
) -> None:
    """--nuts-warmup and --nuts-samples (0 skips NUTS); as for --sweeps, a
    text describes defaults the example sets itself."""
    parser.add_argument("--nuts-warmup", type=int, **_default(warmup, "per chain"))
    parser.add_argument("--nuts-samples", type=int, **_default(samples, "per chain; 0 skips NUTS"))


def check_gibbs_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Stop, as argparse does, on a Gibbs run too short to judge."""
    if args.sweeps < 10 or args.warmup < 0 or args.chains < 1:
        parser.error("need --sweeps >= 10, --warmup >= 0 and --chains >= 1")


def run_gibbs(model: Any, args: argparse.Namespace) -> tuple[Any, float]:
    """vexol.gibbs.run of `model` with the example's --seed, --sweeps,
    --warmup and --chains: its result, and the seconds XLA spent compiling
    during the run (the figure printed under COMPILING)."""
    from vexol import gibbs

    compiled = compile_seconds()
    result = gibbs.run(
        model,
        None,
        jax.random.key(args.seed),
        sweeps=args.sweeps,
        warmup=args.warmup,
        chains=args.chains,
    )
    return result, compile_seconds() - compiled


def gibbs_time(timing: Any, compiling: float) -> str:
    """The line every example prints after its Gibbs run."""
    return (
        f"Gibbs: {timing.total_seconds:.1f} s, {compiling:.1f} s of it {COMPILING}; "
        f"{timing.sweeps_per_second:,.0f} sweeps/s of all chains after compiling"
    )


# --------------------------------------------------------------------------
# NUTS, with progress that reads well in a terminal and in a log
# --------------------------------------------------------------------------


def _finished(bar: str) -> bool:
    """Whether a tqdm bar reads n/n (its percentage rounds to 100% before)."""
    counts = re.search(r"(\d+)/(\d+)", bar)
    return counts is not None and counts.group(1) == counts.group(2)


class _Lines:
    """A stand-in for stderr that turns tqdm's redrawn bar into a line at
    most every `interval` seconds, and at the end of each bar."""

    def __init__(self, stream, interval: float, chains: int = 1):
        self.stream, self.interval, self.chains = stream, interval, chains
        self.last_line, self.pending, self.next_time = "", "", 0.0
        self.finished = 0  # bars at 100%: NumPyro draws one per chain

    def write(self, text: str) -> int:
        for piece in text.replace("\n", "\r").split("\r"):
            piece = piece.strip()
            if not piece:
                continue
            self.pending = piece
            now = time.monotonic()
            if now >= self.next_time or _finished(piece):
                self._emit()
                self.next_time = now + self.interval
        return len(text)

    def _emit(self) -> None:
        if self.pending and self.pending != self.last_line:
            chain = min(self.finished + 1, self.chains)
            self.stream.write(f"NUTS chain {chain}/{self.chains}: {self.pending}\n")
            self.stream.flush()
            self.last_line = self.pending
            if _finished(self.pending):
                self.finished += 1

    def flush(self) -> None:
        self.stream.flush()

    def isatty(self) -> bool:
        return False


class NutsRun(NamedTuple):
    """NUTS draws grouped by chain (each site (chains, draws, ...)), the
    wall time of the whole run, the part of it spent compiling, and the
    number of divergent transitions after warm-up."""

    draws: dict[str, np.ndarray]
    seconds: float
    compile_seconds: float
    divergences: int


def run_nuts(
    model: Callable,
    *model_args: Any,
    chains: int,
    warmup: int,
    samples: int,
    seed: int,
    dense_mass: bool = False,
    target_accept: float = 0.8,
    progress: bool = True,
    init_strategy: Callable | None = None,
) -> NutsRun:
    """NumPyro's NUTS, `chains` chains one after the other (the way NUTS runs
    on a CPU), timed with its compilation.

    With `progress`, NumPyro's bars go to stderr; when stderr is not a
    terminal (a log file, a pipe), a line about every 20 seconds instead.
    """
    from numpyro.infer import MCMC, NUTS, init_to_median

    kernel = NUTS(
        model,
        dense_mass=dense_mass,
        target_accept_prob=target_accept,
        init_strategy=init_strategy or init_to_median,
    )
    mcmc = MCMC(
        kernel,
        num_warmup=warmup,
        num_samples=samples,
        num_chains=chains,
        chain_method="sequential",
        progress_bar=progress,
    )
    stderr = sys.stderr
    swap = progress and not stderr.isatty()
    compiled = compile_seconds()
    start = time.perf_counter()
    try:
        if swap:
            sys.stderr = _Lines(stderr, 20.0, chains)
        mcmc.run(jax.random.key(seed), *model_args, extra_fields=("diverging",))
        draws = jax.block_until_ready(mcmc.get_samples(group_by_chain=True))
    finally:
        sys.stderr = stderr
    seconds = time.perf_counter() - start
    divergences = int(np.sum(np.asarray(mcmc.get_extra_fields()["diverging"])))
    return NutsRun(
        {k: np.asarray(v) for k, v in draws.items()},
        seconds,
        compile_seconds() - compiled,
        divergences,
    )


def run_nuts_as_asked(
    args: argparse.Namespace,
    model: Callable,
    *model_args: Any,
    what: str = "the same model and priors",
    **options: Any,
) -> NutsRun:
    """:func:`run_nuts` with the example's --chains, --nuts-warmup,
    --nuts-samples and --seed, after a line saying what it runs."""
    print(
        f"\nNumPyro NUTS on {what}: {args.chains} chains x ({args.nuts_warmup} warm-up + "
        f"{args.nuts_samples}) draws"
    )
    return run_nuts(
        model,
        *model_args,
        chains=args.chains,
        warmup=args.nuts_warmup,
        samples=args.nuts_samples,
        seed=args.seed,
        **options,
    )


# --------------------------------------------------------------------------
# ArviZ's tables, intervals and figures, with the one interval
# --------------------------------------------------------------------------


def posterior_summary(draws: Mapping[str, np.ndarray], **kwargs: Any) -> Any:
    """ArviZ's summary (a DataFrame: mean, sd, the CI_LABEL interval, ESS,
    R-hat) of site -> (chains, draws, ...) arrays; `kwargs` go to ArviZ."""
    from vexol import gibbs

    return gibbs.summary(dict(draws), ci_prob=CI_PROB, ci_kind=CI_KIND, **kwargs)


def interval(draws: np.ndarray, axis: int | tuple[int, ...] = 0) -> tuple[np.ndarray, np.ndarray]:
    """The CI_LABEL interval (ArviZ's) over `axis`: (low, high)."""
    from arviz_stats.base import array_stats

    interval_of = {"eti": array_stats.eti, "hdi": array_stats.hdi}[CI_KIND]
    bounds = interval_of(np.asarray(draws, np.float64), CI_PROB, axis=axis)
    return bounds[..., 0], bounds[..., 1]


def plot_forest(
    names: Sequence[str], gibbs_draws: np.ndarray, nuts_draws: np.ndarray, path, title: str
) -> None:
    """ArviZ's forest plot of both samplers' (chains, draws, quantities)
    draws side by side: 50% and CI_LABEL intervals, chains pooled."""
    import matplotlib

    matplotlib.use("Agg")
    import arviz

    from vexol import gibbs

    # ArviZ lines the two runs up draw by draw (the draws a shorter run lacks
    # would be NaN, and so its intervals): the longer run is thinned evenly
    # to the shorter one's length, which keeps its distribution.
    length = min(gibbs_draws.shape[1], nuts_draws.shape[1])

    def tree(draws):
        kept = np.linspace(0, draws.shape[1] - 1, length).round().astype(int)
        return gibbs.to_arviz({name: draws[:, kept, j] for j, name in enumerate(names)})

    height = 1.8 + 0.6 * len(names)
    plots = arviz.plot_forest(
        {"Gibbs": tree(gibbs_draws), "NUTS": tree(nuts_draws)},
        combined=True,
        ci_kind=CI_KIND,
        ci_probs=[0.5, CI_PROB],
        point_estimate="mean",
        backend="matplotlib",
        figure_kwargs={"figsize": (9, height)},
    )
    plots.add_legend("model")
    figure = plots.viz["figure"].item()
    figure.suptitle(f"{title}\nposterior mean, 50% and {CI_LABEL}", fontsize="medium")
    figure.subplots_adjust(top=1 - 0.8 / height)  # the two-line title above the rows
    path.parent.mkdir(parents=True, exist_ok=True)
    plots.savefig(path, dpi=110)


def comparison_figure(path) -> Any:
    """Where an example writes its forest plot: beside its figure."""
    return path.with_name(f"{path.stem}_vs_nuts{path.suffix}")


# --------------------------------------------------------------------------
# The comparison
# --------------------------------------------------------------------------


def scalars(
    draws: Mapping[str, np.ndarray], names: Mapping[str, Sequence[str]] | None = None
) -> tuple[list[str], np.ndarray]:
    """Every scalar quantity of `draws` (site -> (chains, draws, ...)) as one
    (chains, draws, quantities) array, in the order of the sites, with a
    name each: `names[site]` if given (one per element), else site[i, j]."""
    labels, columns = [], []
    for site, value in draws.items():
        value = np.asarray(value, np.float64)
        flat = value.reshape(value.shape[0], value.shape[1], -1)
        if names is not None and site in names:
            given = list(names[site])
            if len(given) != flat.shape[2]:
                raise ValueError(f"{site}: {len(given)} names for {flat.shape[2]} quantities")
            labels += given
        elif value.ndim == 2:
            labels.append(site)
        else:
            labels += [f"{site}[{', '.join(map(str, i))}]" for i in np.ndindex(value.shape[2:])]
        columns.append(flat)
    return labels, np.concatenate(columns, axis=2)


def bulk_ess(draws: np.ndarray) -> np.ndarray:
    """ArviZ's bulk ESS of each quantity of (chains, draws, quantities)."""
    from vexol import gibbs

    return np.asarray(gibbs.ess({"x": draws}, method="bulk")["x"], np.float64)


def rhat(draws: np.ndarray) -> np.ndarray:
    """ArviZ's rank-normalized split R-hat of each quantity."""
    from vexol import gibbs

    return np.asarray(gibbs.rhat({"x": draws})["x"], np.float64)


class Comparison(NamedTuple):
    names: list[str]
    gibbs_mean: np.ndarray
    nuts_mean: np.ndarray
    nuts_sd: np.ndarray
    gibbs_ess: np.ndarray
    nuts_ess: np.ndarray
    gibbs_rhat: np.ndarray
    nuts_rhat: np.ndarray
    gibbs_seconds: float
    nuts_seconds: float

    @property
    def difference(self) -> np.ndarray:
        """(Gibbs mean - NUTS mean) / NUTS posterior sd, per quantity."""
        return (self.gibbs_mean - self.nuts_mean) / self.nuts_sd

    @property
    def worst(self) -> int:
        return int(np.argmax(np.abs(self.difference)))

    @property
    def agree(self) -> bool:
        return bool(np.max(np.abs(self.difference)) <= AGREEMENT_SD)

    @property
    def gibbs_rate(self) -> float:
        return float(self.gibbs_ess.min() / self.gibbs_seconds)

    @property
    def nuts_rate(self) -> float:
        return float(self.nuts_ess.min() / self.nuts_seconds)

    @property
    def speedup(self) -> float:
        """Minimum bulk ESS per second, Gibbs over NUTS."""
        return self.gibbs_rate / self.nuts_rate


def compare(
    names: list[str],
    gibbs_draws: np.ndarray,
    nuts_draws: np.ndarray,
    gibbs_seconds: float,
    nuts_seconds: float,
) -> Comparison:
    """Compare two samplers' (chains, draws, quantities) draws of the same
    posterior, each with its wall time (compilation included)."""
    pooled_g = gibbs_draws.reshape(-1, gibbs_draws.shape[2])
    pooled_n = nuts_draws.reshape(-1, nuts_draws.shape[2])
    return Comparison(
        list(names),
        pooled_g.mean(axis=0),
        pooled_n.mean(axis=0),
        pooled_n.std(axis=0, ddof=1),
        bulk_ess(gibbs_draws),
        bulk_ess(nuts_draws),
        rhat(gibbs_draws),
        rhat(nuts_draws),
        gibbs_seconds,
        nuts_seconds,
    )


def comparison_table(c: Comparison, rows: Sequence[int] | None = None) -> str:
    """Side-by-side means, ESS and R-hat of the chosen quantities (all by default)."""
    rows = range(len(c.names)) if rows is None else rows
    width = max(12, *(len(c.names[j]) + 2 for j in rows))
    lines = [
        f"{'':<{width}}{'Gibbs mean':>11}{'NUTS mean':>11}{'NUTS sd':>10}{'diff/sd':>9}"
        f"{'Gibbs ESS':>10}{'NUTS ESS':>9}{'Gibbs R-hat':>12}{'NUTS R-hat':>11}"
    ]
    for j in rows:
        lines.append(
            f"{c.names[j]:<{width}}{c.gibbs_mean[j]:>11.4f}{c.nuts_mean[j]:>11.4f}"
            f"{c.nuts_sd[j]:>10.4f}{c.difference[j]:>+9.3f}{c.gibbs_ess[j]:>10.0f}"
            f"{c.nuts_ess[j]:>9.0f}{c.gibbs_rhat[j]:>12.3f}{c.nuts_rhat[j]:>11.3f}"
        )
    return "\n".join(lines)


def verdict(c: Comparison, gibbs_compile: float, nuts_compile: float) -> str:
    """The agreement check and the speed comparison, as printed."""
    worst = c.worst
    g_min, n_min = int(np.argmin(c.gibbs_ess)), int(np.argmin(c.nuts_ess))
    return "\n".join(
        [
            f"agreement: largest |mean difference| {abs(c.difference[worst]):.3f} NUTS posterior "
            f"sd ({c.names[worst]}), over {len(c.names)} quantities: "
            + (
                f"within {AGREEMENT_SD}"
                if c.agree
                else f"NOT within {AGREEMENT_SD} (run longer: the Monte Carlo error "
                "of both means counts)"
            ),
            "min bulk ESS per second, compilation included:",
            f"  Gibbs {c.gibbs_ess.min():>8.0f} ({c.names[g_min]}) in {c.gibbs_seconds:7.1f} s "
            f"({gibbs_compile:.1f} s {COMPILING}) = {c.gibbs_rate:9.1f}/s",
            f"  NUTS  {c.nuts_ess.min():>8.0f} ({c.names[n_min]}) in {c.nuts_seconds:7.1f} s "
            f"({nuts_compile:.1f} s {COMPILING}) = {c.nuts_rate:9.1f}/s",
            f"  Gibbs / NUTS = {c.speedup:.1f}x",
        ]
    )


def chosen_rows(c: Comparison, limit: int) -> list[int]:
    """All quantities when there are at most `limit`; else the ones with the
    largest differences and the smallest ESS of either sampler, in order."""
    if len(c.names) <= limit:
        return list(range(len(c.names)))
    picks = set(np.argsort(-np.abs(c.difference))[: limit // 2].tolist())
    picks |= {int(np.argmin(c.gibbs_ess)), int(np.argmin(c.nuts_ess))}
    for j in np.argsort(np.minimum(c.gibbs_ess, c.nuts_ess)):
        if len(picks) >= limit:
            break
        picks.add(int(j))
    return sorted(picks)


def report_comparison(
    names: list[str],
    gibbs_draws: np.ndarray,
    gibbs_seconds: float,
    gibbs_compile: float,
    nuts: NutsRun,
    sites: Sequence[str],
    labels: Mapping[str, Sequence[str]] | None = None,
    *,
    limit: int | None = None,
    figure: Any = None,
    title: str = "",
) -> Comparison:
    """Compare a Gibbs run's (chains, draws, quantities) draws with NUTS's
    `sites` (flattened by :func:`scalars` into the same quantities) and
    print the table (the :func:`chosen_rows` within `limit`, else all), the
    divergences and the :func:`verdict`; with `figure`, a path, the forest
    plot of both, titled `title`, there."""
    _, nuts_draws = scalars({site: nuts.draws[site] for site in sites}, labels)
    comparison = compare(names, gibbs_draws, nuts_draws, gibbs_seconds, nuts.seconds)
    print("\nposterior, Gibbs next to NUTS; diff/sd = (Gibbs mean - NUTS mean) / NUTS sd")
    rows = None if limit is None else chosen_rows(comparison, limit)
    print(comparison_table(comparison, rows))
    print(f"NUTS divergent transitions after warm-up: {nuts.divergences}")
    print(verdict(comparison, gibbs_compile, nuts.compile_seconds))
    if figure is not None:
        plot_forest(names, gibbs_draws, nuts_draws, figure, title)
        print(f"figure: {figure.resolve()}")
    return comparison
