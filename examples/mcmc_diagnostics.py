"""Convergence diagnostics and posterior summaries shared by the examples.

Draws come as arrays of shape (chains, draws) for one quantity, or
(chains, draws, quantities) for several. The multi-chain diagnostics follow
Vehtari, Gelman, Simpson, Carpenter and Bürkner (2021), "Rank-normalization,
folding, and localization: an improved R-hat": each chain is split in half,
the draws are replaced by their normal scores (rank-normalised), and

- split R-hat is the larger of the R-hat of the normal scores (bulk) and of
  the normal scores of |draw - median| (tail scale);
- bulk ESS is the multi-chain effective sample size of the normal scores,
  with autocorrelations combined across chains and Geyer's initial monotone
  sequence.

Ranking makes both insensitive to heavy tails, and splitting lets R-hat see a
chain that drifts.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from scipy import special, stats

# --------------------------------------------------------------------------
# One chain
# --------------------------------------------------------------------------


def autocovariance(chain: np.ndarray) -> np.ndarray:
    """Biased sample autocovariances (divided by n) of a 1-D chain, by FFT."""
    x = np.asarray(chain, np.float64) - np.mean(chain)
    n = x.size
    size = 1 << (2 * n - 1).bit_length()
    spectrum = np.fft.rfft(x, size)
    return np.fft.irfft(spectrum * np.conj(spectrum), size)[:n] / n


def autocorrelation(chain: np.ndarray) -> np.ndarray:
    """Sample autocorrelations of a 1-D chain at every lag (FFT, biased form)."""
    acov = autocovariance(chain)
    if acov[0] <= 0:
        return np.concatenate([[1.0], np.zeros(len(acov) - 1)])
    return acov / acov[0]


def _geyer_tau(rho: np.ndarray) -> float:
    """Integrated autocorrelation time from autocorrelations rho[0] = 1, ...

    Sums of adjacent pairs, Gamma_m = rho_2m + rho_2m+1, are positive and
    decreasing for a reversible chain; the estimate keeps them up to the first
    non-positive one and forces them to decrease, which bounds the noise of
    the long-lag tail. tau = -1 + 2 sum Gamma_m.
    """
    pairs = rho[: 2 * (len(rho) // 2)].reshape(-1, 2).sum(axis=1)
    stop = np.flatnonzero(pairs <= 0)
    pairs = pairs[: stop[0]] if stop.size else pairs
    pairs = np.minimum.accumulate(pairs)
    return -1.0 + 2.0 * float(pairs.sum())


def effective_sample_size(chain: np.ndarray) -> float:
    """Effective sample size of one chain by Geyer's initial monotone sequence."""
    n = len(chain)
    if n < 4:
        return float(n)
    tau = _geyer_tau(autocorrelation(chain))
    # Antithetic chains can make tau tiny; the cap n log10(n) keeps one
    # lucky estimate from claiming an absurd number of effective draws.
    return float(n / max(tau, 1.0 / np.log10(n)))


# --------------------------------------------------------------------------
# Several chains
# --------------------------------------------------------------------------


def _as_chains(draws: np.ndarray) -> np.ndarray:
    draws = np.asarray(draws, np.float64)
    if draws.ndim != 2:
        raise ValueError(f"expected draws of shape (chains, draws), got {draws.shape}")
    return draws


def split_chains(draws: np.ndarray) -> np.ndarray:
    """(chains, n) -> (2 chains, n // 2): first and second halves of each chain.

    With an odd n the middle draw is dropped, so both halves have one length.
    """
    draws = _as_chains(draws)
    half = draws.shape[1] // 2
    return np.concatenate([draws[:, :half], draws[:, draws.shape[1] - half :]])


def rank_normalize(draws: np.ndarray) -> np.ndarray:
    """Normal scores of the pooled ranks: Phi^-1((rank - 3/8) / (S + 1/4))."""
    draws = np.asarray(draws, np.float64)
    ranks = stats.rankdata(draws, method="average").reshape(draws.shape)
    return special.ndtri((ranks - 0.375) / (draws.size + 0.25))


