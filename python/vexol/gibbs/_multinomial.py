"""Multinomial logistic regression by stick-breaking.

Linderman, Johnson and Adams (2015): a draw of n_i trials over K classes is
a chain of binomials. Class k = 0..K-2 takes y_ik of the N_ik = n_i -
Σ_{j<k} y_ij trials left, with probability σ(ψ_ik), ψ_ik = x_i'β_k + c_k,
and class K-1 takes the rest. So

    π_ik = σ(ψ_ik) Π_{j<k} (1 - σ(ψ_ij)),   π_i,K-1 = Π_{j<K-1} (1 - σ(ψ_ij)).

The offsets c_k = -log(K-1-k) make β = 0 give every class probability 1/K,
so a prior centred on zero favours no class. Given ω_ik ~ PG(N_ik, ψ_ik)
the K-1 coefficient vectors are independent Gaussians with
κ_ik = y_ik - N_ik/2, so a sweep is one vexol call of n(K-1) draws and K-1
independent β draws (vmapped).

Why stick-breaking rather than the class-by-class partial conditionals of
Polson, Scott and Windle (2013) for the softmax link: those update one class
at a time, each against the others' current coefficients, so a sweep is K-1
dependent vexol calls and β draws in sequence, and the classes' mutual
coupling slows mixing. Here the whole sweep is two batched, independent
draws. The price: the link is the stick-breaking one, not the softmax, and
the prior is not symmetric in the class order (put the classes you want
modelled most flexibly first or hold a reference class last).
"""

from __future__ import annotations

from collections.abc import Mapping
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
    binomial_log_likelihood,
    design,
    first_bad,
    float_dtype,
    gaussian_prior,
    host_numbers,
    host_prior,
    integer,
    positive,
    sweep_options,
    whole,
)


class MultinomialState(NamedTuple):
    """State of :func:`multinomial`: ``beta`` (K-1, p), ``omega`` (n, K-1).

    ``omega`` holds the sweep's Pólya-Gamma draws (never read by the next);
    ``accepted`` (int32 ()) the number of direction steps taken, over all
    sticks (0 without them), ``global_accepted`` (int32 ()) the number of
    sticks whose independence t step was taken (None in a state built
    without them).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(90), rng.normal(size=90)])
      >>> labels = np.digitize(X[:, 1] + rng.normal(scale=0.5, size=90), [-0.5, 0.5])
      >>> state = gibbs.multinomial(X, labels).init(jax.random.key(0))
      >>> state.beta.shape, state.omega.shape
      ((2, 2), (90, 2))
    """

    beta: jax.Array
    omega: jax.Array
    accepted: jax.Array | None = None
    global_accepted: jax.Array | None = None


def stick_breaking_offsets(num_classes: int, dtype: Any = None) -> jax.Array:
    """c_k = -log(K-1-k), k = 0..K-2: zero coefficients give uniform classes.

    Examples:
      >>> import numpy as np
      >>> from vexol import gibbs
      >>> print(np.asarray(gibbs.stick_breaking_offsets(4), "f8").round(4))   # -log(3), -log(2), 0
      [-1.0986 -0.6931 -0.    ]
      >>> print(np.asarray(gibbs.stick_breaking_probabilities(gibbs.stick_breaking_offsets(4)), "f8").round(4))
      [0.25 0.25 0.25 0.25]
    """
    k = np.arange(num_classes - 1)
    return jnp.asarray(-np.log(num_classes - 1 - k), float_dtype(dtype))


def stick_breaking_probabilities(psi: jax.Array) -> jax.Array:
    """Class probabilities (..., K) from the stick logits ψ (..., K-1).

    ψ includes the offsets: pass X @ beta.T + stick_breaking_offsets(K).

    Examples:
      >>> import jax.numpy as jnp, numpy as np
      >>> from vexol import gibbs
      >>> psi = jnp.array([[0.0, 0.0], [2.0, -1.0]])          # two rows, K = 3
      >>> print(np.asarray(gibbs.stick_breaking_probabilities(psi), "f8").round(4))
      [[0.5    0.25   0.25  ]
       [0.8808 0.0321 0.0871]]
    """
    log_take = jax.nn.log_sigmoid(psi)
    log_pass = jax.nn.log_sigmoid(-psi)
    before = jnp.cumsum(log_pass, axis=-1) - log_pass
    left = jnp.sum(log_pass, axis=-1, keepdims=True)
    return jnp.exp(jnp.concatenate([log_take + before, left], axis=-1))


