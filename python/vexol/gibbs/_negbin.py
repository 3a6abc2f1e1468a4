"""Negative-binomial regression.

y_i ~ NB(r, p_i), logit p_i = ψ_i = x_i'β + offset_i, so E[y_i] = r e^ψ_i and
the likelihood in ψ_i is e^(y_i ψ_i) / (1 + e^ψ_i)^(y_i + r): with
ω_i ~ PG(y_i + r, ψ_i) it is Gaussian in ψ with κ_i = (y_i - r)/2 (Zhou, Li,
Dunson and Carin 2012). Prior β ~ N(m, diag(s²)), r ~ Gamma(a, b) (rate b).
A sweep is

    r | β           CRT augmentation (Zhou and Carin 2015): L_i ~ CRT(y_i, r),
                    r ~ Gamma(a + ΣL_i, b + Σ log(1 + e^ψ_i))
    (r, β₀) shift   Metropolis on log r that moves the intercept by
                    -(log r' - log r), keeping every mean r e^ψ_i fixed
    ω | β, r        ~ PG(y + r, ψ)                         one vexol call
    β | ω, r        ~ N(μ, Σ)                              draw_beta

The Gibbs updates of r and β are each exact but r and the intercept are
strongly coupled (only r e^β₀ is well identified when r is large), so r
alone moves slowly; the shift move travels along that ridge.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, NamedTuple

import jax
import jax.numpy as jnp
import numpy as np
from jax.scipy.special import gammaln

import vexol
from vexol.gibbs._gaussian import choose_method, draw_beta
from vexol.gibbs._model import (
    Gibbs,
    as_offset,
    design,
    float_dtype,
    gaussian_prior,
    pg_keywords,
)


class NegBinState(NamedTuple):
    """State of :func:`negbin`.

    ``beta`` (p,), ``r`` () the NB shape (dispersion), ``omega`` (n,) the
    sweep's Pólya-Gamma draws (never read by the next sweep), and
    ``shift_accepted`` () 1.0 if this sweep's shift move was accepted, else
    0.0 (always 0.0 without the move).
    """

    beta: jax.Array
    r: jax.Array
    omega: jax.Array
    shift_accepted: jax.Array


def nb_log_likelihood(y: jax.Array, r: jax.Array, psi: jax.Array) -> jax.Array:
    """Σ_i log NB(y_i | r, σ(ψ_i)), the y_i! terms included."""
    # log(1 - p) = -softplus(ψ), log p = -softplus(-ψ).
    return jnp.sum(
        gammaln(y + r)
        - gammaln(r)
        - gammaln(y + 1.0)
        - r * jnp.logaddexp(0.0, psi)
        - y * jnp.logaddexp(0.0, -psi)
    )


def negbin(
    X: Any,
    y: Any,
    *,
    prior_mean: Any = 0.0,
    prior_sd: Any = 10.0,
    r_shape: float = 1.0,
    r_rate: float = 0.1,
    intercept: int | None = 0,
    shift_scale: float = 0.3,
    offset: Any = None,
    beta_method: str = "auto",
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> Gibbs:
    """Gibbs sampler of negative-binomial regression.

    Args:
      X: (n, p) design. The column ``intercept`` must be all ones.
      y: (n,) non-negative integer counts.
      prior_mean, prior_sd: the Gaussian prior of β, scalars or (p,).
      r_shape, r_rate: the Gamma(shape, rate) prior of r.
      intercept: the intercept column, or None for no shift move.
      shift_scale: sd of the log r random-walk proposal of the shift move.
      offset, beta_method, pg_options, dtype: as in :func:`logistic`.

    Returns:
      A :class:`Gibbs` with state :class:`NegBinState`; ``collect`` keeps
      ``{"beta": (p,), "r": (), "shift_accepted": ()}``. ``init(key)``
      starts at log r ~ N(0, 1), the intercept at log(mean(y) + 0.5) - log r
      plus N(0, 1), other coefficients at 0.

    The shift move proposes log r' = log r + ε, ε ~ N(0, shift_scale²),
    β₀' = β₀ - ε, and accepts with probability
    min(1, NB(y | r', ψ') N(β₀' | prior) Gamma(r' | a, b) r' /
    (NB(y | r, ψ) N(β₀ | prior) Gamma(r | a, b) r)): the symmetric walk is
    on (log r, β₀), whose Jacobian from r is r. It costs O(n).
    """
    dtype = float_dtype(dtype)
    X = design(X, dtype)
    n, p = X.shape
    y_host = np.asarray(y)
    if y_host.shape != (n,) or np.any(y_host < 0) or np.any(y_host != np.round(y_host)):
        raise ValueError(f"y must be ({n},) non-negative integer counts")
    if intercept is not None and not np.all(np.asarray(X[:, intercept]) == 1.0):
        raise ValueError(f"column {intercept} of X must be all ones for the shift move")
    if not (r_shape > 0 and r_rate > 0 and shift_scale > 0):
        raise ValueError("r_shape, r_rate and shift_scale must be positive")
    counts = np.bincount(y_host.astype(np.int64))
    # at_least[k] = number of observations with y_i >= k + 1.
    at_least = jnp.asarray(counts[::-1].cumsum()[::-1][1:], dtype)
    levels = jnp.arange(at_least.shape[0], dtype=dtype)
    y = jnp.asarray(y_host, dtype)
    mean, precision = gaussian_prior(p, prior_mean, prior_sd, dtype)
    offset = as_offset(offset, n, dtype)
    choose_method(n, p, True, beta_method)
    pg = pg_keywords(pg_options)
    a = jnp.asarray(r_shape, dtype)
    b = jnp.asarray(r_rate, dtype)
    start = float(np.log(y_host.mean() + 0.5))

    def linear(beta):
        return X @ beta if offset is None else X @ beta + offset

    def draw_r(key, psi, r):
        table_key, gamma_key = jax.random.split(key)
        # The k-th customer (k = 1, 2, ...) of a restaurant opens a table
        # with probability r / (r + k - 1); at_least[k-1] restaurants have one.
        opens = r / (r + levels)
        tables = jnp.sum(jax.random.binomial(table_key, at_least, opens, dtype=dtype))
        rate = b + jnp.sum(jnp.logaddexp(0.0, psi))
        return jax.random.gamma(gamma_key, a + tables, dtype=dtype) / rate

    def shift(key, beta, r, psi):
        step_key, accept_key = jax.random.split(key)
        eps = shift_scale * jax.random.normal(step_key, (), dtype)
        r_new = r * jnp.exp(eps)
        b0 = beta[intercept]
        b0_new = b0 - eps
        log_ratio = (
            nb_log_likelihood(y, r_new, psi - eps)
            - nb_log_likelihood(y, r, psi)
            - 0.5
            * precision[intercept]
            * ((b0_new - mean[intercept]) ** 2 - (b0 - mean[intercept]) ** 2)
            # Gamma(a, b) prior times the Jacobian r: r^a e^(-br) in log r.
            + a * eps
            - b * (r_new - r)
        )
        accept = jnp.log(jax.random.uniform(accept_key, (), dtype)) < log_ratio
        beta = jnp.where(accept, beta.at[intercept].set(b0_new), beta)
        return beta, jnp.where(accept, r_new, r), accept.astype(dtype)

    def init(key):
        r_key, b_key = jax.random.split(key)
        log_r = jax.random.normal(r_key, (), dtype)
        beta = jnp.zeros(p, dtype)
        if intercept is not None:
            beta = beta.at[intercept].set(start - log_r + jax.random.normal(b_key, (), dtype))
        return NegBinState(beta, jnp.exp(log_r), jnp.zeros(n, dtype), jnp.zeros((), dtype))

    def step(key, state):
        r_key, shift_key, omega_key, beta_key = jax.random.split(key, 4)
        beta = state.beta
        psi = linear(beta)
        r = draw_r(r_key, psi, state.r)
        accepted = jnp.zeros((), dtype)
        if intercept is not None:
            beta, r, accepted = shift(shift_key, beta, r, psi)
            psi = linear(beta)
        omega = vexol.polya_gamma(omega_key, y + r, psi, dtype=dtype, **pg)
        kappa = 0.5 * (y - r)
        beta = draw_beta(
            beta_key, X, omega, kappa, precision, mean, offset=offset, method=beta_method
        )
        return NegBinState(beta, r, omega, accepted)

    def collect(state):
        return {"beta": state.beta, "r": state.r, "shift_accepted": state.shift_accepted}

    return Gibbs(init, step, collect)
