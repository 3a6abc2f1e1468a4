"""Metropolis moves along the directions the Pólya-Gamma augmentation mixes slowest.

Given ω, β | ω is Gaussian with precision X'ΩX + P; the posterior itself has,
near its mode, precision about H = X'WX + P with W_i = h_i σ(ψ_i)(1 - σ(ψ_i)),
the Fisher information. Where a row is well fitted (|ψ_i| large) its ω is
near E ω_i = h_i tanh(ψ_i/2)/(2ψ_i) ≈ h_i/(2|ψ_i|), while W_i ≈ h_i e^-|ψ_i|:
the augmented chain holds β far tighter than the posterior does. For a
Gaussian approximation the lag-one autocorrelation of v'β is 1 - 1/λ along
the generalized eigenvectors of

    A v = λ H v,   A = X' E[Ω] X + P,

so the eigenvalues λ are the factors by which the augmentation slows each
direction down. On nearly separable data a few of them are large (98 for
the slowest direction of the breast-cancer example, lag-one
autocorrelation 0.99) and the chain crawls along those directions while the
rest mix within a few sweeps (the bulk of the λ are near 1).

A random-walk Metropolis step along each of the k slowest directions,
with the step scaled by the approximate posterior sd along it (v'Hv = 1),
moves exactly those directions. Each step costs O(n): ψ moves by t·Xv, with
Xv computed once. The directions are fixed before the chain starts (from
the posterior mode, computed on the host), so every step is a symmetric
Metropolis step of the posterior and the sweep stays exact.
"""

from __future__ import annotations

from typing import Any

import jax
import jax.numpy as jnp
import numpy as np
from scipy import linalg


def binomial_log_density(beta, psi, y, h, mean, precision):
    """log p(β | y) + const for y ~ Binomial(h, σ(ψ)), β ~ N(mean, diag(1/precision)).

    ``psi`` is the linear predictor of ``beta``, offset included.
    """
    return _log_density(beta, psi, softplus(psi), y, h, mean, precision)


def _log_density(beta, psi, softplus_psi, y, h, mean, precision):
    likelihood = jnp.sum(y * psi - h * softplus_psi)
    return likelihood - 0.5 * jnp.sum(precision * (beta - mean) ** 2)


def softplus(psi):
    """log(1 + e^ψ), elementwise, for sums of many terms.

    The direction steps evaluate it n times per step, and it is most of
    their cost: written with log(1 + e^-|ψ|) it runs a fifth faster than
    ``jnp.logaddexp(0, ψ)`` on the CPU (XLA's log1p costs half as much
    again as its log). Each term stays within one unit in the last place
    of max(1, term) (where e^-|ψ| rounds away against 1), no more than the
    sum's own rounding of terms of that size.
    """
    return _softplus_and_tail(psi)[0]


def _softplus_and_tail(psi):
    """softplus(ψ) and e^-|ψ|, which σ(ψ) reuses."""
    tail = jnp.exp(-jnp.abs(psi))
    return jnp.maximum(psi, 0.0) + jnp.log(1.0 + tail), tail


