"""Global moves: an independence Metropolis-Hastings step from a multivariate t
centred at the posterior mode, with the Laplace covariance.

Plain Pólya-Gamma Gibbs is slow along the directions where the augmentation
holds β tighter than the posterior does (``_directions`` measures that as
the slowdown factors λ); where the posterior is well conditioned it is close
to its Laplace approximation, and a proposal drawn afresh from that
approximation, heavier-tailed so that the ratio of target to proposal stays
bounded in the tails, is accepted most of the time and jumps across the whole
posterior in one step. Mixed with the sweep (one step after the Gibbs
updates) it cannot hurt the invariance: each move, Gibbs draw or
Metropolis-Hastings step, leaves the posterior invariant, and so does their
composition.

The acceptance probability of x -> x' is

    min(1, π(x') q(x) / (π(x) q(x'))),

q the proposal's density: an independence sampler needs both q terms (with
q left out it samples π·q, not π). Both densities are used up to constants
that cancel. Given the mode c and a lower Cholesky factor L of the Laplace
covariance H⁻¹ (H the negative Hessian of log π at c), a step costs one log
π evaluation at each point (O(n p) for a regression) and two p x p
triangular products.

The set-up runs once, on the host in float64: Newton's method for the mode
(:func:`newton_mode`), the factor, and the quality of the approximation as
the acceptance rate it predicts for the independence step from the spread
of log π/q over draws of q (:func:`expected_acceptance`).
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any

import jax
import jax.numpy as jnp
import numpy as np
from jax.scipy.linalg import solve_triangular
from scipy import linalg, special

# Degrees of freedom of the proposal. Heavier tails than the normal keep
# π/q bounded where the posterior's tails are heavier than the Laplace
# approximation's (logistic likelihoods are close to linear in the tails);
# too heavy a proposal wastes draws far out. 5 was accepted most often
# among 3, 5, 10 and ∞ on the examples' data (about 0.55 to 0.65 of the
# steps on a 7-class stick-breaking problem).
T_DEGREES_OF_FREEDOM = 5.0

# The rule of ``global_move="auto"``: the independence step is added when
# the acceptance rate predicted at build time (``expected_acceptance``)
# reaches this for every block; below it the Laplace approximation is too
# poor for the step to move often enough to pay for its two log-density
# evaluations (on nearly separable data the posterior is far from normal
# and the prediction is near 0).
MIN_ACCEPTANCE = 0.1

# Draws of the build-time prediction (on the host, fixed seed).
ACCEPTANCE_DRAWS = 400

# Where the t step is predicted poor but plain Gibbs is slow (slowdown λ at
# least this), "auto" makes a Metropolis-Hastings step along every
# generalized eigenvector of the slowdown (``_directions.line_moves``), each
# proposed from the Laplace approximation along its line, and a second
# along those whose own λ is at least this: O(np) for all, less than the β
# draw's O(np²). On the main logistic job's data (λ = 98, the t step
# accepted 4% of the time) they are taken 95% of the time. Per second of
# sampling (4 x 8,000 sweeps) one step along each of the 31 directions gave
# 1.6 times the minimum bulk ESS of the best random-walk schedule measured
# before them (six rounds of steps of 2.4 posterior sds along all 31: 2,818
# against 1,762 per second), and the second steps along the 9 slowest 1.16
# times more (2,703 against 2,324 in a pair of runs; along the 5 slowest
# 1.16, the 10 slowest 1.15, a whole second round 0.99, the intercept's
# axis 1.11).
MIN_SLOWDOWN = 5.0

# No global move at all where plain Gibbs already mixes (λ below this, at
# least 1/3 effective draw per sweep along its slowest direction): on the
# hierarchical example (λ = 1.6) the t step, accepted 63% of the time, raised
# the minimum bulk ESS by 26% (4932 to 6238 over 4 × 2000 sweeps) and the
# sampling time by 25 to 30%: no gain per second.
MIN_SLOWDOWN_FOR_ANY = 2.0

GLOBAL_MOVES = ("auto", "t", "directions", None)


def with_second_steps(every, slowdowns, again=None):
    """The line steps' directions: every one of ``every`` (..., p, p),
    slowest first, then again the slowest ``again``, by default those whose
    slowdown λ is at least MIN_SLOWDOWN (the rule's second steps)."""
    if again is None:
        again = int(np.sum(np.asarray(slowdowns) >= MIN_SLOWDOWN))
    return np.concatenate([every, every[..., :again, :]], axis=-2)


# The sweeps fold this into their key for the independence step, so that
# adding the step leaves the other draws of a sweep as they were.
GLOBAL_KEY = 0x7470
# And this for the steps along every direction.
LINE_KEY = 0x6C6E


def t_log_density(x, centre, scale, df=T_DEGREES_OF_FREEDOM):
    """log density of the multivariate t(df, centre, scale scale') up to a constant."""
    r = solve_triangular(scale, x - centre, lower=True)
    d = x.shape[-1]
    return -0.5 * (df + d) * jnp.log1p(jnp.sum(r * r) / df)


def independence_move(
    key: jax.Array,
    x: jax.Array,
    log_target: Callable[[jax.Array], jax.Array],
    centre: jax.Array,
    scale: jax.Array,
    df: float = T_DEGREES_OF_FREEDOM,
) -> tuple[jax.Array, jax.Array]:
    """One independence Metropolis-Hastings step from a multivariate t proposal.

    Proposes x' = centre + scale z / sqrt(w), z ~ N(0, I), w ~ Gamma(df/2,
    rate df/2) (a t with ``df`` degrees of freedom and scale matrix
    scale scale'), and accepts it with probability
    min(1, π(x') q(x) / (π(x) q(x'))). Generic over the block: ``x`` is any
    vector of parameters and ``log_target`` its log density up to a
    constant, so a model's builder passes the block it updates (β, a stick's
    β_k, (log r, β), ...). Jittable and vmappable.

    Args:
      key: a PRNG key.
      x: (d,) the current value of the block.
      log_target: ``log_target(x) -> ()``, log π up to a constant; a NaN
        value rejects the proposal.
      centre: (d,) the proposal's centre (the posterior mode).
      scale: (d, d) lower triangular, the Cholesky factor of the proposal's
        scale matrix (the Laplace covariance).
      df: the degrees of freedom, a Python number.

    Returns:
      ``(x, accepted)``: the block after the step and int32 1 if the
      proposal was taken, else 0.

    Examples:
      A standard normal target and a proposal at its mode with its
      covariance: most steps are taken, and the draws keep the target.

      >>> import jax, jax.numpy as jnp
      >>> from vexol import gibbs
      >>> log_target = lambda x: -0.5 * jnp.sum(x**2)
      >>> def chain(key):
      ...     def one(x, key):
      ...         x, taken = gibbs.independence_move(key, x, log_target, jnp.zeros(2), jnp.eye(2))
      ...         return x, (x, taken)
      ...     return jax.lax.scan(one, jnp.zeros(2), jax.random.split(key, 2000))[1]
      >>> draws, taken = chain(jax.random.key(0))
      >>> draws.shape, bool(taken.mean() > 0.6), bool(abs(draws.var() - 1.0) < 0.15)
      ((2000, 2), True, True)
    """
    dtype = x.dtype
    d = x.shape[-1]
    normal_key, gamma_key, uniform_key = jax.random.split(key, 3)
    z = jax.random.normal(normal_key, (d,), dtype)
    half = jnp.asarray(0.5 * df, dtype)
    w = jax.random.gamma(gamma_key, half, dtype=dtype) / half
    proposal = centre + (scale @ z) / jnp.sqrt(w)
    # At the proposal L⁻¹(x' - c) is z / sqrt(w) exactly: no solve needed.
    log_q_proposal = -0.5 * (df + d) * jnp.log1p(jnp.sum(z * z) / (w * df))
    log_q_current = t_log_density(x, centre, scale, df)
    log_ratio = log_target(proposal) - log_target(x) + log_q_current - log_q_proposal
    take = jnp.log(jax.random.uniform(uniform_key, (), dtype)) < log_ratio
    return jnp.where(take, proposal, x), take.astype(jnp.int32)


# ---------------------------------------------------------------------------
# Build-time set-up, on the host in float64.
# ---------------------------------------------------------------------------


def newton_mode(
    objective: Callable[[np.ndarray], tuple[float, np.ndarray, np.ndarray]],
    start: np.ndarray,
    iterations: int = 200,
) -> np.ndarray:
    """The maximum of a smooth objective by damped Newton steps.

    ``objective(x) -> (value, gradient, Hessian)``. Where the Hessian is not
    negative definite (far from the mode of a posterior that is not
    log-concave), the step is Levenberg-damped until it is; each step is
    halved until the objective rises.
    """
    x = np.asarray(start, np.float64).copy()
    value, gradient, hessian = objective(x)
    for _ in range(iterations):
        damping = 0.0
        while True:
            try:
                factor = linalg.cho_factor(-hessian + damping * np.eye(x.size))
                break
            except linalg.LinAlgError:
                damping = max(2.0 * damping, 1e-6 * (1.0 + np.abs(np.diag(hessian)).max()))
        step = linalg.cho_solve(factor, gradient)
        scale = 1.0
        while scale > 1e-10:
            trial = x + scale * step
            trial_value, trial_gradient, trial_hessian = objective(trial)
            if np.isfinite(trial_value) and trial_value >= value:
                break
            scale *= 0.5
        if scale <= 1e-10:
            break
        x, value, gradient, hessian = trial, trial_value, trial_gradient, trial_hessian
        # gradient'step / 2 is the rise Newton's step predicts.
        if float(np.abs(gradient @ linalg.cho_solve(factor, gradient))) < 1e-12:
            break
    return x


def laplace_scale(neg_hessian: np.ndarray) -> np.ndarray:
    """The lower Cholesky factor of the Laplace covariance (the inverse of
    the negative Hessian at the mode)."""
    neg_hessian = 0.5 * (neg_hessian + neg_hessian.T)
    root = np.linalg.cholesky(neg_hessian)  # H = R R'
    # H⁻¹ = R'⁻¹ R⁻¹; its lower factor is the Cholesky factor of that product.
    inverse_root = linalg.solve_triangular(root, np.eye(root.shape[0]), lower=True)
    return np.linalg.cholesky(inverse_root.T @ inverse_root)


def expected_acceptance(
    log_target: Callable[[np.ndarray], np.ndarray],
    centre: np.ndarray,
    scale: np.ndarray,
    df: float = T_DEGREES_OF_FREEDOM,
    draws: int = ACCEPTANCE_DRAWS,
    seed: int = 0,
) -> float:
    """The independence step's acceptance rate predicted from draws of its
    proposal (host, float64).

    If log w = log π - log q is normal with sd σ under q, it is normal with
    the same sd under π, shifted by σ², and the step's acceptance rate
    E min(1, w(x')/w(x)) is 2Φ(-σ/√2). σ is estimated from the interquartile
    range of log w over the draws, which a few draws far in the t's tails
    do not move. ``log_target`` maps (M, d) points to (M,) log densities.
    """
    rng = np.random.default_rng(seed)
    d = centre.size
    z = rng.standard_normal((draws, d))
    w = rng.gamma(0.5 * df, 2.0 / df, size=draws)
    points = centre + (z @ scale.T) / np.sqrt(w)[:, None]
    log_q = -0.5 * (df + d) * np.log1p(np.sum(z * z, axis=1) / (w * df))
    log_w = log_target(points) - log_q
    log_w = np.where(np.isfinite(log_w), log_w, -np.inf)
    q25, q75 = np.percentile(log_w, [25, 75])
    sigma = (q75 - q25) / (2 * special.ndtri(0.75)) if np.isfinite(q25) else np.inf
    return float(2.0 * special.ndtr(-sigma / np.sqrt(2.0)))


def plain_gibbs_ess_per_sweep(slowdown: float) -> float:
    """Effective draws per sweep of plain Gibbs along its slowest direction,
    if that direction were an AR(1) with lag-one autocorrelation 1 - 1/λ:
    (1 - ρ)/(1 + ρ) = 1/(2λ - 1)."""
    return 1.0 / max(2.0 * slowdown - 1.0, 1.0)


# The moves of a builder whose block is not a fixed prior's β alone (the
# line steps need one): the t step or nothing.
T_OR_NOTHING = ("auto", "t", None)


def check_move(global_move: Any, where: str, moves: tuple = GLOBAL_MOVES) -> None:
    """Refuse a ``global_move`` the builder does not take (before its fit)."""
    if global_move not in moves:
        raise ValueError(f"{where}: global_move must be one of {moves}, got {global_move!r}")


def choose_move(
    global_move: Any, acceptance: float, slowdown: float, where: str, moves: tuple = GLOBAL_MOVES
) -> str | None:
    """The move the builder uses: ``global_move`` itself, or for "auto" the
    rule's choice from the lowest predicted acceptance and the largest
    slowdown over the blocks: none when λ is below MIN_SLOWDOWN_FOR_ANY, else
    "t" when the acceptance reaches MIN_ACCEPTANCE, else "directions" when λ
    reaches MIN_SLOWDOWN (and the builder takes them, ``moves``), else none."""
    check_move(global_move, where, moves)
    if global_move != "auto":
        return global_move
    if slowdown < MIN_SLOWDOWN_FOR_ANY:
        return None
    if acceptance >= MIN_ACCEPTANCE:
        return "t"
    return "directions" if slowdown >= MIN_SLOWDOWN and "directions" in moves else None


def block_report(
    name: str, slowdown: float | None, acceptance: float | None = None
) -> dict[str, Any]:
    """One line of the build report: a block's λ and its step's predicted
    acceptance (None for a model without the t step)."""
    report: dict[str, Any] = {"block": name}
    if acceptance is not None:
        report["acceptance"] = acceptance
    if slowdown is not None:
        report["slowdown"] = slowdown
        report["plain_ess_per_sweep"] = plain_gibbs_ess_per_sweep(slowdown)
    return report


# What the rule's line steps are, as describe words them.
RULE_DIRECTION_STEPS = (
    "a Metropolis-Hastings step along every slow direction (two along the slowest)"
)


def build_report(
    where: str,
    size: str,
    blocks: list[dict[str, Any]],
    requested: Any,
    chosen: str | None,
    cost: dict[str, float],
    other_moves: tuple[str, ...] = (),
    direction_steps: str = RULE_DIRECTION_STEPS,
    **proposal: Any,
) -> dict[str, Any]:
    """The ``report`` of a builder's :class:`Gibbs` (see :func:`describe`);
    ``other_moves``, lines on a model's own moves; ``direction_steps``, what
    its line steps are (the rule's unless a model has its own)."""
    return {
        "model": where,
        "size": size,
        "blocks": blocks,
        "requested": requested,
        "global_move": chosen,
        "other_moves": other_moves,
        "direction_steps": direction_steps,
        "cost": cost,
        "proposal": proposal,
    }


def sweep_cost(
    n: int, p: int, blocks: int, beta_method: str, directions: int, chosen: str | None
) -> dict[str, float]:
    """Multiply-adds per sweep of a regression with ``blocks`` independent
    (n, p) β blocks, by part (the Pólya-Gamma draws counted one per draw)."""
    from vexol.gibbs._gaussian import choose_method

    method = choose_method(n, p, True, beta_method)
    beta = n * p * p + p**3 / 3 if method == "cholesky" else n * n * p + n**3 / 3
    cost = {"PG draws": float(blocks * n), "β | ω": float(blocks * beta)}
    if directions:
        cost["direction steps"] = float(blocks * directions * n)
    if chosen == "t":
        # Two log densities (X β at both points) and two triangular products.
        cost["t step"] = float(blocks * (2 * n * p + 2 * p * p))
    return cost


def describe(model: Any) -> str:
    """What a sampler's builder measured and chose, before anything runs.

    The report has one line per block of parameters the independence step
    moves: ``slowdown λ``, the factor by which plain Pólya-Gamma Gibbs
    mixes the block's slowest direction slower than its posterior spread
    asks for (about 1/(2λ - 1) effective draws per sweep there; 1 is
    perfect), and ``acceptance``, the acceptance rate of the independence t
    step predicted from the Laplace approximation's fit (near 1: the
    posterior is close to it; near 0: far from normal, as on nearly
    separable data). Then the moves each
    sweep makes and their cost per sweep in multiply-adds.

    Args:
      model: a :class:`Gibbs` made by one of the builders of
        :mod:`vexol.gibbs`.

    Returns:
      The report, several lines of text.

    Raises:
      ValueError: for a model without a build report (a :class:`Gibbs`
        assembled by hand).

    Examples:
      >>> import numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(200), rng.normal(size=200)])
      >>> y = (rng.random(200) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> model = gibbs.logistic(X, y)
      >>> print(gibbs.describe(model).splitlines()[0])
      vexol.gibbs.logistic: n = 200, p = 2
      >>> print(model.report["global_move"])      # plain Gibbs mixes well here (λ < 2)
      None
      >>> gibbs.logistic(X, y, global_move="t").report["global_move"]
      't'
    """
    report = getattr(model, "report", None)
    if not isinstance(report, Mapping):
        raise ValueError(
            "vexol.gibbs.describe: this model has no build report (its builder is not one of "
            "vexol.gibbs's)"
        )
    lines = [f"{report['model']}: {report['size']}"]
    for block in report["blocks"]:
        parts = [f"  {block['block']}:"]
        if "slowdown" in block:
            parts.append(
                f"slowdown λ = {block['slowdown']:.3g} "
                f"(plain Gibbs ≈ {block['plain_ess_per_sweep']:.2g} effective draws per sweep)"
            )
        if "acceptance" in block:
            parts.append(f"t step's predicted acceptance = {block['acceptance']:.2f}")
        lines.append(" ".join(parts[:1]) + " " + ", ".join(parts[1:]))
    how = "by the rule" if report["requested"] == "auto" else "as requested"
    move = report["global_move"]
    if move == "t":
        what = f"an independence t({T_DEGREES_OF_FREEDOM:g}) step per block after each sweep"
    elif move == "directions":
        what = (
            f"{report['direction_steps']}, from the Laplace approximation along it, "
            "per block after each sweep"
        )
    else:
        what = "none"
    lines.append(f"  global move: {what} ({how})")
    lines.extend(f"  {line}" for line in report.get("other_moves", ()))
    cost = report["cost"]
    lines.append(
        f"  cost per sweep ≈ {sum(cost.values()):.3g} multiply-adds ("
        + ", ".join(f"{k} {v:.2g}" for k, v in cost.items())
        + ")"
    )
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# The binomial block (logistic and binomial regression, each stick of the
# stick-breaking multinomial).
# ---------------------------------------------------------------------------


def binomial_laplace(X, y, h, mean, precision, offset=None):
    """(mode, Laplace scale, largest slowdown λ, predicted acceptance) of
    y ~ Binomial(h, σ(Xβ + offset)), β ~ N(mean, diag(1/precision)); host, float64."""
    from vexol.gibbs._directions import augmented_precision, posterior_mode

    X = np.asarray(X, np.float64)
    n = X.shape[0]
    y = np.asarray(y, np.float64)
    h = np.broadcast_to(np.asarray(h, np.float64), (n,))
    mean = np.broadcast_to(np.asarray(mean, np.float64), (X.shape[1],))
    precision = np.broadcast_to(np.asarray(precision, np.float64), (X.shape[1],))
    shift = 0.0 if offset is None else np.asarray(offset, np.float64)
    mode = posterior_mode(X, y, h, mean, precision, offset)
    psi = X @ mode + shift
    mu = 0.5 * (1.0 + np.tanh(0.5 * psi))
    fisher = X.T @ ((h * mu * (1.0 - mu))[:, None] * X) + np.diag(precision)
    slowdown = linalg.eigh(augmented_precision(X, h, psi, precision), fisher, eigvals_only=True)
    scale = laplace_scale(fisher)

    def log_target(beta):  # (M, p) -> (M,)
        psi = beta @ X.T + shift
        return np.sum(y * psi - h * np.logaddexp(0.0, psi), axis=1) - 0.5 * np.sum(
            precision * (beta - mean) ** 2, axis=1
        )

    return mode, scale, float(slowdown.max()), expected_acceptance(log_target, mode, scale)


def hierarchical_laplace(X, y, h, fixed, fixed_precision, shape, scale, offset=None):
    """(mode, Laplace scale, slowdown λ of β at the mode, predicted acceptance)
    of the hierarchical logistic posterior in x = (β, log τ²); host, float64."""
    from vexol.gibbs._directions import augmented_precision

    X = np.asarray(X, np.float64)
    n, p = X.shape
    y = np.asarray(y, np.float64)
    h = np.broadcast_to(np.asarray(h, np.float64), (n,))
    shift = 0.0 if offset is None else np.asarray(offset, np.float64)
    pen = ~np.asarray(fixed, bool)
    a = shape + 0.5 * pen.sum()

    def parts(x):
        beta, u = x[:-1], x[-1]
        psi = X @ beta + shift
        squares = np.sum(beta[pen] ** 2)
        d = np.where(pen, np.exp(-u), fixed_precision)
        return beta, u, psi, squares, d

    def objective(x):
        beta, u, psi, squares, d = parts(x)
        mu = 0.5 * (1.0 + np.tanh(0.5 * psi))
        value = (
            np.sum(y * psi - h * np.logaddexp(0.0, psi))
            - 0.5 * np.sum(np.where(pen, 0.0, fixed_precision) * beta**2)
            - a * u
            - (scale + 0.5 * squares) * np.exp(-u)
        )
        gradient = np.append(
            X.T @ (y - h * mu) - d * beta, -a + (scale + 0.5 * squares) * np.exp(-u)
        )
        hessian = np.empty((p + 1, p + 1))
        hessian[:p, :p] = -(X.T @ ((h * mu * (1.0 - mu))[:, None] * X)) - np.diag(d)
        hessian[:p, p] = hessian[p, :p] = np.where(pen, beta * np.exp(-u), 0.0)
        hessian[p, p] = -(scale + 0.5 * squares) * np.exp(-u)
        return value, gradient, hessian

    mode = newton_mode(objective, np.append(np.zeros(p), np.log(scale / (shape + 1.0))))
    _, _, hessian = objective(mode)
    _, _, psi, _, d = parts(mode)
    mu = 0.5 * (1.0 + np.tanh(0.5 * psi))
    fisher = X.T @ ((h * mu * (1.0 - mu))[:, None] * X) + np.diag(d)
    slowdown = linalg.eigh(augmented_precision(X, h, psi, d), fisher, eigvals_only=True).max()
    laplace = laplace_scale(-hessian)

    def log_target(points):  # (M, p + 1) -> (M,)
        beta, u = points[:, :-1], points[:, -1]
        psi = beta @ X.T + shift
        return (
            np.sum(y * psi - h * np.logaddexp(0.0, psi), axis=1)
            - 0.5 * np.sum(np.where(pen, 0.0, fixed_precision) * beta**2, axis=1)
            - a * u
            - (scale + 0.5 * np.sum(beta[:, pen] ** 2, axis=1)) * np.exp(-u)
        )

    return mode, laplace, float(slowdown), expected_acceptance(log_target, mode, laplace)


# ---------------------------------------------------------------------------
# The negative binomial's joint block (log r, β).
# ---------------------------------------------------------------------------


def negbin_laplace(X, y, mean, precision, r_shape, r_rate, offset=None):
    """(mode, Laplace scale, largest slowdown λ, predicted acceptance) of the
    negative-binomial posterior in x = (log r, β); host, float64.

    The target is the posterior density of (r, β) times r, the Jacobian of
    r = e^u, so r's Gamma(a, b) prior enters as a u - b e^u. Two slowdowns
    are measured and the larger reported: β's under the augmentation at the
    mode (as for a binomial block, with h = y + r), and r's given β,
    Var(u) / Var(u | β) under the Laplace approximation, the factor by which
    drawing r from its conditional alone is slowed by its coupling with β
    (mostly with the intercept).
    """
    from vexol.gibbs._directions import augmented_precision

    X = np.asarray(X, np.float64)
    p = X.shape[1]
    y = np.asarray(y, np.float64)
    mean = np.broadcast_to(np.asarray(mean, np.float64), (p,))
    precision = np.broadcast_to(np.asarray(precision, np.float64), (p,))
    shift = 0.0 if offset is None else np.asarray(offset, np.float64)

    def log_target(points):  # (M, p + 1) -> (M,)
        u, beta = points[:, :1], points[:, 1:]
        r = np.exp(u)
        psi = beta @ X.T + shift
        return (
            np.sum(
                special.gammaln(y + r)
                - special.gammaln(r)
                - r * np.logaddexp(0.0, psi)
                - y * np.logaddexp(0.0, -psi),
                axis=1,
            )
            - 0.5 * np.sum(precision * (beta - mean) ** 2, axis=1)
            + r_shape * u[:, 0]
            - r_rate * r[:, 0]
        )

    def objective(x):
        beta = x[1:]
        r = np.exp(x[0])
        psi = X @ beta + shift
        mu = 0.5 * (1.0 + np.tanh(0.5 * psi))  # σ(ψ)
        value = log_target(x[None])[0]
        d_r = np.sum(special.digamma(y + r) - special.digamma(r) - np.logaddexp(0.0, psi))
        d2_r = np.sum(special.polygamma(1, y + r) - special.polygamma(1, r))
        gradient = np.empty(p + 1)
        gradient[0] = r * d_r + r_shape - r_rate * r
        gradient[1:] = X.T @ (y - (y + r) * mu) - precision * (beta - mean)
        hessian = np.empty((p + 1, p + 1))
        hessian[0, 0] = r * r * d2_r + r * d_r - r_rate * r
        hessian[0, 1:] = hessian[1:, 0] = -r * (X.T @ mu)
        hessian[1:, 1:] = -(X.T @ (((y + r) * mu * (1.0 - mu))[:, None] * X)) - np.diag(precision)
        return value, gradient, hessian

    # Start at the intercept-only moment fit when the data allow one: mean
    # m = r e^ψ and variance m + m²/r give r, and ψ = log(m / r) through an
    # intercept column (where X has one) or the starting β = 0 otherwise.
    m, v = max(y.mean(), 0.5), y.var()
    r0 = m * m / (v - m) if v > 1.01 * m else 10.0
    start = np.append(np.log(r0), np.zeros(p))
    ones = np.flatnonzero(np.all(X == 1.0, axis=0))
    if ones.size:
        start[1 + ones[0]] = np.log(m / r0)
    mode = newton_mode(objective, start)
    _, _, hessian = objective(mode)
    laplace = laplace_scale(-hessian)
    r = np.exp(mode[0])
    psi = X @ mode[1:] + shift
    mu = 0.5 * (1.0 + np.tanh(0.5 * psi))
    h = y + r
    fisher = X.T @ ((h * mu * (1.0 - mu))[:, None] * X) + np.diag(precision)
    slow_beta = linalg.eigh(augmented_precision(X, h, psi, precision), fisher, eigvals_only=True)
    covariance = laplace @ laplace.T
    slow_r = covariance[0, 0] * -hessian[0, 0]
    slowdown = float(max(slow_beta.max(), slow_r))
    return mode, laplace, slowdown, expected_acceptance(log_target, mode, laplace)
