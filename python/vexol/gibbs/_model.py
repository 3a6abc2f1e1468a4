"""What every sampler of the package is made of, and shared set-up helpers."""

from __future__ import annotations

import operator
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

import jax
import jax.extend.backend
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
      log_likelihood: ``log_likelihood(draws) -> array``, the pointwise
        log-likelihood (chains, draws, n) of the observations for draws as
        :func:`vexol.gibbs.run` returns them (NumPy, on the host), or None;
        :func:`vexol.gibbs.to_arviz` makes it ArviZ's ``log_likelihood``
        group, for ``arviz.loo``.
      observed_data: ``{"y": ...}``, the observations, or None.
      sample_stats: the names among ``collect``'s that are statistics of
        the sampler (acceptance counts), not parameters: ArviZ's
        ``sample_stats`` group rather than ``posterior``.
      report: what the builder measured before running (the slowdown
        factors of plain Gibbs, the global moves it chose and why, the cost
        per sweep), a dict shown by :func:`vexol.gibbs.describe`; None for a
        sampler assembled by hand.

    Examples:
      A sampler of one normal mean, written as a :class:`Gibbs` and run like
      the built-in models:

      >>> import jax, jax.numpy as jnp
      >>> from vexol import gibbs
      >>> def step(key, mu):
      ...     return 1.0 + jax.random.normal(key) / jnp.sqrt(10.0)   # mu | data
      >>> model = gibbs.Gibbs(init=lambda key: jnp.float32(0.0), step=step,
      ...                     collect=lambda mu: {"mu": mu})
      >>> result = gibbs.run(model, None, jax.random.key(0), sweeps=500, chains=2,
      ...                    progress=False)
      >>> result.draws["mu"].shape, abs(float(result.draws["mu"].mean()) - 1.0) < 0.1
      ((2, 500), True)
    """

    init: Callable[[jax.Array], Any]
    step: Callable[[jax.Array, Any], Any]
    collect: Callable[[Any], Mapping[str, jax.Array]]
    log_likelihood: Callable[[Mapping[str, np.ndarray]], np.ndarray] | None = None
    observed_data: Mapping[str, np.ndarray] | None = None
    sample_stats: tuple[str, ...] = ()
    report: Mapping[str, Any] | None = None


# ---------------------------------------------------------------------------
# Argument checks of the builders and the runner. They run on the host before
# anything is traced, so that a bad value is named where it was passed rather
# than surfacing as NaN draws or as an error of NumPy, SciPy or XLA. Every
# message starts with the public function's name (``where``); bad values
# raise ValueError, bad types TypeError.
# ---------------------------------------------------------------------------


def _show(value: Any) -> str:
    """A number as a message shows it: 2 rather than 2.0, nan, inf."""
    value = float(value)
    return str(int(value)) if value.is_integer() else repr(value)


def _element(name: str, a: np.ndarray, flat: int) -> tuple[str, Any]:
    """(name[i, j], the value) of the flat-th element of a."""
    if a.ndim == 0:
        return name, a[()]
    index = np.unravel_index(flat, a.shape)
    return f"{name}[{', '.join(str(int(i)) for i in index)}]", a[index]


def first_bad(where: str, name: str, a: np.ndarray, bad: np.ndarray, expected: str) -> None:
    """Raise for the first element of a where bad holds: what it is and what
    was expected."""
    if np.any(bad):
        at, value = _element(name, a, int(np.flatnonzero(bad)[0]))
        raise ValueError(f"{where}: {at} is {_show(value)}; {expected}")


def host_numbers(value: Any, name: str, where: str) -> np.ndarray:
    """value as float64 on the host, every element finite."""
    if isinstance(value, jax.core.Tracer):
        raise TypeError(
            f"{where}: {name} must be a concrete array, not a traced one: build the sampler "
            "outside jax.jit (the *_sweep functions take traced data)"
        )
    a = np.asarray(value)
    if not (np.issubdtype(a.dtype, np.number) or a.dtype == np.bool_):
        raise TypeError(f"{where}: {name} must be numeric, got dtype {a.dtype}")
    if np.issubdtype(a.dtype, np.complexfloating):
        raise TypeError(f"{where}: {name} must be real, got dtype {a.dtype}")
    a = a.astype(np.float64)
    first_bad(where, name, a, ~np.isfinite(a), f"{name} must be finite")
    return a


def per_element(value: Any, name: str, size: int, what: str, where: str) -> np.ndarray:
    """A finite scalar or one value per row (or column), broadcast to (size,)."""
    a = host_numbers(value, name, where)
    if a.ndim > 1 or a.size not in (1, size):
        raise ValueError(
            f"{where}: {name} has shape {a.shape}; it must be a scalar or have shape "
            f"({size},), one per {what}"
        )
    return np.broadcast_to(a.reshape(-1) if a.ndim else a, (size,))


def positive(value: Any, name: str, where: str) -> float:
    """A positive, finite scalar."""
    a = np.asarray(value)
    if a.ndim != 0 or not (np.issubdtype(a.dtype, np.number) and np.isrealobj(a)):
        raise TypeError(f"{where}: {name} must be a real number, got {value!r}")
    first_bad(where, name, a, ~((a > 0) & np.isfinite(a)), f"{name} must be positive and finite")
    return float(a)


def integer(value: Any, name: str, where: str, low: int | None, high: int | None, form: str) -> int:
    """An integer in [low, high] (no bound where None)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{where}: {name} must be an integer, got {value!r}")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{where}: {name} must be an integer, got {value!r}") from None
    if (low is not None and value < low) or (high is not None and value > high):
        raise ValueError(f"{where}: {name} is {value}; it must be {form}")
    return value