def posterior_mode(X, y, h, mean, precision, offset=None, iterations: int = 200) -> np.ndarray:
    """The mode of the binomial regression posterior, by damped Newton steps (NumPy, float64).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> mode = gibbs.posterior_mode(X, y, 1.0, np.zeros(2), np.full(2, 1 / 2.5**2))
      >>> mode.shape, mode.dtype
      ((2,), dtype('float64'))
    """
    X = np.asarray(X, np.float64)
    y, h = np.asarray(y, np.float64), np.broadcast_to(np.asarray(h, np.float64), (X.shape[0],))
    mean, precision = np.asarray(mean, np.float64), np.asarray(precision, np.float64)
    offset = 0.0 if offset is None else np.asarray(offset, np.float64)

    def objective(beta):
        psi = X @ beta + offset
        return np.sum(y * psi - h * np.logaddexp(0.0, psi)) - 0.5 * np.sum(
            precision * (beta - mean) ** 2
        )

    beta = mean.copy()
    value = objective(beta)
    for _ in range(iterations):
        psi = X @ beta + offset
        mu = 0.5 * (1.0 + np.tanh(0.5 * psi))
        gradient = X.T @ (y - h * mu) - precision * (beta - mean)
        hessian = X.T @ ((h * mu * (1.0 - mu))[:, None] * X) + np.diag(precision)
        step = linalg.solve(hessian, gradient, assume_a="pos")
        # The objective is strictly concave (the prior), so halving the step
        # until it rises ends; it guards the first steps far from the mode.
        scale = 1.0
        while scale > 1e-10:
            trial = beta + scale * step
            trial_value = objective(trial)
            if trial_value >= value:
                break
            scale *= 0.5
        beta, value = trial, trial_value
        # gradient'step / 2 is the rise Newton's step predicts; past 1e-10
        # the mode moves by far less than the directions need.
        if float(gradient @ step) < 1e-10 or scale <= 1e-10:
            break
    return beta


def augmented_precision(X, h, psi, precision):
    """A = X' E[Ω] X + P at the linear predictor ψ (host, float64): the
    precision of β | ω with ω at its mean."""
    # E PG(h, ψ) = h tanh(ψ/2) / (2ψ), h/4 at ψ = 0.
    small = np.abs(psi) < 1e-6
    expected = h * np.where(small, 0.25, np.tanh(0.5 * psi) / (2.0 * np.where(small, 1.0, psi)))
    return X.T @ (expected[:, None] * X) + np.diag(precision)


def slow_directions(
    X: Any, y: Any, h: Any, mean: Any, precision: Any, count: int, offset: Any = None
) -> tuple[np.ndarray, np.ndarray]:
    """The ``count`` directions the augmented chain mixes slowest, at the posterior mode.

    Returns (directions (count, p), slowdowns (count,)): the generalized
    eigenvectors of A v = λ H v with the largest λ, largest first, each
    scaled so that v'Hv = 1 (one approximate posterior sd along it), and
    their λ.

    Examples:
      Nearly separable data: the augmentation slows plain Gibbs most along the
      first direction, by the factor λ (the lag-one autocorrelation there is
      about 1 - 1/λ):

      >>> import numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(200), rng.normal(size=(200, 2))])
      >>> y = (X[:, 1] + 0.1 * rng.normal(size=200) > 0).astype(float)
      >>> directions, slowdown = gibbs.slow_directions(
      ...     X, y, 1.0, np.zeros(3), np.full(3, 1 / 2.5**2), count=2)
      >>> directions.shape, bool(slowdown[0] >= slowdown[1] > 1)
      ((2, 3), True)
    """
    X = np.asarray(X, np.float64)
    n, p = X.shape
    if not 0 <= count <= p:
        raise ValueError(f"the number of slow directions must lie in [0, {p}], not {count}")
    h = np.broadcast_to(np.asarray(h, np.float64), (n,))
    precision = np.asarray(precision, np.float64)
    beta = posterior_mode(X, y, h, mean, precision, offset)
    psi = X @ beta + (0.0 if offset is None else np.asarray(offset, np.float64))
    mu = 0.5 * (1.0 + np.tanh(0.5 * psi))
    fisher = X.T @ ((h * mu * (1.0 - mu))[:, None] * X) + np.diag(precision)
    slowdown, vectors = linalg.eigh(augmented_precision(X, h, psi, precision), fisher)
    # vectors' H vectors = I
    order = np.argsort(slowdown)[::-1][:count]
    return vectors[:, order].T.copy(), slowdown[order]


def kept_rows(X, vectors, dtype):
    """Directions (..., k, p) as the builders keep them, with how ψ moves
    along each as rows (..., k, n) (host, float64 in; the sampler's dtype
    out): a step reads one contiguous row. :func:`sweep_form` hands the
    sweeps their (directions, moved_psi) form."""
    moved = np.swapaxes(X @ np.swapaxes(vectors, -1, -2), -1, -2)
    return jnp.asarray(vectors, dtype), jnp.asarray(moved, dtype)