def stick_breaking_data(Y: jax.Array) -> tuple[jax.Array, jax.Array]:
    """(trials, kappa), both (n, K-1), from counts Y (n, K) (jittable).

    trials N_ik = n_i - Σ_{j<k} y_ij, kappa κ_ik = y_ik - N_ik/2.

    Examples:
      >>> import jax.numpy as jnp
      >>> from vexol import gibbs
      >>> Y = jnp.array([[1.0, 0.0, 0.0], [0.0, 0.0, 1.0], [2.0, 1.0, 1.0]])   # counts per class
      >>> trials, kappa = gibbs.stick_breaking_data(Y)
      >>> trials.tolist(), kappa.tolist()
      ([[1.0, 0.0], [1.0, 1.0], [4.0, 2.0]], [[0.5, 0.0], [-0.5, -0.5], [0.0, 0.0]])
    """
    K = Y.shape[1]
    left = jnp.sum(Y, axis=1, keepdims=True) - jnp.cumsum(Y, axis=1) + Y
    trials = left[:, : K - 1]
    return trials, Y[:, : K - 1] - 0.5 * trials


def multinomial_sweep(
    key,
    state,
    X,
    trials,
    kappa,
    offsets,
    mean,
    precision,
    *,
    beta_method="auto",
    directions=None,
    moved_psi=None,
    direction_step=1.5,
    proposal=None,
    lines=None,
    **pg_options,
):
    """One sweep of :func:`multinomial` on explicit data: ω_ik ~ PG(N_ik, ψ_ik)
    in one vexol call, then the K-1 independent β_k | ω_k (vmapped), then
    for each stick k a Metropolis step along each row of ``directions[k]``
    ((K-1, m, p), or None; ``moved_psi`` (K-1, n, m) = X @ directions[k].T,
    computed here when None; see :func:`stick_direction_moves`), then with
    ``lines`` = (directions (K-1, m, p), moved_psi (K-1, n, m)) a
    :func:`line_moves` step along each row of each stick's, then,
    with ``proposal`` = (centres (K-1, p), scales (K-1, p, p)), an
    :func:`independence_move` of each stick's β_k.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(90), rng.normal(size=90)])
      >>> labels = np.digitize(X[:, 1] + rng.normal(scale=0.5, size=90), [-0.5, 0.5])
      >>> import jax.numpy as jnp
      >>> Y = jnp.asarray(np.eye(3)[labels], jnp.float32)
      >>> trials, kappa = gibbs.stick_breaking_data(Y)
      >>> X32, offsets = jnp.asarray(X, jnp.float32), gibbs.stick_breaking_offsets(3)
      >>> mean, precision = jnp.zeros(2), jnp.full(2, 1 / 2.5**2)      # (p,), shared
      >>> state = gibbs.MultinomialState(beta=jnp.zeros((2, 2)), omega=jnp.zeros((90, 2)))
      >>> state = gibbs.multinomial_sweep(jax.random.key(0), state, X32, trials, kappa,
      ...                                 offsets, mean, precision)
      >>> state.beta.shape, state.omega.shape
      ((2, 2), (90, 2))
    """
    n = X.shape[0]
    K1 = trials.shape[1]
    omega_key, beta_key, move_key = jax.random.split(key, 3)
    global_key = jax.random.fold_in(key, GLOBAL_KEY)
    psi = X @ state.beta.T + offsets
    omega = vexol.polya_gamma(omega_key, trials, psi, dtype=X.dtype, **pg_options)

    def one_class(key, omega, kappa, offset):
        offset = jnp.broadcast_to(offset, (n,))
        return draw_beta(key, X, omega, kappa, precision, mean, offset=offset, method=beta_method)

    keys = jax.random.split(beta_key, K1)
    beta = jax.vmap(one_class)(keys, omega.T, kappa.T, offsets)
    accepted = jnp.zeros((), jnp.int32)
    if directions is not None and directions.shape[1] > 0:
        beta, accepted = stick_direction_moves(
            move_key,
            beta,
            X,
            trials,
            kappa,
            offsets,
            mean,
            precision,
            directions,
            moved_psi,
            direction_step,
        )
    if lines is not None:

        def along_lines(key, beta, trials, kappa, offset, directions, moved_psi):
            y = kappa + 0.5 * trials
            return line_moves(
                key, beta, X @ beta + offset, directions, moved_psi, y, trials, mean, precision
            )

        keys = jax.random.split(jax.random.fold_in(key, LINE_KEY), K1)
        beta, _, taken = jax.vmap(along_lines)(keys, beta, trials.T, kappa.T, offsets, *lines)
        accepted = accepted + jnp.sum(taken, dtype=jnp.int32)
    global_accepted = jnp.zeros((), jnp.int32)
    if proposal is not None:

        def one_stick(key, beta, trials, kappa, offset, centre, scale):
            y = kappa + 0.5 * trials

            def log_target(beta):
                return binomial_log_density(beta, X @ beta + offset, y, trials, mean, precision)

            return independence_move(key, beta, log_target, centre, scale)

        keys = jax.random.split(global_key, K1)
        beta, taken = jax.vmap(one_stick)(keys, beta, trials.T, kappa.T, offsets, *proposal)
        global_accepted = jnp.sum(taken, dtype=jnp.int32)
    return MultinomialState(
        beta,
        omega,
        None if state.accepted is None else accepted,
        None if state.global_accepted is None else global_accepted,
    )


