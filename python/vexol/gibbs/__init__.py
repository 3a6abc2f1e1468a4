"""Pólya-Gamma Gibbs samplers for JAX, built on :func:`vexol.polya_gamma`.

Every model gives a :class:`Gibbs`: ``init(key) -> state`` and a pure
``step(key, state) -> state`` (one sweep; jittable, vmappable over chains,
float32 with x64 off or float64), plus ``collect(state)``, the parameters
:func:`run` keeps. States are NamedTuples of arrays of the sampler's dtype:

=============================  ===========================================
model                          state (shapes for one chain)
=============================  ===========================================
:func:`logistic`               LogisticState(beta (p,), omega (n,),
                               accepted ())
:func:`hierarchical_logistic`  HierarchicalLogisticState(beta (p,),
                               tau2 (), omega (n,))
:func:`horseshoe_logistic`     HorseshoeState(beta (p,), lambda2 (m,),
                               nu (m,), tau2 (), xi (), omega (n,),
                               accepted ())
:func:`mixed_logistic`         MixedLogisticState(beta (p,), u (tuple of
                               (L_k, q_k)), sigma2 (tuple of (q_k,)),
                               omega (n,))
:func:`negbin`                 NegBinState(beta (p,), r (), omega (n,),
                               shift_accepted (), global_accepted ())
:func:`multinomial`            MultinomialState(beta (K-1, p),
                               omega (n, K-1), accepted ())
=============================  ===========================================

``omega`` is the sweep's Pólya-Gamma draw, kept for inspection; no step
reads the previous one.

    >>> import jax, numpy as np
    >>> from vexol import gibbs
    >>> X = np.column_stack([np.ones(100), np.random.default_rng(0).normal(size=100)])
    >>> y = (X[:, 1] > 0).astype(float)
    >>> model = gibbs.logistic(X, y, prior_sd=2.5)
    >>> result = gibbs.run(model, None, jax.random.key(0), sweeps=1000, warmup=200,
    ...                    progress=False)
    >>> result.draws["beta"].shape                      # (chains, draws, p)
    (4, 1000, 2)
    >>> table = gibbs.summary(result)                   # needs vexol[arviz]

Building blocks: :func:`draw_beta` (β | ω, by Cholesky or, for n < p, the
Bhattacharya-Chakraborty-Mallick algorithm); each model's sweep as a
function of explicit data arrays (:func:`logistic_sweep`,
:func:`hierarchical_sweep`, :func:`negbin_sweep` with :func:`draw_r` and
:func:`shift_move`, :func:`multinomial_sweep`), to vmap over data sets;
the Metropolis steps along the directions the augmentation mixes slowest
(:func:`slow_directions` at the :func:`posterior_mode`, :func:`direction_moves`,
:func:`stick_direction_moves`, :func:`line_moves`); each sweep as a BlackJAX-shaped kernel
(:func:`as_kernel`) or a ``numpyro.infer.MCMC`` kernel
(:func:`numpyro_kernel`); :func:`logistic_gibbs_fn`,
:func:`negbin_gibbs_fn`, :func:`multinomial_gibbs_fn` and
:func:`hierarchical_gibbs_fn` (``gibbs_fn`` for ``numpyro.infer.HMCGibbs``
and ``CustomGibbs``),
:func:`to_arviz`, :func:`summary`, :func:`rhat`, :func:`ess` (ArviZ, the
``arviz`` extra, imported on first use).
"""

from vexol.gibbs._arviz import ess, rhat, summary, to_arviz
from vexol.gibbs._directions import (
    direction_moves,
    line_moves,
    posterior_mode,
    slow_directions,
)
from vexol.gibbs._gaussian import choose_method, draw_beta, draw_beta_bcm, draw_beta_cholesky
from vexol.gibbs._global import describe, independence_move
from vexol.gibbs._horseshoe import HorseshoeState, horseshoe_logistic, horseshoe_sweep
from vexol.gibbs._kernels import Kernel, KernelInfo, KernelState, as_kernel
from vexol.gibbs._logistic import (
    HierarchicalLogisticState,
    LogisticState,
    ScalePrior,
    hierarchical_logistic,
    hierarchical_sweep,
    logistic,
    logistic_sweep,
)
from vexol.gibbs._model import Gibbs
from vexol.gibbs._multinomial import (
    MultinomialState,
    multinomial,
    multinomial_sweep,
    stick_breaking_data,
    stick_breaking_offsets,
    stick_breaking_probabilities,
    stick_direction_moves,
)
from vexol.gibbs._negbin import (
    NegBinPrior,
    NegBinState,
    count_levels,
    draw_r,
    nb_log_likelihood,
    negbin,
    negbin_sweep,
    shift_move,
)
from vexol.gibbs._numpyro import (
    NumPyroGibbsState,
    hierarchical_gibbs_fn,
    logistic_gibbs_fn,
    multinomial_gibbs_fn,
    negbin_gibbs_fn,
    numpyro_kernel,
)
from vexol.gibbs._random_effects import MixedLogisticState, mixed_logistic
from vexol.gibbs._run import RunResult, Timing, run

__all__ = [
    "Gibbs",
    "HierarchicalLogisticState",
    "HorseshoeState",
    "Kernel",
    "KernelInfo",
    "KernelState",
    "LogisticState",
    "MixedLogisticState",
    "MultinomialState",
    "NegBinPrior",
    "NegBinState",
    "NumPyroGibbsState",
    "RunResult",
    "ScalePrior",
    "Timing",
    "as_kernel",
    "choose_method",
    "count_levels",
    "describe",
    "direction_moves",
    "draw_beta",
    "draw_beta_bcm",
    "draw_beta_cholesky",
    "draw_r",
    "ess",
    "hierarchical_gibbs_fn",
    "hierarchical_logistic",
    "hierarchical_sweep",
    "horseshoe_logistic",
    "horseshoe_sweep",
    "independence_move",
    "line_moves",
    "logistic",
    "logistic_gibbs_fn",
    "logistic_sweep",
    "mixed_logistic",
    "multinomial",
    "multinomial_gibbs_fn",
    "multinomial_sweep",
    "nb_log_likelihood",
    "negbin",
    "negbin_gibbs_fn",
    "negbin_sweep",
    "numpyro_kernel",
    "posterior_mode",
    "rhat",
    "run",
    "shift_move",
    "slow_directions",
    "stick_breaking_data",
    "stick_breaking_offsets",
    "stick_breaking_probabilities",
    "stick_direction_moves",
    "summary",
    "to_arviz",
]
