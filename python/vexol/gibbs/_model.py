"""What every sampler of the package is made of, and shared set-up helpers."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

import jax
import jax.numpy as jnp
import numpy as np


class Gibbs(NamedTuple):
    """A Gibbs sampler for one model and data set.

    Attributes:
      init: ``init(key) -> state``, a dispersed starting state for one chain.
      step: ``step(key, state) -> state``, one full sweep. Pure, jittable,
        vmappable over (key, state) for chains.
      collect: ``collect(state) -> dict``, what :func:`vexol.gibbs.run` keeps
        of each retained sweep: the parameters, without the latent ω (which
        is n or n x (K-1) numbers per draw).
    """

    init: Callable[[jax.Array], Any]
    step: Callable[[jax.Array, Any], Any]
    collect: Callable[[Any], Mapping[str, jax.Array]]


def float_dtype(dtype: Any = None) -> jnp.dtype:
    """The float dtype of a sampler: ``dtype``, or JAX's default float."""
    chosen = jnp.zeros(()).dtype if dtype is None else jnp.dtype(dtype)
    if chosen not in (jnp.dtype(jnp.float32), jnp.dtype(jnp.float64)):
        raise ValueError(f"dtype must be float32 or float64, not {chosen}")
    if chosen == jnp.float64 and not jax.config.read("jax_enable_x64"):
        raise ValueError("dtype=float64 needs jax_enable_x64")
    return chosen


def gaussian_prior(p: int, mean: Any, sd: Any, dtype: Any) -> tuple[jax.Array, jax.Array]:
    """(mean, precision), both (p,), of the independent prior N(mean, sd²)."""
    sd = np.broadcast_to(np.asarray(sd, np.float64), (p,))
    if np.any(~(sd > 0)) or np.any(~np.isfinite(sd)):
        raise ValueError("prior standard deviations must be positive and finite")
    mean = np.broadcast_to(np.asarray(mean, np.float64), (p,))
    return jnp.asarray(mean, dtype), jnp.asarray(1.0 / sd**2, dtype)


def design(X: Any, dtype: Any) -> jax.Array:
    X = jnp.asarray(X, dtype)
    if X.ndim != 2:
        raise ValueError(f"X must be an (n, p) design matrix, got shape {X.shape}")
    return X


def as_offset(offset: Any, n: int, dtype: Any) -> jax.Array | None:
    if offset is None:
        return None
    return jnp.broadcast_to(jnp.asarray(offset, dtype), (n,))


def pg_keywords(pg_options: Mapping[str, Any] | None) -> dict[str, Any]:
    # Passed through to vexol.polya_gamma unchanged (e.g. a method choice).
    return dict(pg_options or {})
