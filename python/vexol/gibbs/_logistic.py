"""Logistic and binomial regression, with a fixed or a hierarchical prior.

y_i ~ Binomial(n_i, σ(ψ_i)), ψ = Xβ + offset (n_i = 1: logistic). With
ω_i ~ PG(n_i, ψ_i) the likelihood is Gaussian in ψ (Polson, Scott and
Windle 2013), with κ_i = y_i - n_i/2, so a sweep is

    ω | β        ~ PG(n, ψ)                           one vexol call
    β | ω (, τ²) ~ N(μ, Σ)                            vexol.gibbs.draw_beta
    τ² | β       ~ InvGamma(a + m/2, b + Σ_j β_j²/2)  hierarchical prior only

:func:`logistic` can follow the β draw with Metropolis steps along the
directions the augmentation mixes slowest (``slow_directions``, see
``vexol.gibbs._directions``), which nearly separable data need.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

import jax
import jax.numpy as jnp
import numpy as np

import vexol
from vexol.gibbs import _directions, _global
from vexol.gibbs._directions import binomial_log_density, direction_moves, line_moves
from vexol.gibbs._gaussian import draw_beta
from vexol.gibbs._global import GLOBAL_KEY, LINE_KEY, independence_move
from vexol.gibbs._model import (
    Gibbs,
    _show,
    binomial_log_likelihood,
    design,
    first_bad,
    float_dtype,
    gaussian_prior,
    host_numbers,
    host_prior,
    integer,
    linear_predictor,
    offsets,
    per_element,
    positive,
    sweep_options,
    unpenalized_columns,
    whole,
)


class LogisticState(NamedTuple):
    """State of :func:`logistic`: ``beta`` (p,), ``omega`` (n,), the sampler's dtype.

    ``omega`` holds the Pólya-Gamma draws of the sweep that produced
    ``beta``; the next sweep draws afresh and never reads it. ``accepted``
    (int32 ()) counts the sweep's direction moves that were taken (0
    without them); ``global_accepted`` (int32 ()) is 1 when the sweep's
    independence t step was taken, else 0. A state built without either
    keeps None there through the sweeps.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> X = np.column_stack([np.ones(4), [0.0, 1.0, 2.0, 3.0]])
      >>> state = gibbs.logistic(X, np.array([0.0, 0.0, 1.0, 1.0])).init(jax.random.key(0))
      >>> type(state).__name__, state._fields
      ('LogisticState', ('beta', 'omega', 'accepted', 'global_accepted'))
    """

    beta: jax.Array
    omega: jax.Array
    accepted: jax.Array | None = None
    global_accepted: jax.Array | None = None


class HierarchicalLogisticState(NamedTuple):
    """State of :func:`hierarchical_logistic`.

    ``beta`` (p,), ``tau2`` () the shared prior variance of the penalized
    coefficients, ``omega`` (n,) the sweep's Pólya-Gamma draws (never read),
    ``global_accepted`` (int32 ()) 1 when the sweep's independence t step of
    (β, log τ²) was taken (None in a state built without it).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> X = np.column_stack([np.ones(4), [0.0, 1.0, 2.0, 3.0]])
      >>> model = gibbs.hierarchical_logistic(X, np.array([0.0, 0.0, 1.0, 1.0]))
      >>> state = model.init(jax.random.key(0))
      >>> state._fields, state.tau2.shape
      (('beta', 'tau2', 'omega', 'global_accepted'), ())
    """

    beta: jax.Array
    tau2: jax.Array
    omega: jax.Array
    global_accepted: jax.Array | None = None


def logistic_sweep(
    key,
    state,
    X,
    y,
    h,
    mean,
    precision,
    offset=None,
    *,
    beta_method="auto",
    directions=None,
    moved_psi=None,
    direction_step=1.5,
    proposal=None,
    lines=None,
    **pg_options,
):
    """One sweep of :func:`logistic` on explicit data: ω | β, β | ω, then
    a Metropolis step along each of ``directions``, if any, then one along
    each of ``lines``, if any, then the independence t step of
    ``proposal``, if any.

    Args:
      key: a PRNG key; state: a :class:`LogisticState` (only ``beta`` is read).
      X: (n, p) design, whose dtype the sweep uses; y: (n,) successes;
      h: the trials, a scalar or (n,).
      mean, precision: (p,) the prior N(mean, diag(1/precision)).
      offset: (n,) or None. beta_method: see ``draw_beta``.
      directions: (k, p) or None: after the β draw, one random-walk
        Metropolis step β -> β + t·v, t ~ N(0, direction_step²), along each
        row v in turn (any fixed directions keep the posterior invariant).
      moved_psi: (n, k), X @ directions.T; computed here when None.
      proposal: None, or (centre (p,), scale (p, p) lower triangular): one
        :func:`independence_move` of β from the t proposal there (any fixed
        centre and scale keep the posterior invariant; the builder puts
        them at the posterior mode and its Laplace covariance).
      lines: None, or (directions (m, p), moved_psi (n, m)): one
        :func:`line_moves` step along each row, proposed from the Laplace
        approximation along it (the builder's ``"directions"`` move, along
        every generalized eigenvector of the slowdown).
      pg_options: keyword arguments for ``vexol.polya_gamma``.

    Unlike the builder it checks nothing, and every data argument may be a
    traced array: vmap it over data sets as well as chains.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> import jax.numpy as jnp
      >>> state = gibbs.LogisticState(beta=jnp.zeros(2), omega=jnp.zeros(50))
      >>> mean, precision = jnp.zeros(2), jnp.full(2, 1 / 2.5**2)
      >>> X32, y32 = jnp.asarray(X, jnp.float32), jnp.asarray(y, jnp.float32)
      >>> state = gibbs.logistic_sweep(jax.random.key(0), state, X32, y32, 1.0, mean, precision)
      >>> state.beta.shape, state.beta.dtype
      ((2,), dtype('float32'))

      The sweep vmapped over three data sets at once:

      >>> Xs, ys = jnp.stack([X32] * 3), jnp.stack([y32] * 3)
      >>> sweep = jax.vmap(gibbs.logistic_sweep, (None, None, 0, 0, None, None, None))
      >>> sweep(jax.random.key(0), state, Xs, ys, 1.0, mean, precision).beta.shape
      (3, 2)
    """
    omega_key, beta_key, move_key = jax.random.split(key, 3)
    # Its own key, folded in, so that the sweeps without the step draw as before.
    global_key = jax.random.fold_in(key, GLOBAL_KEY)
    psi = X @ state.beta if offset is None else X @ state.beta + offset
    omega = vexol.polya_gamma(omega_key, h, psi, dtype=X.dtype, **pg_options)
    kappa = y - 0.5 * h
    beta = draw_beta(beta_key, X, omega, kappa, precision, mean, offset=offset, method=beta_method)
    accepted = jnp.zeros((), jnp.int32)

    def log_density(beta, psi):
        return binomial_log_density(beta, psi, y, h, mean, precision)

    psi = None
    if directions is not None and directions.shape[0] > 0:
        moved_psi = X @ directions.T if moved_psi is None else moved_psi
        psi = X @ beta if offset is None else X @ beta + offset
        beta, psi, accepted = direction_moves(
            move_key, beta, psi, directions, moved_psi, log_density, direction_step
        )
    if lines is not None:
        if psi is None:  # else carried by the direction steps
            psi = X @ beta if offset is None else X @ beta + offset
        # Its own key, as the t step's: the draws before it stay as they were.
        beta, _, taken = line_moves(
            jax.random.fold_in(key, LINE_KEY), beta, psi, *lines, y, h, mean, precision
        )
        accepted = accepted + taken
    global_accepted = jnp.zeros((), jnp.int32)
    if proposal is not None:

        def log_target(beta):
            return log_density(beta, X @ beta if offset is None else X @ beta + offset)

        beta, global_accepted = independence_move(global_key, beta, log_target, *proposal)
    return LogisticState(
        beta,
        omega,
        None if state.accepted is None else accepted,
        None if state.global_accepted is None else global_accepted,
    )


class ScalePrior(NamedTuple):
    """The hierarchical prior: β_j ~ N(0, 1/fixed_precision) where
    ``fixed`` (a (p,) bool mask), else N(0, τ²); τ² ~ InvGamma(shape, scale).

    Examples:
      >>> import jax.numpy as jnp
      >>> from vexol import gibbs
      >>> prior = gibbs.ScalePrior(fixed=jnp.array([True, False, False]),
      ...                          fixed_precision=jnp.full(3, 1 / 25.0),
      ...                          shape=jnp.float32(1.0), scale=jnp.float32(1.0))
      >>> prior.fixed.tolist()          # the intercept keeps its fixed prior
      [True, False, False]
    """

    fixed: jax.Array
    fixed_precision: jax.Array
    shape: jax.Array
    scale: jax.Array


def hierarchical_log_density(x, X, y, h, prior, offset=None):
    """log p(β, log τ² | y) + const at x = (β, log τ²), the Jacobian of τ² = e^u included."""
    beta, u = x[:-1], x[-1]
    psi = X @ beta if offset is None else X @ beta + offset
    likelihood = jnp.sum(y * psi - h * jnp.logaddexp(0.0, psi))
    penalized = jnp.where(prior.fixed, 0.0, 1.0).astype(x.dtype)
    m = jnp.sum(penalized)
    fixed = jnp.sum(jnp.where(prior.fixed, prior.fixed_precision * beta**2, 0.0))
    squares = jnp.sum(penalized * beta**2)
    return (
        likelihood
        - 0.5 * fixed
        - (prior.shape + 0.5 * m) * u
        - (prior.scale + 0.5 * squares) * jnp.exp(-u)
    )


def hierarchical_sweep(
    key, state, X, y, h, prior, offset=None, *, beta_method="auto", proposal=None, **pg_options
):
    """One sweep of :func:`hierarchical_logistic` on explicit data:
    ω | β, β | ω, τ², τ² | β, then with ``proposal`` = (centre (p + 1,),
    scale (p + 1, p + 1)) an :func:`independence_move` of (β, log τ²).

    ``state`` a :class:`HierarchicalLogisticState` (``beta`` and ``tau2``
    are read), ``prior`` a :class:`ScalePrior`; the rest as in
    :func:`logistic_sweep`.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> import jax.numpy as jnp
      >>> prior = gibbs.ScalePrior(fixed=jnp.array([True, False]),
      ...                          fixed_precision=jnp.full(2, 1 / 25.0),
      ...                          shape=jnp.float32(1.0), scale=jnp.float32(1.0))
      >>> state = gibbs.HierarchicalLogisticState(
      ...     beta=jnp.zeros(2), tau2=jnp.float32(1.0), omega=jnp.zeros(50))
      >>> X32, y32 = jnp.asarray(X, jnp.float32), jnp.asarray(y, jnp.float32)
      >>> state = gibbs.hierarchical_sweep(jax.random.key(0), state, X32, y32, 1.0, prior)
      >>> state.beta.shape, state.tau2.shape, bool(state.tau2 > 0)
      ((2,), (), True)
    """
    omega_key, beta_key, tau_key = jax.random.split(key, 3)
    dtype = X.dtype
    psi = X @ state.beta if offset is None else X @ state.beta + offset
    omega = vexol.polya_gamma(omega_key, h, psi, dtype=dtype, **pg_options)
    precision = jnp.where(prior.fixed, prior.fixed_precision, 1.0 / state.tau2).astype(dtype)
    kappa = y - 0.5 * h
    beta = draw_beta(beta_key, X, omega, kappa, precision, offset=offset, method=beta_method)
    penalized = jnp.where(prior.fixed, 0.0, 1.0).astype(dtype)
    shape = prior.shape + 0.5 * jnp.sum(penalized)
    rate = prior.scale + 0.5 * jnp.sum(penalized * beta**2)
    tau2 = rate / jax.random.gamma(tau_key, shape, dtype=dtype)
    global_accepted = jnp.zeros((), jnp.int32)
    if proposal is not None:
        x = jnp.concatenate([beta, jnp.log(tau2)[None]])

        def log_target(x):
            return hierarchical_log_density(x, X, y, h, prior, offset)

        x, global_accepted = independence_move(
            jax.random.fold_in(key, GLOBAL_KEY), x, log_target, *proposal
        )
        beta, tau2 = x[:-1], jnp.exp(x[-1])
    return HierarchicalLogisticState(
        beta, tau2, omega, None if state.global_accepted is None else global_accepted
    )


def binomial_data(X: Any, y: Any, trials: Any, dtype: Any, where: str):
    """(X, y, h) in the sampler's dtype, checked: y 0/1 labels, or with
    ``trials`` counts out of them; and the same three as float64 on the host."""
    X_given = X
    X = design(X, dtype, where)
    n = X.shape[0]
    y_host = host_numbers(y, "y", where)
    if y_host.shape != (n,):
        raise ValueError(
            f"{where}: y has shape {y_host.shape}; it must have shape ({n},), one per row of X"
        )
    if trials is None:
        labels = (y_host == 0) | (y_host == 1)
        if not labels.all() and np.all((y_host == -1) | (y_host == 1)):
            raise ValueError(
                f"{where}: y holds -1/+1 labels; y must hold 0/1 labels: pass (y + 1) / 2"
            )
        first_bad(
            where,
            "y",
            y_host,
            ~labels,
            "without trials y must hold 0/1 labels (pass trials= for counts)",
        )
        host = (host_numbers(X_given, "X", where), y_host, 1.0)
        return X, jnp.asarray(y_host, dtype), jnp.asarray(1.0, dtype), host
    trials_given = host_numbers(trials, "trials", where)
    trials_host = per_element(trials_given, "trials", n, "row of X", where)
    whole(where, "trials", trials_given, "trials must hold non-negative integers")
    whole(where, "y", y_host, "y must hold integer counts between 0 and trials")
    above = np.flatnonzero(y_host > trials_host)
    if above.size:
        i = int(above[0])
        limit = "trials" if np.ndim(trials) == 0 else f"trials[{i}]"
        raise ValueError(
            f"{where}: y[{i}] is {_show(y_host[i])}, above {limit} = {_show(trials_host[i])}; "
            "y must hold integer counts between 0 and trials"
        )
    host = (host_numbers(X_given, "X", where), y_host, trials_host)
    return X, jnp.asarray(y_host, dtype), jnp.asarray(trials_host, dtype), host


def scale_prior(
    p: int,
    unpenalized: Sequence[int],
    unpenalized_sd: Any,
    tau2_shape: Any,
    tau2_scale: Any,
    dtype: Any,
    where: str,
) -> tuple[np.ndarray, ScalePrior]:
    """The hierarchical prior's arguments checked: (the (p,) bool mask of
    the unpenalized columns, the :class:`ScalePrior` in the sampler's dtype)."""
    fixed = unpenalized_columns(unpenalized, p, "hierarchical", where)
    for name, value in (
        ("unpenalized_sd", unpenalized_sd),
        ("tau2_shape", tau2_shape),
        ("tau2_scale", tau2_scale),
    ):
        positive(value, name, where)
    prior = ScalePrior(
        jnp.asarray(fixed),
        jnp.asarray(unpenalized_sd**-2.0, dtype),
        jnp.asarray(tau2_shape, dtype),
        jnp.asarray(tau2_scale, dtype),
    )
    return fixed, prior