def stick_direction_moves(
    key, beta, X, trials, kappa, offsets, mean, precision, directions, moved_psi=None, step=1.5
):
    """For each stick k, one Metropolis step along each row of directions[k].

    beta (K-1, p); directions (K-1, m, p); moved_psi (K-1, n, m) or None.
    Returns (beta, steps taken over all sticks). The sticks' likelihoods
    are separate binomial regressions (stick k on the N_ik trials left), so
    the posterior is a product over the sticks and a step of stick k needs
    β_k alone.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(90), rng.normal(size=90)])
      >>> labels = np.digitize(X[:, 1] + rng.normal(scale=0.5, size=90), [-0.5, 0.5])
      >>> import jax.numpy as jnp
      >>> Y = jnp.asarray(np.eye(3)[labels], jnp.float32)
      >>> trials, kappa = gibbs.stick_breaking_data(Y)
      >>> X32, offsets = jnp.asarray(X, jnp.float32), gibbs.stick_breaking_offsets(3)
      >>> mean, precision = jnp.zeros((2, 2)), jnp.full((2, 2), 1 / 2.5**2)
      >>> directions = jnp.tile(jnp.eye(2)[None], (2, 1, 1))    # each stick: both axes
      >>> beta, steps = gibbs.stick_direction_moves(jax.random.key(0), jnp.zeros((2, 2)), X32,
      ...                                           trials, kappa, offsets, mean, precision,
      ...                                           directions)
      >>> beta.shape, 0 <= int(steps) <= 4
      ((2, 2), True)
    """
    if moved_psi is None:
        moved_psi = jnp.einsum("np,kmp->knm", X, directions)

    def one_stick(key, beta, trials, kappa, offset, directions, moved_psi):
        y = kappa + 0.5 * trials

        def log_density(beta, psi):
            return binomial_log_density(beta, psi, y, trials, mean, precision)

        beta, _, accepted = direction_moves(
            key, beta, X @ beta + offset, directions, moved_psi, log_density, step
        )
        return beta, accepted

    keys = jax.random.split(key, beta.shape[0])
    beta, taken = jax.vmap(one_stick)(keys, beta, trials.T, kappa.T, offsets, directions, moved_psi)
    return beta, jnp.sum(taken, dtype=jnp.int32)


def _counts(y: Any, n: int, num_classes: int | None, where: str) -> np.ndarray:
    y = host_numbers(y, "y", where)
    if num_classes is not None:
        num_classes = integer(num_classes, "num_classes", where, 2, None, "at least 2")
    if y.ndim not in (1, 2) or y.shape[0] != n:
        raise ValueError(
            f"{where}: y has shape {y.shape}; it must be ({n},) labels or ({n}, K) counts, "
            "one row per row of X"
        )
    if y.ndim == 1:
        whole(where, "y", y, "y must hold integer labels 0..K-1")
        K = int(y.max(initial=0)) + 1 if num_classes is None else num_classes
        first_bad(where, "y", y, y >= K, f"with num_classes={K} the labels lie in 0..{K - 1}")
        return np.eye(K)[y.astype(np.int64)]
    whole(where, "y", y, "y must hold non-negative integer counts")
    if num_classes is not None and y.shape[1] != num_classes:
        raise ValueError(
            f"{where}: y has {y.shape[1]} columns (classes), num_classes says {num_classes}"
        )
    return y