def _rhat(chains: np.ndarray) -> float:
    n = chains.shape[1]
    within = chains.var(axis=1, ddof=1).mean()
    between = n * chains.mean(axis=1).var(ddof=1)
    if within <= 0:
        return float("nan")
    return float(np.sqrt(((n - 1) / n * within + between / n) / within))


def split_rhat(draws: np.ndarray) -> float:
    """Rank-normalised split R-hat of (chains, n) draws: max of bulk and tail."""
    halves = split_chains(draws)
    bulk = _rhat(rank_normalize(halves))
    folded = _rhat(rank_normalize(np.abs(halves - np.median(halves))))
    return max(bulk, folded)


def multichain_ess(draws: np.ndarray) -> float:
    """Effective sample size of (chains, n) draws, autocorrelations pooled.

    rho_t = 1 - (W - mean over chains of acov_t) / var+, where W is the mean
    within-chain variance and var+ adds the variance between chain means: a
    chain stuck away from the others lowers every rho_t's credit.
    """
    chains = _as_chains(draws)
    m, n = chains.shape
    if n < 4:
        return float(m * n)
    acov = np.stack([autocovariance(c) for c in chains])
    within = acov[:, 0].mean() * n / (n - 1)
    var_plus = within * (n - 1) / n
    if m > 1:
        var_plus += chains.mean(axis=1).var(ddof=1)
    if var_plus <= 0:
        return float("nan")
    rho = 1.0 - (within - acov.mean(axis=0)) / var_plus
    rho[0] = 1.0
    tau = _geyer_tau(rho)
    return float(m * n / max(tau, 1.0 / np.log10(m * n)))


def bulk_ess(draws: np.ndarray) -> float:
    """Bulk effective sample size: multi-chain ESS of the rank-normalised split chains."""
    return multichain_ess(rank_normalize(split_chains(draws)))


# --------------------------------------------------------------------------
# Summaries
# --------------------------------------------------------------------------


def summarize(draws: np.ndarray) -> dict[str, np.ndarray]:
    """Per quantity of (chains, n, quantities) draws: mean, sd, 2.5% and 97.5%
    quantiles, split R-hat and bulk ESS (each an array over quantities)."""
    draws = np.asarray(draws, np.float64)
    if draws.ndim != 3:
        raise ValueError(f"expected draws of shape (chains, draws, quantities), got {draws.shape}")
    pooled = draws.reshape(-1, draws.shape[2])
    low, high = np.quantile(pooled, [0.025, 0.975], axis=0)
    return {
        "mean": pooled.mean(axis=0),
        "sd": pooled.std(axis=0, ddof=1),
        "2.5%": low,
        "97.5%": high,
        "rhat": np.array([split_rhat(draws[:, :, j]) for j in range(draws.shape[2])]),
        "ess": np.array([bulk_ess(draws[:, :, j]) for j in range(draws.shape[2])]),
    }


def summary_table(draws: np.ndarray, names: Sequence[str], *, digits: int = 3) -> str:
    """The summary of (chains, n, quantities) draws as a fixed-width table."""
    s = summarize(draws)
    width = max(12, *(len(name) + 2 for name in names))
    lines = [f"{'':<{width}}{'mean':>10}{'sd':>9}{'2.5%':>10}{'97.5%':>10}{'R-hat':>7}{'ESS':>8}"]
    for j, name in enumerate(names):
        lines.append(
            f"{name:<{width}}{s['mean'][j]:>10.{digits}f}{s['sd'][j]:>9.{digits}f}"
            f"{s['2.5%'][j]:>10.{digits}f}{s['97.5%'][j]:>10.{digits}f}"
            f"{s['rhat'][j]:>7.3f}{s['ess'][j]:>8.0f}"
        )
    return "\n".join(lines)