def whole(where: str, name: str, a: np.ndarray, expected: str) -> None:
    """Every element of a a non-negative integer."""
    first_bad(where, name, a, (a < 0) | (a != np.round(a)), expected)


def float_dtype(dtype: Any = None, where: str = "vexol.gibbs") -> jnp.dtype:
    """The float dtype of a sampler: ``dtype``, or JAX's default float."""
    from vexol._sampling import x64_error

    chosen = jnp.zeros(()).dtype if dtype is None else jnp.dtype(dtype)
    if chosen not in (jnp.dtype(jnp.float32), jnp.dtype(jnp.float64)):
        raise ValueError(f"{where}: dtype must be float32 or float64, got {chosen}")
    if chosen == jnp.float64 and not jax.config.read("jax_enable_x64"):
        raise x64_error(where, "dtype=float64")
    return chosen


def gaussian_prior(
    p: int, mean: Any, sd: Any, dtype: Any, where: str = "vexol.gibbs"
) -> tuple[jax.Array, jax.Array]:
    """(mean, precision), both (p,), of the independent prior N(mean, sd²)."""
    mean = per_element(mean, "prior_mean", p, "column of X", where)
    sd = per_element(sd, "prior_sd", p, "column of X", where)
    first_bad(where, "prior_sd", sd, ~(sd > 0), "prior_sd must be positive")
    return jnp.asarray(mean, dtype), jnp.asarray(1.0 / sd**2, dtype)


def host_prior(p: int, mean: Any, sd: Any) -> tuple[np.ndarray, np.ndarray]:
    """(mean, precision), both (p,) float64, of the prior N(mean, sd²) that
    :func:`gaussian_prior` checked: for the fits a builder makes on the
    host before sampling, in float64 whatever the sampler's dtype."""
    mean = np.broadcast_to(np.asarray(mean, np.float64), (p,))
    return mean, np.broadcast_to(np.asarray(sd, np.float64), (p,)) ** -2.0


def design(X: Any, dtype: Any, where: str = "vexol.gibbs") -> jax.Array:
    """X (n, p), finite, in the sampler's dtype."""
    host = host_numbers(X, "X", where)
    if host.ndim != 2:
        raise ValueError(f"{where}: X must be an (n, p) matrix, got shape {host.shape}")
    # The caller's array itself when it can be (a float32 X stays the same
    # array); the host copy only checked it.
    return jnp.asarray(X, dtype)


def offsets(
    offset: Any, n: int, dtype: Any, where: str = "vexol.gibbs"
) -> tuple[jax.Array | None, np.ndarray | None]:
    """(offset in the sampler's dtype, offset as float64 on the host), both
    (n,), or (None, None): the sweep reads the first, the pointwise
    log-likelihood the second, unrounded."""
    if offset is None:
        return None, None
    host = per_element(offset, "offset", n, "row of X", where)
    return jnp.asarray(host, dtype), host