def logistic(
    X: Any,
    y: Any,
    *,
    trials: Any = None,
    prior_mean: Any = 0.0,
    prior_sd: Any = 2.5,
    offset: Any = None,
    beta_method: str = "auto",
    slow_directions: int = 0,
    direction_step: float = 1.5,
    direction_rounds: int = 1,
    global_move: str | None = "auto",
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> Gibbs:
    """Gibbs sampler of logistic (``trials=None``) or binomial regression.

    Model: y_i ~ Binomial(n_i, σ(x_i'β + offset_i)), β ~ N(prior_mean,
    diag(prior_sd²)).

    Args:
      X: (n, p) design (include a column of ones for an intercept).
      y: (n,) successes: 0/1 labels, or counts in [0, n_i] with ``trials``.
      trials: n_i, scalar or (n,); 1 when None. A zero trial count is
        allowed (ω is then the point mass at 0, from vexol's 1e-12 floor).
      prior_mean, prior_sd: scalars or (p,).
      offset: (n,) known part of the linear predictor, or None.
      beta_method: "auto", "cholesky" or "bcm" (see ``draw_beta``).
      slow_directions: k in [0, p]: after each β draw, one Metropolis step
        along each of the k directions the augmentation mixes slowest at the
        posterior mode (found here, on the host, in float64: a few Newton
        steps and a p x p generalized eigenproblem). 0 for plain Gibbs. On
        nearly separable data a few such directions hold the chain back
        (``vexol.gibbs._directions`` says why); each step costs O(n).
      direction_step: the steps' proposal sd, in approximate posterior sds
        along the direction.
      direction_rounds: how many times per sweep the direction steps are
        made. A step costs O(n), against O(np²) for the β draw, so several
        rounds cost little and move the slow directions several times per
        PG draw.
      global_move: ``"t"``: end each sweep with an independence
        Metropolis-Hastings step of β from a multivariate t
        (5 degrees of freedom) at the posterior mode with the Laplace
        covariance (see :func:`independence_move`); ``"directions"``: a
        :func:`line_moves` step along every generalized eigenvector of
        the slowdown (all p of them) after each sweep, and a second along
        those whose slowdown λ is at least 5; None: no such step;
        ``"auto"``: the t step when its acceptance rate, predicted here
        from the Laplace approximation's fit, is at least 0.1, else the
        line steps when the slowdown λ is at least 5, else none
        (:func:`describe` shows what it measured).
      pg_options: extra keyword arguments for ``vexol.polya_gamma``.
      dtype: float32 or float64 for the whole sweep; JAX's default float
        when None (float32 with x64 off).

    Returns:
      A :class:`Gibbs` whose state is :class:`LogisticState` and whose
      ``collect`` keeps ``{"beta": (p,)}``, with ``"accepted"`` when there
      are direction steps and ``"global_accepted"`` with the t step (both
      sample statistics). ``init(key)`` starts β at prior_mean + N(0, 0.5²)
      per coefficient. Its ``report`` holds what the builder measured
      (:func:`describe`).

    Raises:
      ValueError, TypeError: for a bad argument, named with its value.

    Each sweep: ω ~ PG(n_i, ψ_i) at the current β, then β | ω, then the
    direction steps, then the t step.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> model = gibbs.logistic(X, y, prior_sd=2.5)
      >>> state = model.init(jax.random.key(0))
      >>> state = model.step(jax.random.key(1), state)       # one sweep
      >>> state.beta.shape, state.omega.shape
      ((2,), (50,))
      >>> result = gibbs.run(model, None, jax.random.key(2), sweeps=200, warmup=50,
      ...                    chains=2, progress=False)
      >>> result.draws["beta"].shape                          # (chains, draws, p)
      (2, 200, 2)

      Binomial counts, and steps along the slowest directions:

      >>> trials = np.full(50, 3.0)
      >>> successes = np.minimum(y * 2 + (X[:, 1] > 1), 3.0)
      >>> model = gibbs.logistic(X, successes, trials=trials, slow_directions=1)
      >>> model.init(jax.random.key(0)).accepted.shape
      ()
    """
    where = "vexol.gibbs.logistic"
    dtype = float_dtype(dtype, where)
    X, y, h, (X_host, y_host, h_host) = binomial_data(X, y, trials, dtype, where)
    n, p = X.shape
    mean, precision = gaussian_prior(p, prior_mean, prior_sd, dtype, where)
    offset, offset_host = offsets(offset, n, dtype, where)
    pg = sweep_options(beta_method, pg_options, where)
    positive(direction_step, "direction_step", where)
    slow_directions = integer(
        slow_directions, "slow_directions", where, 0, p, f"an integer in [0, {p}]"
    )
    _global.check_move(global_move, where)
    walks = None  # the random-walk steps' directions, as kept_rows keeps them
    # On the host in float64 whatever the sampler's dtype.
    host_problem = (
        X_host,
        y_host,
        np.broadcast_to(h_host, (n,)),
        *host_prior(p, prior_mean, prior_sd),
    )
    host_offset = None if offset is None else np.asarray(offset, np.float64)
    direction_rounds = integer(
        direction_rounds, "direction_rounds", where, 1, None, "a positive integer"
    )
    mode, scale, slowdown, acceptance = _global.binomial_laplace(*host_problem, host_offset)
    chosen = _global.choose_move(global_move, acceptance, slowdown, where)
    vectors = np.zeros((0, p))
    if slow_directions:
        vectors, _ = _directions.slow_directions(*host_problem, slow_directions, host_offset)
        vectors = np.tile(vectors, (direction_rounds, 1))
    if vectors.shape[0]:
        walks = _directions.kept_rows(X_host, vectors, dtype)
    lines = None
    if chosen == "directions":
        # After the requested steps: a step along every direction, and a
        # second along the slowest (_global's rule).
        every = _global.with_second_steps(
            *_directions.slow_directions(*host_problem, p, host_offset)
        )
        lines = _directions.kept_rows(X_host, every, dtype)
    proposal = None
    if chosen == "t":
        proposal = (jnp.asarray(mode, dtype), jnp.asarray(scale, dtype))
    report = _global.build_report(
        where,
        f"n = {n}, p = {p}",
        [_global.block_report("beta", slowdown, acceptance)],
        global_move,
        chosen,
        _global.sweep_cost(
            n, p, 1, beta_method, len(vectors) + (0 if lines is None else len(lines[0])), chosen
        ),
        mode=mode,
        scale=scale,
    )

    def init(key):
        beta = mean + 0.5 * jax.random.normal(key, (p,), dtype)
        none = jnp.zeros((), jnp.int32)
        return LogisticState(beta, jnp.zeros(n, dtype), none, none)

    def step(key, state):
        directions, moved_psi = _directions.sweep_form(walks) or (None, None)
        return logistic_sweep(
            key,
            state,
            X,
            y,
            h,
            mean,
            precision,
            offset,
            beta_method=beta_method,
            directions=directions,
            moved_psi=moved_psi,
            direction_step=direction_step,
            proposal=proposal,
            lines=_directions.sweep_form(lines),
            **pg,
        )

    def collect(state):
        kept = {"beta": state.beta}
        if walks is not None or lines is not None:
            kept["accepted"] = state.accepted
        if proposal is not None:
            kept["global_accepted"] = state.global_accepted
        return kept

    def log_likelihood(draws):
        psi = linear_predictor(draws["beta"], X_host, offset_host)
        return binomial_log_likelihood(psi, y_host, h_host)

    return Gibbs(
        init,
        step,
        collect,
        log_likelihood,
        {"y": y_host},
        ("accepted", "global_accepted"),
        report,
    )


def hierarchical_logistic(
    X: Any,
    y: Any,
    *,
    trials: Any = None,
    unpenalized: Sequence[int] = (0,),
    unpenalized_sd: float = 5.0,
    tau2_shape: float = 1.0,
    tau2_scale: float = 1.0,
    offset: Any = None,
    beta_method: str = "auto",
    global_move: str | None = "auto",
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> Gibbs:
    """Logistic/binomial regression with a shared, unknown prior scale.

    Model: β_j ~ N(0, unpenalized_sd²) for j in ``unpenalized`` (by
    default column 0, the intercept), β_j ~ N(0, τ²) for the others,
    τ² ~ InvGamma(tau2_shape, tau2_scale) (density ∝ τ^-2(a+1) e^(-b/τ²)),
    y_i ~ Binomial(n_i, σ(x_i'β + offset_i)).

    Returns:
      A :class:`Gibbs` with state :class:`HierarchicalLogisticState`;
      ``collect`` keeps ``{"beta": (p,), "tau2": ()}``. ``init(key)``
      starts at τ² = 1 and β ~ N(0, 0.5²).

    Each sweep draws, in this order, ω | β, β | ω, τ², and τ² | β from its
    conjugate inverse-gamma conditional, so the model runs entirely by Gibbs;
    with the t step (``global_move``: "t", None, or "auto" by the rule of
    :func:`logistic`, which here picks the t step or nothing) it ends with
    an independence step of (β, log τ²) from a t at their joint posterior
    mode with the Laplace covariance; ``collect`` then also keeps
    ``"global_accepted"``. Other arguments as in :func:`logistic`.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> model = gibbs.hierarchical_logistic(X, y, tau2_shape=2.0, tau2_scale=1.0)
      >>> result = gibbs.run(model, None, jax.random.key(0), sweeps=100, chains=2,
      ...                    progress=False)
      >>> sorted(result.draws), result.draws["tau2"].shape
      (['beta', 'tau2'], (2, 100))
    """
    where = "vexol.gibbs.hierarchical_logistic"
    dtype = float_dtype(dtype, where)
    X, y, h, (X_host, y_host, h_host) = binomial_data(X, y, trials, dtype, where)
    n, p = X.shape
    fixed, prior = scale_prior(p, unpenalized, unpenalized_sd, tau2_shape, tau2_scale, dtype, where)
    offset, offset_host = offsets(offset, n, dtype, where)
    pg = sweep_options(beta_method, pg_options, where)
    _global.check_move(global_move, where, _global.T_OR_NOTHING)
    mode, scale, slowdown, acceptance = _global.hierarchical_laplace(
        X_host,
        y_host,
        h_host,
        fixed,
        unpenalized_sd**-2.0,
        float(tau2_shape),
        float(tau2_scale),
        None if offset is None else np.asarray(offset, np.float64),
    )
    chosen = _global.choose_move(global_move, acceptance, slowdown, where, _global.T_OR_NOTHING)
    proposal = None
    if chosen == "t":
        proposal = (jnp.asarray(mode, dtype), jnp.asarray(scale, dtype))
    report = _global.build_report(
        where,
        f"n = {n}, p = {p}",
        [_global.block_report("(beta, log tau2)", slowdown, acceptance)],
        global_move,
        chosen,
        _global.sweep_cost(n, p, 1, beta_method, 0, chosen),
        mode=mode,
        scale=scale,
    )

    def init(key):
        beta = 0.5 * jax.random.normal(key, (p,), dtype)
        return HierarchicalLogisticState(
            beta, jnp.ones((), dtype), jnp.zeros(n, dtype), jnp.zeros((), jnp.int32)
        )

    def step(key, state):
        return hierarchical_sweep(
            key, state, X, y, h, prior, offset, beta_method=beta_method, proposal=proposal, **pg
        )

    def collect(state):
        if proposal is None:
            return {"beta": state.beta, "tau2": state.tau2}
        return {"beta": state.beta, "tau2": state.tau2, "global_accepted": state.global_accepted}

    def log_likelihood(draws):
        psi = linear_predictor(draws["beta"], X_host, offset_host)
        return binomial_log_likelihood(psi, y_host, h_host)

    return Gibbs(init, step, collect, log_likelihood, {"y": y_host}, ("global_accepted",), report)