def sweep_form(kept):
    """A kept (directions, rows) pair as the sweeps take it, (directions,
    moved_psi (..., n, k)), or None. Called while tracing: the transpose
    cancels with the one the steps take to read rows, so nothing is copied."""
    return None if kept is None else (kept[0], jnp.swapaxes(kept[1], -1, -2))


def direction_moves(key, beta, psi, directions, moved_psi, log_density, step_size):
    """One random-walk Metropolis step along each direction, in turn.

    Args:
      key: a PRNG key. beta: (p,). psi: (n,) its linear predictor.
      directions: (k, p). moved_psi: (n, k), X @ directions.T (how ψ moves).
      log_density: ``log_density(beta, psi)``, the log posterior up to a constant.
      step_size: the proposal sd, in units of each direction (t ~ N(0, s²),
        β' = β + t·v).

    Returns (beta, psi, accepted), ``accepted`` the number of steps taken.

    Examples:
      A Metropolis step along each coordinate axis of a standard normal target:

      >>> import jax, jax.numpy as jnp
      >>> from vexol import gibbs
      >>> X = jnp.eye(2)                                  # psi = X @ beta = beta
      >>> log_density = lambda beta, psi: -0.5 * jnp.sum(beta**2)
      >>> beta, psi, accepted = gibbs.direction_moves(
      ...     jax.random.key(0), jnp.zeros(2), jnp.zeros(2), jnp.eye(2), X @ jnp.eye(2).T,
      ...     log_density, 1.0)
      >>> beta.shape, 0 <= int(accepted) <= 2, bool(jnp.allclose(psi, X @ beta))
      ((2,), True, True)
    """
    k = directions.shape[0]
    dtype = beta.dtype
    steps_key, uniform_key = jax.random.split(key)
    steps = step_size * jax.random.normal(steps_key, (k,), dtype)
    logu = jnp.log(jax.random.uniform(uniform_key, (k,), dtype))

    # A step reads one column of moved_psi, contiguous as a row of its
    # transpose: one copy a call instead of a strided gather a step. The
    # builders keep the rows and pass their transpose, which XLA cancels.
    moved_rows = moved_psi.T

    def one(j, carry):
        beta, psi, current, accepted = carry
        proposal = beta + steps[j] * directions[j]
        proposal_psi = psi + steps[j] * moved_rows[j]
        value = log_density(proposal, proposal_psi)
        take = logu[j] < value - current
        return (
            jnp.where(take, proposal, beta),
            jnp.where(take, proposal_psi, psi),
            jnp.where(take, value, current),
            accepted + take.astype(jnp.int32),
        )

    start = (beta, psi, log_density(beta, psi), jnp.zeros((), jnp.int32))
    beta, psi, _, accepted = jax.lax.fori_loop(0, k, one, start)
    return beta, psi, accepted


def _line_slope(beta, sigma, y, h, mean, precision, v, m):
    """The first two derivatives of the log posterior along v at β, from σ(ψ):
    f' = m'(y - h σ) - v'P(β - mean), and -f'' = (m²)'(h σ(1 - σ)) + v'P v."""
    slope = jnp.dot(m, y - h * sigma) - jnp.sum(precision * (beta - mean) * v)
    curvature = jnp.dot(m * m, h * sigma * (1.0 - sigma)) + jnp.sum(precision * v * v)
    return slope, curvature


def _binomial_point(beta, psi, y, h, mean, precision):
    """The log posterior at β (as binomial_log_density) and σ(ψ), sharing e^-|ψ|."""
    softplus_psi, tail = _softplus_and_tail(psi)
    inverse = 1.0 / (1.0 + tail)  # one division for both signs
    sigma = jnp.where(psi >= 0, inverse, tail * inverse)
    return _log_density(beta, psi, softplus_psi, y, h, mean, precision), sigma


