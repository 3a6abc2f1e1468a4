"""Moves of the horseshoe's scales that plain Gibbs makes in small steps.

Drawn one after the other, τ² | β and β | τ² move little when the
coefficients and the global scale are tied, as they are with many
coefficients near zero, and on separable data (always so when p > n) the
overall size of β, with τ, wanders slowly. Two Metropolis-Hastings moves of
η = log τ², each a few random-walk steps against a target that is τ²'s prior
IG(½, 1/ξ) times a likelihood:

* the block (τ², β) given ω and the local scales: η against the likelihood
  with β integrated out, then β | τ², ω, λ exactly (Johndrow, Orenstein and
  Bhattacharya 2020 do the same for the linear model). Given ω, β has the
  prior N(0, D(t)), D = diag(d_F, t·λ²) for t = τ² (d_F the unpenalized
  columns' variances), and the augmented likelihood exp(g'β - β'X'ΩX β/2),
  g = X'(κ - Ωc) for an offset c; integrating β out leaves

      log L(t) = -½ log|I + D X'ΩX| + ½ g'Σ g,     Σ = (X'ΩX + D⁻¹)⁻¹,

  in two forms, as for the β draw: with Φ = Ω^½X and S(t) = I + ΦDΦ' =
  S_F + t·G an n x n system (p > n: G costs O(n²p) once a sweep, a step one
  n x n factor), and with H(t) = X'ΩX + D⁻¹ a p x p one;
* the penalized coefficients scaled with τ, β_P -> e^s β_P, τ -> e^s τ
  (s = Δη/2): their prior given λ and τ changes only by τ's power, which
  the Jacobian of (β_P, η) cancels, so that the target is the binomial
  likelihood at Xβ times τ²'s prior as a density of η, O(n) a step.

And, the same way, each penalized β_j scaled with its own λ_j against the
likelihood times λ_j²'s prior IG(½, 1/ν_j), one step a column in turn: a
coefficient held near zero by a small λ_j, and λ_j by it, leaves in one
step (O(n) a column).
"""

from __future__ import annotations

import jax
import jax.numpy as jnp
from jax.scipy.linalg import solve_triangular

from vexol.gibbs._directions import softplus
from vexol.gibbs._gaussian import bcm_from_factor, draw_from_factor

# Random-walk steps a sweep and their sd in η = log τ². The sds gave
# acceptance rates of about 0.3 to 0.6 on the example's two data sets
# (breast cancer and n = 200, p = 2,000). The block costs an n x n or
# p x p factor a step; the scale steps O(n) each.
TAU_STEPS, TAU_STEP_SD = 3, 1.0
SCALE_STEPS, SCALE_STEP_SD = 10, 0.6

# Each column's step in log λ_j². About 0.7 (breast cancer) and 0.8
# (n = 200, p = 2,000) of them are taken; 2 gave half the minimum ESS.
LOCAL_STEP_SD = 1.0

# Folded into the sweep's key for the scale steps, as LINE_KEY for the line
# steps, so that the sweep's other draws stay as they were.
SCALE_KEY, LOCAL_KEY = 0x7363, 0x6C63


def _log_prior(eta, xi):
    # τ² | ξ ~ IG(½, 1/ξ), as a density of η = log τ².
    return -0.5 * eta - jnp.exp(-eta) / xi


def _log_bounds(bounds, dtype):
    # The scales' (low, high) as bounds of their logs, where the walks step.
    return tuple(jnp.log(jnp.asarray(b, dtype)) for b in bounds)