def multinomial_data(
    X: Any, y: Any, num_classes: int | None, offsets: bool, dtype: Any, where: str
):
    """(X, Y, trials, kappa, c) checked: X (n, p) in the sampler's dtype, the
    counts Y (n, K) as float64 on the host, the sticks' trials and κ
    (n, K-1) (:func:`stick_breaking_data`) and their offsets c (K-1,)."""
    X = design(X, dtype, where)
    Y = _counts(y, X.shape[0], num_classes, where)
    K = Y.shape[1]
    if K < 2:
        raise ValueError(f"{where}: y has {K} class; multinomial regression needs at least two")
    trials, kappa = stick_breaking_data(jnp.asarray(Y, dtype))
    c = stick_breaking_offsets(K, dtype) if offsets else jnp.zeros(K - 1, dtype)
    return X, Y, trials, kappa, c


def multinomial(
    X: Any,
    y: Any,
    *,
    num_classes: int | None = None,
    prior_mean: Any = 0.0,
    prior_sd: Any = 2.5,
    offsets: bool = True,
    beta_method: str = "auto",
    slow_directions: int = 0,
    direction_step: float = 1.5,
    global_move: str | None = "auto",
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> Gibbs:
    """Gibbs sampler of stick-breaking multinomial logistic regression.

    Args:
      X: (n, p) design.
      y: (n,) class labels 0..K-1, or (n, K) counts (n_i = the row sum).
      num_classes: K; for labels, by default max(y) + 1.
      prior_mean, prior_sd: the prior β_k ~ N(prior_mean, diag(prior_sd²)),
        the same for every k; scalars or (p,).
      offsets: add c_k = -log(K-1-k) to ψ_k (see
        :func:`stick_breaking_offsets`); False for plain stick logits.
      slow_directions, direction_step: as in :func:`logistic`, for each
        stick (its own directions, at its own posterior mode).
      global_move: as in :func:`logistic`, for each stick's β_k; "auto"
        decides for all sticks at once, from the lowest predicted
        acceptance over them, and picks the t step or nothing (the line
        steps along every direction, ``"directions"``, cost too much per
        sweep with K - 1 sticks to be chosen without being asked for).
      beta_method, pg_options, dtype: as in :func:`logistic`.

    Returns:
      A :class:`Gibbs` with state :class:`MultinomialState`; ``collect``
      keeps ``{"beta": (K-1, p)}`` and the sample statistics ``"accepted"``
      and ``"global_accepted"`` where there are such moves. ``init(key)``
      starts at β ~ N(0, 0.5²). ``report``: see :func:`describe`.

    Raises:
      ValueError, TypeError: for a bad argument, named with its value.
      Class probabilities: ``stick_breaking_probabilities(X @ beta.T + c)``.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(90), rng.normal(size=90)])
      >>> labels = np.digitize(X[:, 1] + rng.normal(scale=0.5, size=90), [-0.5, 0.5])
      >>> model = gibbs.multinomial(X, labels)                 # 3 classes
      >>> result = gibbs.run(model, None, jax.random.key(0), sweeps=100, chains=2,
      ...                    progress=False)
      >>> result.draws["beta"].shape                           # (chains, draws, K-1, p)
      (2, 100, 2, 2)
      >>> beta = result.draws["beta"][0, -1]
      >>> probs = gibbs.stick_breaking_probabilities(X @ beta.T + gibbs.stick_breaking_offsets(3))
      >>> probs.shape, bool(np.allclose(probs.sum(-1), 1.0, atol=1e-5))
      ((90, 3), True)
    """
    where = "vexol.gibbs.multinomial"
    dtype = float_dtype(dtype, where)
    X_given = X
    X, Y, trials, kappa, c = multinomial_data(X, y, num_classes, offsets, dtype, where)
    n, p = X.shape
    K = Y.shape[1]
    mean, precision = gaussian_prior(p, prior_mean, prior_sd, dtype, where)
    pg = sweep_options(beta_method, pg_options, where)
    positive(direction_step, "direction_step", where)
    slow_directions = integer(
        slow_directions, "slow_directions", where, 0, p, f"an integer in [0, {p}]"
    )
    _global.check_move(global_move, where)
    walks = None  # the random-walk steps' (directions, rows), as in logistic
    # On the host in float64, stick by stick.
    X_host = np.asarray(X, np.float64)
    trials_host, kappa_host = (np.asarray(a, np.float64) for a in (trials, kappa))
    c_host = np.asarray(c, np.float64)
    mean_host, precision_host = host_prior(p, prior_mean, prior_sd)

    def stick(k):
        y_k = kappa_host[:, k] + 0.5 * trials_host[:, k]
        return (X_host, y_k, trials_host[:, k], mean_host, precision_host)

    offsets_host = [np.full(n, c_host[k]) for k in range(K - 1)]
    fits = [_global.binomial_laplace(*stick(k), offsets_host[k]) for k in range(K - 1)]
    slowdown = max(fit[2] for fit in fits)
    chosen = _global.choose_move(global_move, min(fit[3] for fit in fits), slowdown, where)
    if global_move == "auto" and chosen == "directions":
        # Measured on the digits (9 sticks, λ above 20 along nearly all 65
        # directions of each): a line step along every direction of every
        # stick doubled the sweep's time (53 against 26 ms for 4 chains with
        # the example's 65 random-walk steps per stick) for about the same
        # effective draws per sweep (0.064 against 0.058 over 4 x 600
        # sweeps); asked for by name only.
        chosen = None
    vectors = np.zeros((K - 1, 0, p))
    if slow_directions:
        vectors = np.stack(
            [
                _directions.slow_directions(*stick(k), slow_directions, offsets_host[k])[0]
                for k in range(K - 1)
            ]
        )
    lines = None
    if chosen == "directions":
        found = [_directions.slow_directions(*stick(k), p, offsets_host[k]) for k in range(K - 1)]
        # As logistic's: a second step along the slowest, as many for every
        # stick (one program for all) as the stick with most λ >= 5 has.
        again = max(int(np.sum(slowdowns >= _global.MIN_SLOWDOWN)) for _, slowdowns in found)
        every = _global.with_second_steps(np.stack([each for each, _ in found]), None, again)
        lines = (
            jnp.asarray(every, dtype),
            jnp.asarray(np.einsum("np,kmp->kmn", X_host, every), dtype),
        )
    if vectors.shape[1]:
        walks = (
            jnp.asarray(vectors, dtype),
            jnp.asarray(np.swapaxes(np.einsum("np,kmp->knm", X_host, vectors), 1, 2), dtype),
        )
    proposal = None
    if chosen == "t":
        proposal = tuple(jnp.asarray(np.stack([fit[i] for fit in fits]), dtype) for i in (0, 1))
    report = _global.build_report(
        where,
        f"n = {n}, p = {p}, K = {K}",
        [_global.block_report(f"beta[{k}]", fit[2], fit[3]) for k, fit in enumerate(fits)],
        global_move,
        chosen,
        _global.sweep_cost(
            n,
            p,
            K - 1,
            beta_method,
            vectors.shape[1] + (0 if lines is None else lines[0].shape[1]),
            chosen,
        ),
        mode=np.stack([fit[0] for fit in fits]),
        scale=np.stack([fit[1] for fit in fits]),
    )

    def init(key):
        beta = mean + 0.5 * jax.random.normal(key, (K - 1, p), dtype)
        none = jnp.zeros((), jnp.int32)
        return MultinomialState(beta, jnp.zeros((n, K - 1), dtype), none, none)

    def step(key, state):
        directions, moved_psi = _directions.sweep_form(walks) or (None, None)
        return multinomial_sweep(
            key,
            state,
            X,
            trials,
            kappa,
            c,
            mean,
            precision,
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

    # The likelihood on the host in float64: stick k is a binomial of the
    # trials left, and the sticks' binomial coefficients multiply to the
    # multinomial one.
    X_ll = np.asarray(X_given, np.float64)
    c_ll = -np.log(K - 1 - np.arange(K - 1.0)) if offsets else np.zeros(K - 1)
    left = Y.sum(axis=1, keepdims=True) - np.cumsum(Y, axis=1) + Y

    def log_likelihood(draws):
        psi = np.einsum("np,...kp->...nk", X_ll, np.asarray(draws["beta"], np.float64)) + c_ll
        return np.sum(binomial_log_likelihood(psi, Y[:, :-1], left[:, :-1]), axis=-1)

    return Gibbs(
        init, step, collect, log_likelihood, {"y": Y}, ("accepted", "global_accepted"), report
    )