def line_moves(key, beta, psi, directions, moved_psi, y, h, mean, precision):
    """One Metropolis-Hastings step along each direction, proposed from the
    Laplace approximation of the binomial posterior along that line.

    Along v the log posterior f(t) = log p(β + t·v | y) is concave; the step
    proposes t ~ N(f'(0)/c, 1/c), c = -f''(0) (one Newton step and the
    curvature there), and accepts with the reverse proposal's density from
    the point reached, so any fixed directions keep the posterior exact.
    Near a normal posterior the proposal is the conditional along the line,
    nearly always taken; unlike a random walk it needs no step size and one
    step moves v'β across its conditional spread (in the spirit of
    Gamerman's 1997 weighted-least-squares proposals for GLMs, one line at
    a time). A step costs O(n): σ(ψ), the log density and two dot products
    at the proposal; those at the current point are carried.

    Args:
      key: a PRNG key. beta: (p,). psi: (n,) its linear predictor, offset included.
      directions: (k, p). moved_psi: (n, k), X @ directions.T (how ψ moves).
      y, h: (n,) successes and trials (h a scalar or (n,)).
      mean, precision: (p,) the prior N(mean, diag(1/precision)).

    Returns (beta, psi, accepted), ``accepted`` the number of steps taken.

    Examples:
      >>> import jax, jax.numpy as jnp, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = jnp.asarray(np.column_stack([np.ones(50), rng.normal(size=50)]), jnp.float32)
      >>> y = jnp.asarray(rng.random(50) < 0.5, jnp.float32)
      >>> beta, psi, taken = gibbs.line_moves(
      ...     jax.random.key(0), jnp.zeros(2), jnp.zeros(50), jnp.eye(2), X,
      ...     y, 1.0, jnp.zeros(2), jnp.full(2, 0.16))
      >>> beta.shape, 0 <= int(taken) <= 2, bool(jnp.allclose(psi, X @ beta, atol=1e-5))
      ((2,), True, True)
    """
    k = directions.shape[0]
    dtype = beta.dtype
    normal_key, uniform_key = jax.random.split(key)
    normals = jax.random.normal(normal_key, (k,), dtype)
    logu = jnp.log(jax.random.uniform(uniform_key, (k,), dtype))
    moved_rows = moved_psi.T  # see direction_moves

    def one(j, carry):
        beta, psi, current, sigma, accepted = carry
        v, m = directions[j], moved_rows[j]
        slope, curvature = _line_slope(beta, sigma, y, h, mean, precision, v, m)
        centre, sd = slope / curvature, jax.lax.rsqrt(curvature)
        t = centre + sd * normals[j]
        proposal, proposal_psi = beta + t * v, psi + t * m
        value, proposal_sigma = _binomial_point(proposal, proposal_psi, y, h, mean, precision)
        back_slope, back_curvature = _line_slope(
            proposal, proposal_sigma, y, h, mean, precision, v, m
        )
        back_sd = jax.lax.rsqrt(back_curvature)
        # log q(back to β | proposal) - log q(proposal | β); the 2π terms cancel.
        log_q_back = -0.5 * ((t + back_slope / back_curvature) / back_sd) ** 2 - jnp.log(back_sd)
        log_q_forward = -0.5 * normals[j] ** 2 - jnp.log(sd)
        take = logu[j] < value - current + log_q_back - log_q_forward
        return (
            jnp.where(take, proposal, beta),
            jnp.where(take, proposal_psi, psi),
            jnp.where(take, value, current),
            jnp.where(take, proposal_sigma, sigma),
            accepted + take.astype(jnp.int32),
        )

    current, sigma = _binomial_point(beta, psi, y, h, mean, precision)
    start = (beta, psi, current, sigma, jnp.zeros((), jnp.int32))
    beta, psi, _, _, accepted = jax.lax.fori_loop(0, k, one, start)
    return beta, psi, accepted