def _walk(key, eta, xi, log_likelihood, steps, sd, bounds):
    """Random-walk Metropolis-Hastings on η against log_likelihood(η) (which
    returns (value, carried)) times the prior; η stays within the scale's
    ``bounds``. Returns (η, what log_likelihood carried there, steps taken)."""
    bounds = _log_bounds(bounds, eta.dtype)
    value, carried = log_likelihood(eta)

    def step(k, walk):
        eta, current, carried, taken = walk
        move_key, accept_key = jax.random.split(jax.random.fold_in(key, k))
        proposed = eta + sd * jax.random.normal(move_key, (), eta.dtype)
        inside = (proposed >= bounds[0]) & (proposed <= bounds[1])
        value, proposed_carried = log_likelihood(jnp.clip(proposed, *bounds))
        value = value + _log_prior(proposed, xi)
        u = jax.random.uniform(accept_key, (), eta.dtype)
        take = inside & (jnp.log(u) < value - current)
        carried = jax.tree_util.tree_map(
            lambda new, old: jnp.where(take, new, old), proposed_carried, carried
        )
        return (
            jnp.where(take, proposed, eta),
            jnp.where(take, value, current),
            carried,
            taken + take.astype(jnp.int32),
        )

    # A loop rather than the steps written out: the same draws, compiled
    # once instead of once a step.
    start = (eta, value + _log_prior(eta, xi), carried, jnp.zeros((), jnp.int32))
    eta, _, carried, taken = jax.lax.fori_loop(0, steps, step, start)
    return eta, carried, taken


def _rows_form(X, omega, g, fixed, penalized, d_fixed, lambda2):
    """log L(t) and β | t by n x n systems (p > n)."""
    dtype = X.dtype
    n, p = X.shape
    phi = jnp.sqrt(omega)[:, None] * X
    # λ² spread over all p columns (zero at the unpenalized ones): a product
    # over every column is several times faster than over a gathered copy.
    spread = jnp.zeros(p, dtype).at[penalized].set(lambda2)
    phi_f, g_f = phi[:, fixed], g[fixed]
    s_fixed = (phi_f * d_fixed) @ phi_f.T + jnp.eye(n, dtype=dtype)
    G = (phi * spread) @ phi.T
    q_f, q_p = phi_f @ (d_fixed * g_f), phi @ (spread * g)
    a, b = jnp.sum(d_fixed * g_f**2), jnp.sum(spread * g**2)

    def log_l(t):
        # g'Σg = g'Dg - (ΦDg)'S⁻¹(ΦDg) and |I + DX'ΩX| = |S| (Woodbury).
        chol = jnp.linalg.cholesky(s_fixed + t * G)
        w = solve_triangular(chol, q_f + t * q_p, lower=True)
        return -jnp.sum(jnp.log(jnp.diagonal(chol))) + 0.5 * (a + t * b - w @ w), chol

    def draw(key, t, chol):
        d = (t * spread).at[fixed].set(d_fixed)
        return bcm_from_factor(key, phi, d, d * g, chol)

    return log_l, draw


def _columns_form(X, omega, g, fixed, penalized, d_fixed, lambda2):
    """log L(t) and β | t by p x p systems (p ≤ n)."""
    dtype = X.dtype
    p = X.shape[1]
    xox = X.T @ (omega[:, None] * X)
    inverse_fixed = jnp.zeros(p, dtype).at[fixed].set(1.0 / d_fixed)

    def log_l(t):
        inverse = inverse_fixed.at[penalized].set(1.0 / (t * lambda2))
        chol = jnp.linalg.cholesky(xox + jnp.diag(inverse))
        w = solve_triangular(chol, g, lower=True)
        # |I + DX'ΩX| = |H| |D|.
        log_det = jnp.sum(jnp.log(jnp.diagonal(chol))) - 0.5 * jnp.sum(jnp.log(inverse))
        return -log_det + 0.5 * (w @ w), chol

    def draw(key, t, chol):
        return draw_from_factor(key, chol, g)

    return log_l, draw


def tau_block(key, X, omega, kappa, offset, penalized, fixed_variance, lambda2, tau2, xi, bounds):
    """(τ², β) | ω, λ, ξ: TAU_STEPS steps of η with β integrated out, then β.

    ``fixed_variance`` (p,) holds the unpenalized columns' prior variances
    (its entries at ``penalized`` are not read); ``bounds`` (low, high) of τ².
    Returns (β, τ², steps taken)."""
    n, p = X.shape
    m = penalized.shape[0]
    fixed = jnp.nonzero(jnp.ones(p, bool).at[penalized].set(False), size=p - m)[0]
    g = X.T @ (kappa if offset is None else kappa - omega * offset)
    form = _rows_form if p > n else _columns_form
    log_l, draw = form(X, omega, g, fixed, penalized, fixed_variance[fixed], lambda2)
    walk_key, beta_key = jax.random.split(key)
    eta, chol, taken = _walk(
        walk_key,
        jnp.log(tau2),
        xi,
        lambda eta: log_l(jnp.exp(eta)),
        TAU_STEPS,
        TAU_STEP_SD,
        bounds,
    )
    tau2 = jnp.exp(eta)
    return draw(beta_key, tau2, chol), tau2, taken


