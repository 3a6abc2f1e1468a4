"""Logistic and binomial regression with grouped random effects.

y_i ~ Binomial(n_i, σ(ψ_i)),  ψ_i = x_i'β + Σ_k z_ik'u_k[g_ik] + offset_i,

with one or more grouping factors k: row i belongs to level g_ik of factor
k, whose effects u_k[l] (q_k numbers: an intercept and, optionally, slopes
on chosen columns of X, z_ik = (1, x_i[slopes_k])) are independent
N(0, diag(σ²_k)), and each variance has the conjugate prior
σ²_kj ~ InvGamma(a, b). Given ω ~ PG(n_i, ψ_i) the likelihood is Gaussian in
(β, u) (Polson, Scott and Windle 2013), so a sweep is

    ω | β, u                     ~ PG(n, ψ)                      one vexol call
    for each factor k:
      (β, u_k) | ω, u_-k, σ²_k   ~ N(...)                        joint, below
      σ²_kj | u_k                ~ InvGamma(a + L_k/2, b + Σ_l u_k[l, j]²/2)

Why (β, u_k) jointly: with many rows per level the data pin down the sums
β₀ + u_k[l] and leave β₀ against the mean of u_k to the prior, so drawing β
given u and u given β in turn would crawl along that ridge. The joint draw
never forms the (p + L_k q_k)-square precision: given ω the levels of one
factor are conditionally independent given β, so its u-block D is block
diagonal (one q_k x q_k block per level, built by segment sums over rows).
The Schur complement gives β's marginal, β ~ N(S⁻¹r, S⁻¹) with
S = A - Σ_l B_l D_l⁻¹ B_l' and r = a - Σ_l B_l D_l⁻¹ b_l (A, a: β's own
block; B_l = Σ_{i in l} ω_i x_i z_i'), and then each level
u_k[l] | β ~ N(D_l⁻¹(b_l - B_l'β), D_l⁻¹). That costs O(n p q + L p² q + p³)
per factor: linear in the number of levels. Crossed factors are not
block diagonal together, hence one joint draw per factor, each given the
others' current effects as part of the offset.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import jax
import jax.numpy as jnp
import numpy as np
from jax.scipy.linalg import cho_solve, solve_triangular

import vexol
from vexol.gibbs._logistic import binomial_data
from vexol.gibbs._model import (
    Gibbs,
    binomial_log_likelihood,
    column_indices,
    float_dtype,
    gaussian_prior,
    host_numbers,
    linear_predictor,
    offsets,
    pg_keywords,
    positive,
    whole,
)


class MixedLogisticState(NamedTuple):
    """State of :func:`mixed_logistic`, one chain, the sampler's dtype.

    ``beta`` (p,) the fixed effects; ``u`` a tuple with one (L_k, q_k) array
    per grouping factor (row l: level l's intercept, then its slopes);
    ``sigma2`` a tuple with one (q_k,) array of variances per factor;
    ``omega`` (n,) the sweep's Pólya-Gamma draws (never read by a sweep).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> X = np.ones((6, 1))
      >>> model = gibbs.mixed_logistic(X, np.array([0, 1, 1, 0, 1, 1]), [0, 0, 1, 1, 2, 2])
      >>> state = model.init(jax.random.key(0))
      >>> state._fields, state.u[0].shape, state.sigma2[0].shape
      (('beta', 'u', 'sigma2', 'omega'), (3, 1), (1,))
    """

    beta: jax.Array
    u: tuple[jax.Array, ...]
    sigma2: tuple[jax.Array, ...]
    omega: jax.Array


def _contribution(u: jax.Array, codes: jax.Array, Z: jax.Array) -> jax.Array:
    """(n,) z_i'u[g_i] of one factor."""
    return jnp.sum(Z * u[codes], axis=-1)


def _joint_draw(key, X, omega, residual, mean, precision, codes, Z, inverse_variance, levels):
    """(β, u) | ω for one factor, given the working response residual =
    κ - ω·(offset + the other factors' effects): see the module's docstring."""
    dtype = X.dtype
    q = Z.shape[1]
    beta_key, u_key = jax.random.split(key)
    weighted = omega[:, None] * X
    A = X.T @ weighted + jnp.diag(precision)
    a = X.T @ residual + precision * mean
    # Per-level blocks by segment sums over rows: (L, p, q), (L, q, q), (L, q).
    B = jax.ops.segment_sum(weighted[:, :, None] * Z[:, None, :], codes, levels)
    D = jax.ops.segment_sum(
        omega[:, None, None] * Z[:, :, None] * Z[:, None, :], codes, levels
    ) + jnp.diag(inverse_variance)
    b = jax.ops.segment_sum(Z * residual[:, None], codes, levels)
    C = jnp.linalg.cholesky(D)
    Dinv_Bt = jax.vmap(lambda c, m: cho_solve((c, True), m))(C, jnp.swapaxes(B, 1, 2))
    Dinv_b = jax.vmap(lambda c, v: cho_solve((c, True), v))(C, b)
    S = A - jnp.einsum("lpq,lqr->pr", B, Dinv_Bt)
    r = a - jnp.einsum("lpq,lq->p", B, Dinv_b)
    # The subtraction leaves S symmetric only up to rounding.
    chol = jnp.linalg.cholesky(0.5 * (S + S.T))
    noise = jax.random.normal(beta_key, r.shape, dtype)
    beta = cho_solve((chol, True), r) + solve_triangular(chol.T, noise, lower=False)
    # D_l = C_l C_l', so C_l'⁻¹ e has covariance D_l⁻¹.
    e = jax.random.normal(u_key, (levels, q), dtype)
    spread = jax.vmap(lambda c, v: solve_triangular(c.T, v, lower=False))(C, e)
    u = Dinv_b - jnp.einsum("lqp,p->lq", Dinv_Bt, beta) + spread
    return beta, u


def _sweep(key, state, X, y, h, mean, precision, codes, Zs, shape, scale, offset, pg):
    """One sweep on explicit data (every array may be traced: the
    invariance tests vmap it over data sets). codes and Zs: tuples, one per
    factor; the number of levels is read from state.u's static shapes."""
    dtype = X.dtype
    omega_key, *factor_keys = jax.random.split(key, 1 + 2 * len(codes))
    fixed = X @ state.beta if offset is None else X @ state.beta + offset
    parts = [_contribution(u, c, Z) for u, c, Z in zip(state.u, codes, Zs, strict=True)]
    omega = vexol.polya_gamma(omega_key, h, fixed + sum(parts), dtype=dtype, **pg)
    kappa = y - 0.5 * h
    beta, us, sigma2s = state.beta, list(state.u), list(state.sigma2)
    for k, (c, Z) in enumerate(zip(codes, Zs, strict=True)):
        others = sum(parts[:k] + parts[k + 1 :]) + (0.0 if offset is None else offset)
        levels = us[k].shape[0]
        beta, us[k] = _joint_draw(
            factor_keys[2 * k],
            X,
            omega,
            kappa - omega * others,
            mean,
            precision,
            c,
            Z,
            1.0 / sigma2s[k],
            levels,
        )
        parts[k] = _contribution(us[k], c, Z)
        rate = scale + 0.5 * jnp.sum(us[k] ** 2, axis=0)
        gamma = jax.random.gamma(factor_keys[2 * k + 1], shape + 0.5 * levels, rate.shape, dtype)
        sigma2s[k] = rate / gamma
    return MixedLogisticState(beta, tuple(us), tuple(sigma2s), omega)


def _factors(groups: Any, n: int, where: str) -> dict[str, np.ndarray]:
    """{name: integer codes (n,)} from an (n,) or (n, G) array, a tuple or
    list of (n,) arrays, or a mapping of names to them."""
    if isinstance(groups, Mapping):
        given = {str(name): (f"groups[{name!r}]", codes) for name, codes in groups.items()}
    elif isinstance(groups, (tuple, list)) and groups and np.ndim(groups[0]) == 1:
        given = {f"g{k}": (f"groups[{k}]", codes) for k, codes in enumerate(groups)}
    else:
        a = host_numbers(groups, "groups", where)
        if a.ndim not in (1, 2) or a.shape[0] != n:
            raise ValueError(
                f"{where}: groups has shape {a.shape}; it must have shape ({n},) or ({n}, G), "
                "a level code per row of X for each grouping factor"
            )
        given = {f"g{k}": ("groups", a) for k in range(1 if a.ndim == 1 else a.shape[1])}
    if not given:
        raise ValueError(f"{where}: groups names no grouping factor")
    out = {}
    for k, (name, (label, codes)) in enumerate(given.items()):
        a = host_numbers(codes, label, where)
        column = a[:, k] if a.ndim == 2 and label == "groups" else a
        if column.shape != (n,):
            raise ValueError(
                f"{where}: {label} has shape {a.shape}; it must have shape ({n},), a level code "
                "per row of X"
            )
        # Checked as given, so that the message names groups[i] or groups[i, k].
        whole(where, label, a, "group codes must be non-negative integers (0, 1, 2, ...)")
        out[name] = column.astype(np.int64)
    return out


def _slope_columns(slopes: Any, names: Sequence[str], p: int, where: str) -> dict[str, list[int]]:
    if slopes is None:
        return {name: [] for name in names}
    if isinstance(slopes, Mapping):
        unknown = sorted(set(map(str, slopes)) - set(names))
        if unknown:
            raise ValueError(
                f"{where}: slopes names {unknown}, not grouping factors; they are {list(names)}"
            )
        chosen = {name: list(slopes.get(name, ())) for name in names}
    else:
        chosen = {name: list(slopes) for name in names}
    for name, columns in chosen.items():
        chosen[name] = column_indices(columns, "slopes", p, where)
        if len(set(chosen[name])) != len(chosen[name]):
            raise ValueError(f"{where}: slopes names a column twice for factor {name!r}")
    return chosen


def mixed_logistic(
    X: Any,
    y: Any,
    groups: Any,
    *,
    trials: Any = None,
    slopes: Any = None,
    prior_mean: Any = 0.0,
    prior_sd: Any = 2.5,
    variance_shape: float = 1.0,
    variance_scale: float = 1.0,
    offset: Any = None,
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> Gibbs:
    """Gibbs sampler of logistic or binomial regression with random effects.

    Model: y_i ~ Binomial(n_i, σ(ψ_i)) with
    ψ_i = x_i'β + Σ_k z_ik'u_k[g_ik] + offset_i, where g_ik is row i's level
    of grouping factor k and z_ik = (1, x_i[slopes of k]); fixed effects
    β ~ N(prior_mean, diag(prior_sd²)); each level's effects
    u_k[l] ~ N(0, diag(σ²_k)) independently; each variance
    σ²_kj ~ InvGamma(variance_shape, variance_scale) (density
    ∝ σ^-2(a+1) e^(-b/σ²)), a random intercept's and each random slope's
    apart.

    Args:
      X: (n, p) design of the fixed effects (include a column of ones: the
        random intercepts are deviations from it).
      y: (n,) successes: 0/1 labels, or counts in [0, n_i] with ``trials``.
      groups: the level codes 0, 1, ..., L_k - 1 of each row: an (n,)
        array for one factor, an (n, G) array or a tuple of (n,) arrays for
        G factors (named ``g0``, ``g1``, ...), or a mapping of names to
        (n,) arrays. L_k is the largest code plus one; a level no row has
        is drawn from its prior.
      trials: n_i, scalar or (n,); 1 when None.
      slopes: None (random intercepts only), column indices of X that get a
        random slope in every factor, or a mapping of factor names to them.
      prior_mean, prior_sd: the fixed effects' prior, scalars or (p,).
      variance_shape, variance_scale: a and b of the inverse-gamma prior of
        every random-effect variance.
      offset: (n,) known part of the linear predictor, or None.
      pg_options: extra keyword arguments for ``vexol.polya_gamma``.
      dtype: float32 or float64; JAX's default float when None.

    Returns:
      A :class:`Gibbs` with state :class:`MixedLogisticState`; ``collect``
      keeps ``beta`` (p,) and, per factor ``name``, ``u_name`` (L, q) and
      ``sigma2_name`` (q,). ``init(key)`` starts β at prior_mean + N(0, 0.5²),
      the effects at N(0, 0.5²) and the variances at 1.

    Raises:
      ValueError: groups of the wrong shape or with codes that are not
        non-negative integers, slopes naming no column or no factor, and the
        checks of :func:`logistic`. TypeError: non-numeric input.

    Each sweep draws ω | β, u, then for each factor in turn (β, u_k)
    jointly given ω, the other factors' effects and σ²_k, and σ²_k | u_k by
    its conjugate update. The joint draw costs O(n p q + L p² q + p³): it
    never forms a precision of size p + L (``vexol.gibbs._random_effects``
    says how), so thousands of levels are cheap.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> n, levels = 300, 30
      >>> g = rng.integers(levels, size=n)
      >>> x = rng.normal(size=n)
      >>> psi = -0.5 + x + rng.normal(0.0, 0.8, levels)[g]
      >>> y = (rng.random(n) < 1 / (1 + np.exp(-psi))).astype(float)
      >>> X = np.column_stack([np.ones(n), x])
      >>> model = gibbs.mixed_logistic(X, y, g)
      >>> result = gibbs.run(model, None, jax.random.key(0), sweeps=200, warmup=100,
      ...                    chains=2, progress=False)
      >>> {k: v.shape for k, v in result.draws.items()}
      {'beta': (2, 200, 2), 'sigma2_g0': (2, 200, 1), 'u_g0': (2, 200, 30, 1)}

      Two named factors, a random slope on x for the first:

      >>> h = rng.integers(5, size=n)
      >>> model = gibbs.mixed_logistic(X, y, {"school": g, "year": h}, slopes={"school": [1]})
      >>> [u.shape for u in model.init(jax.random.key(0)).u]
      [(30, 2), (5, 1)]
    """
    where = "vexol.gibbs.mixed_logistic"
    dtype = float_dtype(dtype, where)
    X, y, h, (X_host, y_host, h_host) = binomial_data(X, y, trials, dtype, where)
    n, p = X.shape
    factors = _factors(groups, n, where)
    columns = _slope_columns(slopes, list(factors), p, where)
    mean, precision = gaussian_prior(p, prior_mean, prior_sd, dtype, where)
    shape = jnp.asarray(positive(variance_shape, "variance_shape", where), dtype)
    scale = jnp.asarray(positive(variance_scale, "variance_scale", where), dtype)
    offset, offset_host = offsets(offset, n, dtype, where)
    pg = pg_keywords(pg_options, where)

    names = list(factors)
    Z_host = [np.column_stack([np.ones(n), X_host[:, columns[name]]]) for name in names]
    codes = tuple(jnp.asarray(factors[name], jnp.int32) for name in names)
    Zs = tuple(jnp.asarray(Z, dtype) for Z in Z_host)
    levels = [int(factors[name].max()) + 1 for name in names]
    sizes = [Z.shape[1] for Z in Z_host]

    def init(key):
        beta_key, *keys = jax.random.split(key, 1 + len(names))
        beta = mean + 0.5 * jax.random.normal(beta_key, (p,), dtype)
        u = tuple(
            0.5 * jax.random.normal(k, (L, q), dtype)
            for k, L, q in zip(keys, levels, sizes, strict=True)
        )
        sigma2 = tuple(jnp.ones(q, dtype) for q in sizes)
        return MixedLogisticState(beta, u, sigma2, jnp.zeros(n, dtype))

    def step(key, state):
        return _sweep(key, state, X, y, h, mean, precision, codes, Zs, shape, scale, offset, pg)

    def collect(state):
        draws = {"beta": state.beta}
        for name, u, sigma2 in zip(names, state.u, state.sigma2, strict=True):
            draws[f"u_{name}"] = u
            draws[f"sigma2_{name}"] = sigma2
        return draws

    def log_likelihood(draws):
        psi = linear_predictor(draws["beta"], X_host, offset_host)
        for name, Z in zip(names, Z_host, strict=True):
            u = np.asarray(draws[f"u_{name}"], np.float64)
            # One chain at a time: u[..., codes, :] for every draw at once
            # would hold chains x draws x n x q numbers.
            for c in range(u.shape[0]):
                psi[c] += np.einsum("dnq,nq->dn", u[c][:, factors[name]], Z)
        return binomial_log_likelihood(psi, y_host, h_host)

    return Gibbs(init, step, collect, log_likelihood, {"y": y_host})
