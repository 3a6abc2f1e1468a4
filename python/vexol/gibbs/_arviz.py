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
            raise ValueError(f"{name}: draws need shape (chains, draws, ...), got {value.shape}")
        out[name] = value
    return out


def to_arviz(
    draws: Any,
    *,
    coords: Mapping[str, Any] | None = None,
    dims: Mapping[str, list[str]] | None = None,
) -> Any:
    """ArviZ's representation of a run (an ``xarray.DataTree`` in ArviZ 1.x).

    Args:
      draws: a :class:`RunResult`, or its ``draws``: a dict (or NamedTuple)
        of arrays (chains, draws, ...), or one such array (named ``"x"``).
      coords, dims: ArviZ's names for the extra axes, e.g.
        ``dims={"beta": ["feature"]}, coords={"feature": names}``.

    Returns:
      ``arviz.from_dict({"posterior": ...})`` of the draws, as float64.

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
    posterior = {k: v.astype(np.float64) for k, v in _as_dict(draws).items()}
    return arviz.from_dict({"posterior": posterior}, coords=coords, dims=dims)


def summary(draws: Any, **kwargs: Any) -> Any:
    """``arviz.summary`` of a run: means, sds, intervals, R-hat, bulk/tail ESS.

    ``draws`` as in :func:`to_arviz`; keyword arguments go to
    ``arviz.summary`` (a pandas DataFrame, one row per scalar quantity).

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
    return arviz.summary(to_arviz(draws), **kwargs)


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
    result = arviz.rhat(to_arviz(draws))
    return {name: np.asarray(result[name]) for name in _as_dict(draws)}


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
    result = arviz.ess(to_arviz(draws), method=method)
    return {name: np.asarray(result[name]) for name in _as_dict(draws)}
