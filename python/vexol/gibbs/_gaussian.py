"""The Gaussian full conditional of regression coefficients given ω.

Every Pólya-Gamma model here reduces, given ω, to the same draw: a
likelihood proportional to exp(κ'ψ - ψ'Ωψ/2) in ψ = Xβ + offset, times a
Gaussian prior N(m, P⁻¹), is the Gaussian

    β | ω ~ N(μ, Σ),  Σ = (X'ΩX + P)⁻¹,  μ = Σ (X'(κ - Ω offset) + P m).

Two exact ways to draw it: a Cholesky factor of the p x p precision,
O(np² + p³), and for a diagonal prior the algorithm of Bhattacharya,
Chakraborty and Mallick (2016), which works with an n x n system instead,
O(n²p + n³); it is the cheaper one when n < p.
"""

from __future__ import annotations

from typing import Any

import jax
import jax.numpy as jnp
from jax.scipy.linalg import cho_solve, solve_triangular

METHODS = ("auto", "cholesky", "bcm")


def choose_method(n: int, p: int, diagonal_prior: bool, method: str = "auto") -> str:
    """The β-draw algorithm ``draw_beta`` uses for an (n, p) design.

    ``"auto"`` picks ``"bcm"`` when the prior precision is diagonal and
    n < p (its n x n system then costs less than the p x p one), else
    ``"cholesky"``. An explicit ``"bcm"`` with a full prior precision raises
    ``ValueError``: the algorithm needs a diagonal prior covariance.

    Examples:
      >>> from vexol import gibbs
      >>> gibbs.choose_method(1000, 20, diagonal_prior=True)
      'cholesky'
      >>> gibbs.choose_method(200, 2000, diagonal_prior=True)
      'bcm'
      >>> gibbs.choose_method(200, 2000, diagonal_prior=False)
      'cholesky'
    """
    if method not in METHODS:
        raise ValueError(f"method must be one of {METHODS}, not {method!r}")
    if method == "auto":
        return "bcm" if diagonal_prior and n < p else "cholesky"
    if method == "bcm" and not diagonal_prior:
        raise ValueError("method='bcm' needs a diagonal prior precision, shape (p,)")
    return method


def _linear_term(X: jax.Array, omega: jax.Array, kappa: jax.Array, offset: Any) -> jax.Array:
    # exp(κψ - ωψ²/2) with ψ = Xβ + c is, in β, exp((κ - ωc)'Xβ - ...).
    if offset is None:
        return X.T @ kappa
    return X.T @ (kappa - omega * offset)


def draw_beta_cholesky(
    key: jax.Array,
    X: jax.Array,
    omega: jax.Array,
    kappa: jax.Array,
    prior_precision: jax.Array,
    prior_mean: jax.Array | None = None,
    *,
    offset: jax.Array | None = None,
) -> jax.Array:
    """β | ω by a Cholesky factor of X'ΩX + P; prior precision (p,) or (p, p).

    Examples:
      >>> import jax, jax.numpy as jnp
      >>> from vexol import gibbs
      >>> X = jax.random.normal(jax.random.key(0), (30, 3))
      >>> omega = jnp.full(30, 0.25)                    # the ω draw of a sweep
      >>> kappa = jnp.where(X[:, 0] > 0, 0.5, -0.5)     # y - trials/2
      >>> precision = jnp.full(3, 1 / 2.5**2)           # diagonal prior
      >>> a = gibbs.draw_beta_cholesky(jax.random.key(1), X, omega, kappa, precision)
      >>> b = gibbs.draw_beta(jax.random.key(1), X, omega, kappa, precision, method="cholesky")
      >>> bool((a == b).all())
      True
    """
    P = jnp.asarray(prior_precision, X.dtype)
    full = P if P.ndim == 2 else jnp.diag(P)
    precision = X.T @ (omega[:, None] * X) + full
    rhs = _linear_term(X, omega, kappa, offset)
    if prior_mean is not None:
        m = jnp.asarray(prior_mean, X.dtype)
        rhs = rhs + (P @ m if P.ndim == 2 else P * m)
    return draw_from_factor(key, jnp.linalg.cholesky(precision), rhs)