def as_offset(offset: Any, n: int, dtype: Any, where: str = "vexol.gibbs") -> jax.Array | None:
    return offsets(offset, n, dtype, where)[0]


def column_indices(indices: Any, name: str, p: int, where: str) -> list[int]:
    """Column indices of X, each in [-p, p) (negative ones count from the
    last column, as in NumPy), as indices in [0, p)."""
    out = []
    for j in indices:
        j = integer(j, name, where, None, None, "")
        if not -p <= j < p:
            raise ValueError(
                f"{where}: {name} holds {j}; it must hold column indices of X in [0, {p})"
            )
        out.append(j % p)
    return out


def unpenalized_columns(unpenalized: Any, p: int, prior: str, where: str) -> np.ndarray:
    """(p,) bool, True at the columns ``unpenalized`` names: those keep
    their fixed prior, and at least one column must be left to ``prior``."""
    fixed = np.zeros(p, bool)
    fixed[column_indices(unpenalized, "unpenalized", p, where)] = True
    if fixed.all():
        raise ValueError(
            f"{where}: unpenalized names every column; at least one coefficient must "
            f"have the {prior} prior"
        )
    return fixed


def beta_method(method: Any, where: str) -> None:
    from vexol.gibbs._gaussian import METHODS

    if method not in METHODS:
        raise ValueError(f"{where}: beta_method must be one of {METHODS}, got {method!r}")


def sweep_options(
    method: Any, pg_options: Mapping[str, Any] | None, where: str = "vexol.gibbs"
) -> dict[str, Any]:
    """The β draw's method checked, and the keywords for vexol.polya_gamma
    (:func:`pg_keywords`): what every sweep built on draw_beta is passed."""
    beta_method(method, where)
    return pg_keywords(pg_options, where)


PG_OPTIONS = ("method", "implementation")


def pg_keywords(pg_options: Mapping[str, Any] | None, where: str = "vexol.gibbs") -> dict[str, Any]:
    """Passed through to vexol.polya_gamma unchanged (e.g. a method choice),
    checked here: a misspelt one would otherwise fail at the first sweep."""
    from vexol import _sampling

    options = dict(pg_options or {})
    unknown = sorted(set(options) - set(PG_OPTIONS))
    if unknown:
        raise ValueError(
            f"{where}: pg_options may hold {PG_OPTIONS} (the sweep sets the others), got {unknown}"
        )
    function = where.removeprefix("vexol.")
    _sampling._method(options.get("method"), function)
    _sampling._implementation(options.get("implementation"), function)
    if "implementation" not in options and set(jax.extend.backend.backends()) == {"cpu"}:
        # Where JAX has no platform but the CPU, a model's program can only
        # run there: leave out the pure-JAX sampler that the automatic choice
        # traces for the other platforms. Its tracing was half a second of
        # every new shape's compile, a second and a half the first time in a
        # process; the CPU draws are the same. pg_options={"implementation":
        # None} keeps both, for lowering to other platforms.
        options["implementation"] = "native"
    return options


def binomial_log_likelihood(
    psi: np.ndarray, y: np.ndarray, trials: np.ndarray | float
) -> np.ndarray:
    """log Binomial(y | trials, σ(ψ)) elementwise, in float64 on the host
    (the binomial coefficient included, so that sums over the sticks of a
    multinomial give its own log-probability)."""
    from scipy.special import gammaln

    trials = np.asarray(trials, np.float64)
    coefficient = gammaln(trials + 1) - gammaln(y + 1) - gammaln(trials - y + 1)
    # y ψ - n log(1 + e^ψ), with log(1 + e^ψ) = logaddexp(0, ψ).
    return coefficient + y * psi - trials * np.logaddexp(0.0, psi)


def linear_predictor(beta: np.ndarray, X: np.ndarray, offset: Any) -> np.ndarray:
    """ψ (..., n) of draws beta (..., p), in float64."""
    psi = np.asarray(beta, np.float64) @ X.T
    return psi if offset is None else psi + np.asarray(offset, np.float64)