def scale_steps(key, X, offset, beta, y, h, penalized, tau2, xi, bounds):
    """SCALE_STEPS steps of β_P -> e^s β_P, τ² -> e^{2s} τ².
    Returns (β, τ², the linear predictor at β, steps taken)."""
    mask = jnp.zeros(beta.shape, bool).at[penalized].set(True)
    u = X @ jnp.where(mask, beta, 0.0)
    rest = X @ jnp.where(mask, 0.0, beta)
    if offset is not None:
        rest = rest + offset
    start = jnp.log(tau2)

    def log_likelihood(eta):
        psi = rest + jnp.exp(0.5 * (eta - start)) * u
        return jnp.sum(y * psi - h * softplus(psi)), ()

    eta, _, taken = _walk(
        key,
        start,
        xi,
        log_likelihood,
        SCALE_STEPS,
        SCALE_STEP_SD,
        bounds,
    )
    factor = jnp.exp(0.5 * (eta - start))
    return jnp.where(mask, factor * beta, beta), jnp.exp(eta), rest + factor * u, taken


def local_scale_steps(key, X, psi, beta, y, h, penalized, lambda2, nu, bounds):
    """A random-walk step β_j -> e^s β_j, λ_j -> e^s λ_j for each penalized
    column in turn, the linear predictor ψ at β carried from one to the next.
    Returns (β, λ², steps taken)."""
    dtype = beta.dtype
    columns = X.T[penalized]
    keys = jax.random.split(key, penalized.shape[0])
    lo, hi = _log_bounds(bounds, dtype)

    def one(carry, inputs):
        psi, current = carry
        k, x, b, eta, v = inputs
        move_key, accept_key = jax.random.split(k)
        proposed = eta + LOCAL_STEP_SD * jax.random.normal(move_key, (), dtype)
        moved = psi + (jnp.exp(0.5 * (proposed - eta)) - 1.0) * b * x
        value = jnp.sum(y * moved - h * softplus(moved))
        ratio = value - current + _log_prior(proposed, v) - _log_prior(eta, v)
        u = jax.random.uniform(accept_key, (), dtype)
        take = (proposed >= lo) & (proposed <= hi) & (jnp.log(u) < ratio)
        psi = jnp.where(take, moved, psi)
        current = jnp.where(take, value, current)
        return (psi, current), (jnp.where(take, proposed, eta), take)

    start = jnp.sum(y * psi - h * softplus(psi))
    _, (eta, taken) = jax.lax.scan(
        one, (psi, start), (keys, columns, beta[penalized], jnp.log(lambda2), nu)
    )
    factor = jnp.exp(0.5 * (eta - jnp.log(lambda2)))
    return (
        beta.at[penalized].multiply(factor),
        jnp.exp(eta),
        jnp.sum(taken, dtype=jnp.int32),
    )


def scale_moves(key, X, offset, beta, y, h, penalized, tau2, xi, lambda2, nu, bounds):
    """The sweep's steps after the β draw: SCALE_STEPS of τ with the
    penalized β, then one of each λ_j with its β_j.
    Returns (β, τ², λ², steps taken)."""
    beta, tau2, psi, scaled = scale_steps(
        jax.random.fold_in(key, SCALE_KEY), X, offset, beta, y, h, penalized, tau2, xi, bounds
    )
    # The λ_j steps start from the linear predictor the scale steps reached.
    beta, lambda2, local = local_scale_steps(
        jax.random.fold_in(key, LOCAL_KEY), X, psi, beta, y, h, penalized, lambda2, nu, bounds
    )
    return beta, tau2, lambda2, scaled + local
