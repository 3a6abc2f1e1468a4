"""Diagnostics through ArviZ, an optional extra (``pip install "vexol[arviz]"``).

ArviZ is imported on first use, so ``import vexol.gibbs`` works without it.
ArviZ 1.x represents a run as an ``xarray.DataTree`` (its successor of
``InferenceData``) with a ``posterior`` group; R-hat and the bulk and tail
effective sample sizes are ArviZ's own (rank-normalized split R-hat,
Vehtari et al. 2021).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from vexol.gibbs._model import Gibbs
from vexol.gibbs._run import RunResult


def _arviz():
    try:
        import arviz
    except ImportError as error:
        raise ImportError(
            'vexol.gibbs diagnostics need ArviZ, an optional extra: pip install "vexol[arviz]"'
        ) from error
    return arviz


def _as_dict(draws: Any) -> dict[str, np.ndarray]:
    if isinstance(draws, RunResult):
        draws = draws.draws
    if hasattr(draws, "_asdict"):
        draws = draws._asdict()
    if not isinstance(draws, Mapping):
        draws = {"x": draws}
    out = {}
    for name, value in draws.items():
        value = np.asarray(value)
        if value.ndim < 2:
            raise ValueError(
                f"vexol.gibbs.to_arviz: draws[{name!r}] has shape {value.shape}; draws need "
                "shape (chains, draws, ...)"
            )
        out[name] = value
    return out


# What the package's own samplers collect that is a statistic of the
# sampler rather than a parameter, for draws given without their model.
SAMPLE_STATS = ("accepted", "shift_accepted")


def _is_tree(draws: Any) -> bool:
    """Whether draws is already ArviZ's representation (a DataTree, or an
    InferenceData of ArviZ 0.x), with a posterior group."""
    # A DataTree is a Mapping too: told apart by its posterior group.
    return not isinstance(draws, (dict, RunResult, np.ndarray)) and hasattr(draws, "posterior")


def _tree(draws: Any) -> Any:
    return draws if _is_tree(draws) else to_arviz(draws)


def to_arviz(
    draws: Any,
    *,
    model: Gibbs | None = None,
    coords: Mapping[str, Any] | None = None,
    dims: Mapping[str, list[str]] | None = None,
) -> Any:
    """ArviZ's representation of a run (an ``xarray.DataTree`` in ArviZ 1.x).

    Args:
      draws: a :class:`RunResult`, or its ``draws``: a dict (or NamedTuple)
        of arrays (chains, draws, ...), or one such array (named ``"x"``).
      model: the :class:`Gibbs` the draws came from; by default the one
        the :class:`RunResult` holds.
      coords, dims: ArviZ's names for the extra axes, e.g.
        ``dims={"beta": ["feature"]}, coords={"feature": names}``.

    Returns:
      ``arviz.from_dict`` of the draws, as float64: the parameters in
      ``posterior``, the sampler's acceptance counts (the model's
      ``sample_stats``, e.g. the negative binomial's ``shift_accepted``) in
      ``sample_stats``, and with a model the observations in
      ``observed_data`` and their pointwise log-likelihood (chains, draws,
      n) in ``log_likelihood``, both named ``y``: ``arviz.loo`` and
      ArviZ's predictive checks work on the result.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> result = gibbs.run(gibbs.logistic(X, y), None, jax.random.key(0), sweeps=100,
      ...                    chains=2, progress=False)
      >>> tree = gibbs.to_arviz(result, dims={"beta": ["feature"]},
      ...                       coords={"feature": ["intercept", "x"]})
      >>> dict(tree.posterior.sizes)
      {'chain': 2, 'draw': 100, 'feature': 2}
    """
    arviz = _arviz()
    if model is None and isinstance(draws, RunResult):
        model = draws.model
    stat_names = SAMPLE_STATS if model is None else model.sample_stats
    values = _as_dict(draws)
    groups = {
        "posterior": {k: v.astype(np.float64) for k, v in values.items() if k not in stat_names},
        "sample_stats": {k: v for k, v in values.items() if k in stat_names},
    }
    if model is not None and model.observed_data is not None:
        groups["observed_data"] = dict(model.observed_data)
    if model is not None and model.log_likelihood is not None:
        groups["log_likelihood"] = {"y": np.asarray(model.log_likelihood(values), np.float64)}
    groups = {name: group for name, group in groups.items() if group}
    return arviz.from_dict(groups, coords=coords, dims=dims)


def summary(draws: Any, **kwargs: Any) -> Any:
    """``arviz.summary`` of a run: means, sds, intervals, R-hat, bulk/tail ESS.

    ``draws`` as in :func:`to_arviz`, or what it returns; keyword arguments
    go to ``arviz.summary`` (a pandas DataFrame, one row per scalar quantity
    of the posterior).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> result = gibbs.run(gibbs.logistic(X, y), None, jax.random.key(0), sweeps=200,
      ...                    chains=2, progress=False)
      >>> table = gibbs.summary(result)
      >>> list(table.index)
      ['beta[0]', 'beta[1]']
      >>> "r_hat" in table.columns and "ess_bulk" in table.columns
      True
    """
    arviz = _arviz()
    return arviz.summary(_tree(draws), **kwargs)


def rhat(draws: Any) -> dict[str, np.ndarray]:
    """ArviZ's rank-normalized split R-hat per quantity, shaped as one draw.

    Examples:
      >>> import numpy as np
      >>> from vexol import gibbs
      >>> draws = {"mu": np.random.default_rng(0).normal(size=(4, 500))}
      >>> r = gibbs.rhat(draws)
      >>> r["mu"].shape, bool(abs(r["mu"] - 1.0) < 0.02)
      ((), True)
    """
    arviz = _arviz()
    tree = _tree(draws)
    result = arviz.rhat(tree)
    return {name: np.asarray(result[name]) for name in tree.posterior.data_vars}


def ess(draws: Any, method: str = "bulk") -> dict[str, np.ndarray]:
    """ArviZ's effective sample size (``method`` "bulk", "tail", ...) per quantity.

    Examples:
      >>> import numpy as np
      >>> from vexol import gibbs
      >>> draws = {"mu": np.random.default_rng(0).normal(size=(4, 500, 3))}
      >>> bulk = gibbs.ess(draws)                  # one per quantity, like a draw
      >>> bulk["mu"].shape, bool((bulk["mu"] > 1000).all())
      ((3,), True)
      >>> gibbs.ess(draws, method="tail")["mu"].shape
      (3,)
    """
    arviz = _arviz()
    tree = _tree(draws)
    result = arviz.ess(tree, method=method)
    return {name: np.asarray(result[name]) for name in tree.posterior.data_vars}