def draw_beta_bcm(
    key: jax.Array,
    X: jax.Array,
    omega: jax.Array,
    kappa: jax.Array,
    prior_precision: jax.Array,
    prior_mean: jax.Array | None = None,
    *,
    offset: jax.Array | None = None,
) -> jax.Array:
    """β | ω by Bhattacharya, Chakraborty and Mallick (2016); diagonal prior (p,).

    With Φ = Ω^½X and D = P⁻¹: u ~ N(m₀, D), m₀ = m + D X'(κ - Ωc),
    δ ~ N(0, Iₙ), and β = u - DΦ'(ΦDΦ' + Iₙ)⁻¹(Φu + δ). Its mean is
    (D - DΦ'(ΦDΦ' + I)⁻¹ΦD) D⁻¹m₀ = Σ(X'(κ - Ωc) + Pm) by Woodbury, its
    covariance Σ. Written this way nothing is divided by ω, which may be
    as small as 1e-12 (the floor of vexol's draws), unlike the paper's
    α = Ω^-½κ.

    Examples:
      For n < p (here 10 rows, 40 coefficients) the n x n system is the cheaper one:

      >>> import jax, jax.numpy as jnp
      >>> from vexol import gibbs
      >>> X = jax.random.normal(jax.random.key(0), (10, 40))
      >>> omega, kappa = jnp.full(10, 0.25), jnp.where(X[:, 0] > 0, 0.5, -0.5)
      >>> beta = gibbs.draw_beta_bcm(jax.random.key(1), X, omega, kappa, jnp.ones(40))
      >>> beta.shape
      (40,)
    """
    P = jnp.asarray(prior_precision, X.dtype)
    if P.ndim != 1:
        raise ValueError("draw_beta_bcm needs a diagonal prior precision, shape (p,)")
    d = 1.0 / P
    shift = d * _linear_term(X, omega, kappa, offset)
    if prior_mean is not None:
        shift = shift + jnp.asarray(prior_mean, X.dtype)
    phi = jnp.sqrt(omega)[:, None] * X
    system = (phi * d) @ phi.T + jnp.eye(X.shape[0], dtype=X.dtype)
    return bcm_from_factor(key, phi, d, shift, jnp.linalg.cholesky(system))


def draw_from_factor(key, chol, rhs):
    """N(H⁻¹ rhs, H⁻¹) given H's lower Cholesky factor L."""
    mean = cho_solve((chol, True), rhs)
    # H = L L', so L'⁻¹ e has covariance H⁻¹.
    noise = jax.random.normal(key, mean.shape, chol.dtype)
    return mean + solve_triangular(chol.T, noise, lower=False)


def bcm_from_factor(key, phi, d, shift, chol):
    """The BCM draw (see :func:`draw_beta_bcm`) given Φ = Ω^½X, the prior
    variances d, the shifted prior mean and the lower Cholesky factor of
    ΦDΦ' + I."""
    prior_key, data_key = jax.random.split(key)
    u = shift + jnp.sqrt(d) * jax.random.normal(prior_key, shift.shape, phi.dtype)
    delta = jax.random.normal(data_key, (phi.shape[0],), phi.dtype)
    w = cho_solve((chol, True), phi @ u + delta)
    return u - d * (phi.T @ w)


def draw_beta(
    key: jax.Array,
    X: jax.Array,
    omega: jax.Array,
    kappa: jax.Array,
    prior_precision: jax.Array,
    prior_mean: jax.Array | None = None,
    *,
    offset: jax.Array | None = None,
    method: str = "auto",
) -> jax.Array:
    """Draw β | ω ~ N(μ, Σ), Σ = (X'ΩX + P)⁻¹, μ = Σ(X'(κ - Ω·offset) + P m).

    Args:
      key: a JAX PRNG key.
      X: (n, p) design, float32 or float64; the draw has its dtype.
      omega: (n,) the Pólya-Gamma draws.
      kappa: (n,) the centred responses, y - h/2 for logistic and binomial
        models, (y - r)/2 for the negative binomial.
      prior_precision: P, (p,) for a diagonal prior or (p, p).
      prior_mean: m, (p,); zero when None.
      offset: (n,) a known part of the linear predictor ψ = Xβ + offset.
      method: ``"auto"``, ``"cholesky"`` or ``"bcm"`` (see
        :func:`choose_method`); chosen from the static shapes at trace time.

    Returns:
      (p,) one draw of β.

    Jittable and vmappable (e.g. over chains, or over the classes of the
    multinomial model).

    Examples:
      >>> import jax, jax.numpy as jnp
      >>> from vexol import gibbs
      >>> X = jax.random.normal(jax.random.key(0), (30, 3))
      >>> omega = jnp.full(30, 0.25)                    # the ω draw of a sweep
      >>> kappa = jnp.where(X[:, 0] > 0, 0.5, -0.5)     # y - trials/2
      >>> precision = jnp.full(3, 1 / 2.5**2)           # diagonal prior
      >>> beta = gibbs.draw_beta(jax.random.key(1), X, omega, kappa, precision)
      >>> beta.shape, beta.dtype
      ((3,), dtype('float32'))
      >>> full = jnp.diag(precision)                     # a full prior precision
      >>> gibbs.draw_beta(jax.random.key(1), X, omega, kappa, full).shape
      (3,)
    """
    n, p = X.shape
    diagonal = jnp.ndim(prior_precision) == 1
    chosen = choose_method(n, p, diagonal, method)
    draw = draw_beta_bcm if chosen == "bcm" else draw_beta_cholesky
    return draw(key, X, omega, kappa, prior_precision, prior_mean, offset=offset)
