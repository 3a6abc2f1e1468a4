"""Logistic and binomial regression with a horseshoe prior on the coefficients.

y_i ~ Binomial(n_i, σ(ψ_i)), ψ = Xβ + offset, and for each penalized column j

    β_j | λ_j, τ ~ N(0, λ_j² τ²),   λ_j ~ C⁺(0, 1),   τ ~ C⁺(0, τ₀)

(Carvalho, Polson and Scott 2010); the unpenalized columns (the intercept by
default) get N(0, unpenalized_sd²). A half-Cauchy is a scale mixture of
inverse gammas: λ² | ν ~ IG(1/2, 1/ν) with ν ~ IG(1/2, 1) makes λ ~ C⁺(0, 1),
and τ² | ξ ~ IG(1/2, 1/ξ), ξ ~ IG(1/2, 1/τ₀²) makes τ ~ C⁺(0, τ₀) (Makalic
and Schmidt 2016). With ω the Pólya-Gamma augmentation every full
conditional is then one of vexol's draws, a Gaussian or an inverse gamma:

    ω | β         ~ PG(n, ψ)
    β | ω, λ, τ   ~ N(μ, Σ)           prior precision 1/(λ_j² τ²): draw_beta
    λ_j² | β, ν, τ ~ IG(1, 1/ν_j + β_j²/(2τ²))
    ν_j | λ_j      ~ IG(1, 1 + 1/λ_j²)
    τ² | β, λ, ξ   ~ IG((m + 1)/2, 1/ξ + Σ_j β_j²/(2λ_j²))     (m penalized)
    ξ | τ          ~ IG(1, 1/τ₀² + 1/τ²)

The prior precision is diagonal, so for p > n the β draw is the
Bhattacharya-Chakraborty-Mallick algorithm, O(n²p) instead of O(p³).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import jax
import jax.numpy as jnp
import numpy as np

import vexol
from vexol.gibbs import _directions, _global, _global_scale
from vexol.gibbs._directions import line_moves
from vexol.gibbs._gaussian import draw_beta
from vexol.gibbs._global import LINE_KEY
from vexol.gibbs._logistic import binomial_data
from vexol.gibbs._model import (
    Gibbs,
    binomial_log_likelihood,
    float_dtype,
    linear_predictor,
    offsets,
    positive,
    sweep_options,
    unpenalized_columns,
)


class HorseshoeState(NamedTuple):
    """State of :func:`horseshoe_logistic`.

    ``beta`` (p,); the penalized columns' local scales squared ``lambda2``
    (m,) and their auxiliary ``nu`` (m,); the global scale squared ``tau2``
    () and its auxiliary ``xi`` (); ``omega`` (n,), the sweep's Pólya-Gamma
    draws (never read by the next sweep). m is the number of penalized
    columns, in the order of the columns of X. ``accepted`` (int32 ())
    counts the sweep's line steps taken and ``scale_accepted`` (int32 ())
    the scale moves' Metropolis-Hastings steps taken; a state built without
    them keeps None there.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> X = np.column_stack([np.ones(4), np.eye(4)[:, :3]])
      >>> model = gibbs.horseshoe_logistic(X, np.array([0.0, 1.0, 1.0, 0.0]))
      >>> state = model.init(jax.random.key(0))
      >>> state._fields
      ('beta', 'lambda2', 'nu', 'tau2', 'xi', 'omega', 'accepted', 'scale_accepted')
      >>> state.beta.shape, state.lambda2.shape, state.tau2.shape
      ((4,), (3,), ())
    """

    beta: jax.Array
    lambda2: jax.Array
    nu: jax.Array
    tau2: jax.Array
    xi: jax.Array
    omega: jax.Array
    accepted: jax.Array | None = None
    scale_accepted: jax.Array | None = None


def _bounds(dtype) -> tuple[float, float]:
    # Every scale is kept in [t^¼, t^-¼], t the dtype's smallest normal
    # (float32: 3e-10 to 3e9), so that λ²τ² and its inverse, the prior
    # precision of the β draw, and the products the BCM draw forms with it
    # stay finite. An inverse gamma of shape 1 has no mean: without the
    # bounds one draw in a long float32 run would make a precision inf and
    # the chain NaN. Only draws beyond the bounds are moved, a region of
    # negligible posterior mass for any data the model is used on.
    low = float(jnp.finfo(dtype).tiny) ** 0.25
    return low, 1.0 / low


def _inverse_gamma_1(key, rate, low, high):
    """IG(1, rate) elementwise: rate / Exp(1), within [low, high]."""
    e = jax.random.exponential(key, jnp.shape(rate), rate.dtype)
    return jnp.clip(rate / e, low, high)


def horseshoe_sweep(
    key,
    state,
    X,
    y,
    h,
    penalized,
    fixed_precision,
    global_scale,
    offset=None,
    *,
    beta_method="auto",
    lines=None,
    scale_moves=False,
    **pg_options,
):
    """One sweep of :func:`horseshoe_logistic` on explicit data:
    ω | β; β | ω, λ, τ, or with ``scale_moves`` the block (τ², β) | ω, λ,
    ξ (Metropolis-Hastings steps of log τ² with β integrated out, then β);
    with ``lines`` a :func:`line_moves` step of β along each of its
    directions, under the prior of the current scales; with
    ``scale_moves`` steps that scale the penalized β with τ, then each
    β_j with its λ_j; λ² | β, ν, τ; ν | λ; τ² | β, λ, ξ; ξ | τ.

    Args:
      key: a PRNG key; state: a :class:`HorseshoeState` (``omega`` is not read).
      X: (n, p) design, whose dtype the sweep uses; y: (n,) successes;
      h: the trials, a scalar or (n,).
      penalized: (m,) int, the columns under the horseshoe (static or traced).
      fixed_precision: (p,) prior precision of the other columns (the
        entries at ``penalized`` are ignored).
      global_scale: τ₀, the scale of τ's half-Cauchy prior.
      offset: (n,) or None. beta_method: see ``draw_beta``.
      lines: None, or (directions (k, p), moved_psi (n, k)).
      scale_moves: whether to make the scale moves; their block takes
        the n x n form when p > n, the p x p one otherwise, whatever
        ``beta_method``.
      pg_options: keyword arguments for ``vexol.polya_gamma``.

    Returns:
      The next :class:`HorseshoeState` (``accepted`` the line steps taken,
      ``scale_accepted`` the scale moves' steps taken, where the state has
      the fields).

    Like the other ``*_sweep`` functions it checks nothing; every data
    argument may be traced (vmap it over data sets as well as chains).

    Examples:
      >>> import jax, jax.numpy as jnp
      >>> from vexol import gibbs
      >>> X = jax.random.normal(jax.random.key(0), (20, 30))      # n < p: the BCM draw
      >>> y = (X[:, 0] > 0).astype(jnp.float32)
      >>> state = gibbs.HorseshoeState(beta=jnp.zeros(30), lambda2=jnp.ones(30),
      ...                              nu=jnp.ones(30), tau2=jnp.float32(1.0),
      ...                              xi=jnp.float32(1.0), omega=jnp.zeros(20))
      >>> state = gibbs.horseshoe_sweep(jax.random.key(1), state, X, y, 1.0,
      ...                               jnp.arange(30), jnp.zeros(30), 1.0)
      >>> state.beta.shape, state.beta.dtype, bool(state.tau2 > 0)
      ((30,), dtype('float32'), True)
    """
    omega_key, beta_key, lambda_key, nu_key, tau_key, xi_key = jax.random.split(key, 6)
    dtype = X.dtype
    low, high = _bounds(dtype)
    psi = X @ state.beta if offset is None else X @ state.beta + offset
    omega = vexol.polya_gamma(omega_key, h, psi, dtype=dtype, **pg_options)
    variance = jnp.clip(state.lambda2 * state.tau2, low * low, high * high)
    precision = jnp.asarray(fixed_precision, dtype).at[penalized].set(1.0 / variance)
    kappa = y - 0.5 * h
    tau2 = state.tau2
    scale_taken = jnp.zeros((), jnp.int32)
    if scale_moves:
        # τ² and β as one block: the sweep then moves the global scale
        # where τ² | β and β | τ² would barely move it.
        variances = 1.0 / jnp.asarray(fixed_precision, dtype)
        beta, tau2, scale_taken = _global_scale.tau_block(
            beta_key,
            X,
            omega,
            kappa,
            offset,
            penalized,
            variances,
            state.lambda2,
            tau2,
            state.xi,
            (low, high),
        )
        precision = precision.at[penalized].set(1.0 / (state.lambda2 * tau2))
    else:
        beta = draw_beta(beta_key, X, omega, kappa, precision, offset=offset, method=beta_method)
    accepted = jnp.zeros((), jnp.int32)
    if lines is not None:
        # β | y, λ, τ is a binomial regression with a normal prior: the
        # steps keep it, and with it the joint posterior.
        psi = X @ beta if offset is None else X @ beta + offset
        beta, _, accepted = line_moves(
            jax.random.fold_in(key, LINE_KEY),
            beta,
            psi,
            *lines,
            y,
            h,
            jnp.zeros_like(beta),
            precision,
        )
    lambda2 = state.lambda2
    if scale_moves:
        beta, tau2, lambda2, scaled = _global_scale.scale_moves(
            key, X, offset, beta, y, h, penalized, tau2, state.xi, lambda2, state.nu, (low, high)
        )
        scale_taken = scale_taken + scaled
    b2 = beta[penalized] ** 2
    lambda2 = _inverse_gamma_1(lambda_key, 1.0 / state.nu + 0.5 * b2 / tau2, low, high)
    nu = _inverse_gamma_1(nu_key, 1.0 + 1.0 / lambda2, low, high)
    m = b2.shape[0]
    rate = 1.0 / state.xi + 0.5 * jnp.sum(b2 / lambda2)
    # Gamma((m + 1)/2) as half a χ² of m + 1 degrees of freedom: exact, and
    # the normal draws compile in a fraction of the time of jax.random.gamma's
    # rejection loop, which was about a second of a short run's set-up.
    gamma = 0.5 * jnp.sum(jax.random.normal(tau_key, (m + 1,), dtype) ** 2)
    tau2 = jnp.clip(rate / gamma, low, high)
    xi = _inverse_gamma_1(xi_key, jnp.asarray(global_scale, dtype) ** -2.0 + 1.0 / tau2, low, high)
    return HorseshoeState(
        beta,
        lambda2,
        nu,
        tau2,
        xi,
        omega,
        None if state.accepted is None else accepted,
        None if state.scale_accepted is None else scale_taken,
    )


def _piironen_vehtari(expected: float, m: int, y: np.ndarray, h: Any) -> float:
    """τ₀ = p₀/(m − p₀) · σ/√N (Piironen and Vehtari 2017), with the
    pseudo-sd σ = 1/√(μ(1 − μ)) of a binomial trial at the observed success
    rate μ and N the number of trials."""
    trials = float(np.sum(np.broadcast_to(h, y.shape)))
    mu = np.clip(float(np.sum(y)) / trials, 0.01, 0.99)
    return expected / (m - expected) / np.sqrt(mu * (1.0 - mu)) / np.sqrt(trials)


def horseshoe_logistic(
    X: Any,
    y: Any,
    *,
    trials: Any = None,
    unpenalized: Sequence[int] = (0,),
    unpenalized_sd: float = 5.0,
    global_scale: float | None = None,
    expected_signals: float | None = None,
    offset: Any = None,
    beta_method: str = "auto",
    global_move: str | None = "auto",
    scale_moves: bool | str = "auto",
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> Gibbs:
    """Logistic/binomial regression with a horseshoe prior, by Gibbs.

    Model: y_i ~ Binomial(n_i, σ(x_i'β + offset_i)); β_j ~ N(0,
    unpenalized_sd²) for j in ``unpenalized`` (by default column 0, the
    intercept); for the m other columns β_j ~ N(0, λ_j² τ²), λ_j ~ C⁺(0, 1),
    τ ~ C⁺(0, τ₀), half-Cauchy priors written as inverse-gamma mixtures so
    that every update is conjugate (see :func:`horseshoe_sweep`).

    Args:
      X: (n, p) design (include a column of ones for an intercept).
      y: (n,) successes: 0/1 labels, or counts in [0, n_i] with ``trials``.
      trials: n_i, scalar or (n,); 1 when None.
      unpenalized: column indices left out of the horseshoe (negative ones
        count from the end); at least one column must stay penalized.
      unpenalized_sd: their prior sd.
      global_scale: τ₀. When None: 1, or with ``expected_signals`` the
        rule of Piironen and Vehtari (2017), τ₀ = p₀/(m − p₀) · σ/√N, with
        p₀ = ``expected_signals``, σ = 1/√(μ(1 − μ)) at the observed success
        rate μ and N the number of trials (rows for logistic data). A τ₀
        far above it lets the noise coefficients spread; the prior on τ is
        still heavy-tailed either way.
      expected_signals: p₀ in (0, m), a guess of how many coefficients are
        not near zero; only to set τ₀, not with ``global_scale``.
      offset: (n,) known part of the linear predictor, or None.
      beta_method: "auto", "cholesky" or "bcm" (see ``draw_beta``); "auto"
        takes the BCM draw when n < p.
      global_move: ``"directions"``: after each β draw, a
        :func:`line_moves` step along each slow direction, the generalized
        eigenvectors of the slowdown λ ≥ 5 (as :func:`logistic`'s, found
        here under a reference prior of sd 1 for the penalized columns;
        the slowest one at least), under the prior of the chain's current
        scales; None: none; ``"auto"``: the steps when p ≤ n and the
        largest λ is at least 5 (nearly separable data), else none.
      scale_moves: True: moves that change the scales with the
        coefficients, where the conjugate draws of λ and τ given β, and of
        β given them, move little: the block (τ², β) (three random-walk
        Metropolis-Hastings steps of log τ² with β integrated out, then β
        given τ²); ten random-walk steps that scale the penalized β and τ
        together; one that scales each β_j with its λ_j. False: the plain
        conjugate sweep. ``"auto"``: True when p > n. There the data are
        separable and the overall size of β wanders with τ; on the
        example's n = 200, p = 2,000 data the moves doubled the minimum
        bulk ESS per second. Where p ≤ n they raised τ's ESS about 3× on
        breast cancer, but its slowest quantity, a coefficient tied to its
        neighbours, not at all, for a sweep a third dearer.
      pg_options: extra keyword arguments for ``vexol.polya_gamma``.
      dtype: float32 or float64; JAX's default float when None.

    Returns:
      A :class:`Gibbs` with state :class:`HorseshoeState`; ``collect``
      keeps ``{"beta": (p,), "lambda": (m,), "tau": ()}``, the local and
      global scales (not squared), the local ones of the penalized columns
      in their order, ``"accepted"`` (a sample statistic) with the line
      steps and ``"scale_accepted"`` (another) with the scale moves'.
      ``init(key)`` starts at β ~ N(0, 0.1²), log λ_j and
      log(τ/τ₀) ~ N(0, 1). Its ``report`` (see :func:`describe`) holds the
      slowdown λ where the rule looked for line steps and the moves chosen.

    Raises:
      ValueError: bad data (as :func:`logistic`), an index in
        ``unpenalized`` outside the columns of X or every column named,
        a non-positive scale, ``expected_signals`` outside (0, m) or given
        with ``global_scale``.
      TypeError: a non-numeric argument, ``scale_moves`` neither a bool
        nor "auto".

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(40), rng.normal(size=(40, 60))])   # p > n
      >>> y = (rng.random(40) < 1 / (1 + np.exp(-2 * X[:, 1]))).astype(float)
      >>> model = gibbs.horseshoe_logistic(X, y, expected_signals=2)
      >>> print(gibbs.describe(model).splitlines()[2])  # p > n: the scale moves
        scale moves: the block (τ², β), τ with the penalized β, each λ_j with its β_j (by the rule: p > n)
      >>> result = gibbs.run(model, None, jax.random.key(0), sweeps=100, warmup=50,
      ...                    chains=2, progress=False)
      >>> {k: v.shape for k, v in sorted(result.draws.items())}
      {'beta': (2, 100, 61), 'lambda': (2, 100, 60), 'scale_accepted': (2, 100), 'tau': (2, 100)}
      >>> result.draws["beta"].dtype
      dtype('float32')
    """
    where = "vexol.gibbs.horseshoe_logistic"
    dtype = float_dtype(dtype, where)
    X, y, h, (X_host, y_host, h_host) = binomial_data(X, y, trials, dtype, where)
    n, p = X.shape
    fixed = unpenalized_columns(unpenalized, p, "horseshoe", where)
    penalized = np.flatnonzero(~fixed)
    m = penalized.size
    positive(unpenalized_sd, "unpenalized_sd", where)
    if expected_signals is not None:
        if global_scale is not None:
            raise ValueError(
                f"{where}: global_scale and expected_signals both given; expected_signals "
                "only sets global_scale"
            )
        positive(expected_signals, "expected_signals", where)
        if not expected_signals < m:
            raise ValueError(
                f"{where}: expected_signals is {expected_signals}; it must be in (0, {m}), "
                "below the number of penalized columns"
            )
        global_scale = _piironen_vehtari(float(expected_signals), m, y_host, h_host)
    elif global_scale is None:
        global_scale = 1.0
    tau0 = positive(global_scale, "global_scale", where)
    fixed_precision = jnp.full(p, unpenalized_sd**-2.0, dtype)
    penalized_j = jnp.asarray(penalized)
    offset, offset_host = offsets(offset, n, dtype, where)
    pg = sweep_options(beta_method, pg_options, where)
    _global.check_move(global_move, where, ("auto", "directions", None))
    if not (isinstance(scale_moves, (bool, np.bool_)) or scale_moves == "auto"):
        raise TypeError(f"{where}: scale_moves must be True, False or 'auto', got {scale_moves!r}")
    requested_scale_moves = scale_moves
    scale_moves = bool(p > n if scale_moves == "auto" else scale_moves)
    lines, slowdown = None, None
    if global_move == "directions" or (global_move == "auto" and p <= n):
        # Directions under a fixed reference prior (any fixed directions keep
        # the posterior; on breast cancer sd 1 gave 1.6 to 2.5 times the
        # minimum bulk ESS of 0.5 and 2.5 in one run each).
        reference = np.where(fixed, unpenalized_sd**-2.0, 1.0)
        every, slowdowns = _directions.slow_directions(
            X_host, y_host, np.broadcast_to(h_host, (n,)), np.zeros(p), reference, p, offset_host
        )
        slowdown = float(slowdowns[0])
        if global_move == "directions" or slowdowns[0] >= _global.MIN_SLOWDOWN:
            # One step along each slow direction only (at least the slowest):
            # the chain's scales, not the reference prior, set how the other
            # directions mix, and its own β | ω draw already moves those. On
            # breast cancer (4 x 8,000 sweeps, two seeds) the 4 directions of
            # λ ≥ 5 gave a minimum bulk ESS of 107 and 90 per second of
            # sampling against 53 and 49 with a step along all 31 and a second
            # along those 4; twice along the 4, 92 and 81; the slowest 12,
            # 64 and 85; the slowest alone, 84 and 79.
            slow = max(1, int(np.sum(slowdowns >= _global.MIN_SLOWDOWN)))
            lines = _directions.kept_rows(X_host, every[:slow], dtype)

    def init(key):
        beta_key, lambda_key, tau_key = jax.random.split(key, 3)
        sd = jnp.where(jnp.asarray(fixed), 0.5, 0.1).astype(dtype)
        beta = sd * jax.random.normal(beta_key, (p,), dtype)
        lambda2 = jnp.exp(2.0 * jax.random.normal(lambda_key, (m,), dtype))
        tau2 = tau0**2 * jnp.exp(2.0 * jax.random.normal(tau_key, (), dtype))
        one = jnp.ones((), dtype)
        accepted = None if lines is None else jnp.zeros((), jnp.int32)
        scale_accepted = jnp.zeros((), jnp.int32) if scale_moves else None
        return HorseshoeState(
            beta,
            lambda2,
            jnp.ones(m, dtype),
            tau2,
            one,
            jnp.zeros(n, dtype),
            accepted,
            scale_accepted,
        )

    def step(key, state):
        return horseshoe_sweep(
            key,
            state,
            X,
            y,
            h,
            penalized_j,
            fixed_precision,
            tau0,
            offset,
            beta_method=beta_method,
            lines=_directions.sweep_form(lines),
            scale_moves=scale_moves,
            **pg,
        )

    def collect(state):
        kept = {
            "beta": state.beta,
            "lambda": jnp.sqrt(state.lambda2),
            "tau": jnp.sqrt(state.tau2),
        }
        if lines is not None:
            kept["accepted"] = state.accepted
        if scale_moves:
            kept["scale_accepted"] = state.scale_accepted
        return kept

    def log_likelihood(draws):
        psi = linear_predictor(draws["beta"], X_host, offset_host)
        return binomial_log_likelihood(psi, y_host, h_host)

    report = _report(
        where,
        n,
        p,
        m,
        beta_method,
        global_move,
        lines,
        slowdown,
        requested_scale_moves,
        scale_moves,
    )
    return Gibbs(
        init, step, collect, log_likelihood, {"y": y_host}, ("accepted", "scale_accepted"), report
    )


def _report(where, n, p, m, beta_method, global_move, lines, slowdown, requested, scale_moves):
    """The build report :func:`vexol.gibbs.describe` shows."""
    steps = 0 if lines is None else int(lines[0].shape[0])
    cost = _global.sweep_cost(n, p, 1, beta_method, steps, None)
    if scale_moves:
        side = min(n, p)
        cost["scale moves"] = float(
            _global_scale.TAU_STEPS * side**3 / 3 + (_global_scale.SCALE_STEPS + m) * n
        )
        what = "the block (τ², β), τ with the penalized β, each λ_j with its β_j"
    else:
        what = "none"
    how = f"by the rule: p {'>' if p > n else '≤'} n" if requested == "auto" else "as requested"
    along = "the slowest direction" if steps == 1 else f"each of the {steps} slow directions"
    # Its own line steps where it takes any, not the rule's.
    own = {} if lines is None else {"direction_steps": f"a Metropolis-Hastings step along {along}"}
    # The slowdowns are found under a reference prior of sd 1, and only
    # where the rule may take line steps.
    blocks = [] if slowdown is None else [_global.block_report("β, reference prior", slowdown)]
    return _global.build_report(
        where,
        f"n = {n}, p = {p} ({m} under the horseshoe)",
        blocks,
        global_move,
        None if lines is None else "directions",
        cost,
        other_moves=(f"scale moves: {what} ({how})",),
        **own,
    )
