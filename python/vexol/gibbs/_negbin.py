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
    (log r, β)      optionally, an independence Metropolis-Hastings step from
                    a multivariate t at their joint posterior mode (_global)

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
from scipy import special

import vexol
from vexol.gibbs import _global
from vexol.gibbs._gaussian import draw_beta
from vexol.gibbs._global import GLOBAL_KEY, independence_move
from vexol.gibbs._model import (
    Gibbs,
    design,
    float_dtype,
    gaussian_prior,
    host_numbers,
    host_prior,
    integer,
    linear_predictor,
    offsets,
    positive,
    sweep_options,
    whole,
)


class NegBinState(NamedTuple):
    """State of :func:`negbin`.

    ``beta`` (p,), ``r`` () the NB shape (dispersion), ``omega`` (n,) the
    sweep's Pólya-Gamma draws (never read by the next sweep), and
    ``shift_accepted`` () 1.0 if this sweep's shift move was accepted, else
    0.0 (always 0.0 without the move), and ``global_accepted`` (int32 ()) 1
    when the sweep's independence t step of (log r, β) was taken (None in a
    state built without it).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(60), rng.normal(size=60)])
      >>> counts = rng.negative_binomial(2.0, 1 / (1 + np.exp(X @ [0.5, 0.3])))
      >>> state = gibbs.negbin(X, counts.astype(float)).init(jax.random.key(0))
      >>> state._fields
      ('beta', 'r', 'omega', 'shift_accepted', 'global_accepted')
    """

    beta: jax.Array
    r: jax.Array
    omega: jax.Array
    shift_accepted: jax.Array
    global_accepted: jax.Array | None = None


def nb_log_likelihood(y: jax.Array, r: jax.Array, psi: jax.Array) -> jax.Array:
    """Σ_i log NB(y_i | r, σ(ψ_i)), the y_i! terms included.

    Examples:
      >>> import jax.numpy as jnp, numpy as np
      >>> from vexol import gibbs
      >>> y, psi = jnp.array([0.0, 2.0, 5.0]), jnp.array([0.0, 0.5, 1.0])
      >>> print(np.asarray(gibbs.nb_log_likelihood(y, 2.0, psi), "f8").round(3))
      -5.585
    """
    # log(1 - p) = -softplus(ψ), log p = -softplus(-ψ).
    return jnp.sum(
        gammaln(y + r)
        - gammaln(r)
        - gammaln(y + 1.0)
        - r * jnp.logaddexp(0.0, psi)
        - y * jnp.logaddexp(0.0, -psi)
    )


def negbin_log_density(x, X, y, at_least, prior, offset=None):
    """log p(log r, β | y) + const at x = (log r, β): the likelihood, β's
    normal prior, r's Gamma(a, b) prior and the Jacobian r of r = e^u, which
    together make a u - b e^u.

    The independence step evaluates this twice per sweep, so its O(n) part is
    kept to one softplus per row: Σ_i log Γ(y_i + r) - log Γ(r) is
    Σ_k at_least[k] log(r + k) over the count levels (``count_levels``), and
    -r softplus(ψ) - y softplus(-ψ) = yψ - (y + r) softplus(ψ). The log y_i!
    terms are constant and left out.
    """
    u, beta = x[0], x[1:]
    r = jnp.exp(u)
    psi = X @ beta if offset is None else X @ beta + offset
    levels = jnp.arange(at_least.shape[0], dtype=psi.dtype)
    return (
        jnp.sum(at_least * jnp.log(r + levels))
        + jnp.sum(y * psi - (y + r) * jnp.logaddexp(0.0, psi))
        - 0.5 * jnp.sum(prior.precision * (beta - prior.mean) ** 2)
        + prior.r_shape * u
        - prior.r_rate * r
    )


def counts(y: Any, n: int, where: str) -> np.ndarray:
    """y (n,) as float64 on the host, checked: finite non-negative integers."""
    y_host = host_numbers(y, "y", where)
    if y_host.shape != (n,):
        raise ValueError(
            f"{where}: y has shape {y_host.shape}; it must have shape ({n},), one per row of X"
        )
    whole(where, "y", y_host, "y must hold non-negative integer counts")
    return y_host


class NegBinPrior(NamedTuple):
    """β ~ N(mean, diag(1/precision)), r ~ Gamma(r_shape, r_rate).

    Examples:
      >>> import jax.numpy as jnp
      >>> from vexol import gibbs
      >>> prior = gibbs.NegBinPrior(mean=jnp.zeros(2), precision=jnp.full(2, 0.01),
      ...                           r_shape=jnp.float32(1.0), r_rate=jnp.float32(0.1))
      >>> float(prior.r_shape / prior.r_rate)       # the prior mean of r
      10.0
    """

    mean: jax.Array
    precision: jax.Array
    r_shape: jax.Array
    r_rate: jax.Array


def count_levels(y: jax.Array, max_count: int) -> jax.Array:
    """(max_count,) the number of y_i >= 1, 2, ..., max_count (jittable).

    Examples:
      >>> import jax.numpy as jnp
      >>> from vexol import gibbs
      >>> gibbs.count_levels(jnp.array([0, 1, 3, 2, 0]), 4).tolist()   # y >= 1, 2, 3, 4
      [3, 2, 1, 0]
    """
    levels = jnp.arange(1, max_count + 1, dtype=y.dtype)
    return jnp.sum(y[:, None] >= levels, axis=0).astype(y.dtype)


def draw_r(key, at_least, psi, r, prior):
    """r | β, y by the CRT augmentation.

    L_i ~ CRT(y_i, r) is a sum of independent Bernoulli(r / (r + k - 1)),
    k = 1..y_i, and only Σ L_i enters r's conditional, so it is drawn as one
    binomial per count level k over the at_least[k-1] observations with
    y_i >= k. Then r ~ Gamma(a + Σ L_i, b + Σ log(1 + e^ψ_i)).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(60), rng.normal(size=60)])
      >>> counts = rng.negative_binomial(2.0, 1 / (1 + np.exp(X @ [0.5, 0.3])))
      >>> import jax.numpy as jnp
      >>> X32, y32 = jnp.asarray(X, jnp.float32), jnp.asarray(counts, jnp.float32)
      >>> prior = gibbs.NegBinPrior(mean=jnp.zeros(2), precision=jnp.full(2, 0.01),
      ...                           r_shape=jnp.float32(1.0), r_rate=jnp.float32(0.1))
      >>> psi = X32 @ jnp.array([0.5, 0.3])
      >>> at_least = gibbs.count_levels(y32, int(counts.max()))
      >>> r = gibbs.draw_r(jax.random.key(0), at_least, psi, jnp.float32(2.0), prior)
      >>> r.shape, bool(r > 0)
      ((), True)
    """
    dtype = psi.dtype
    table_key, gamma_key = jax.random.split(key)
    opens = r / (r + jnp.arange(at_least.shape[0], dtype=dtype))
    tables = jnp.sum(jax.random.binomial(table_key, at_least, opens, dtype=dtype))
    rate = prior.r_rate + jnp.sum(jnp.logaddexp(0.0, psi))
    return jax.random.gamma(gamma_key, prior.r_shape + tables, dtype=dtype) / rate


# The shift move's log ratio is a difference of two log-likelihoods, each a
# sum over rows of terms as large as log Γ(y_i + r); formed as that
# difference, its float32 rounding grew with n (0.075 at n = 2·10⁵ against
# float64). It is summed instead as per-row differences, each computed from
# the step (r' - r, ε) itself, so that a row's rounding is relative to its
# own small difference (float32 within 3e-4 of float64 at n = 2·10⁵ where
# the ratio is of order 1).

# Counts below this take their log Γ steps term by term (one table per
# move); larger ones by Stirling's series, whose terms below leave an error
# under float64's rounding of the step from this argument on.
_DIRECT_COUNTS = 16
# Stirling's series: log Γ(x) = (x - 1/2) log x - x + log(2π)/2 + Σ_j c_j x^-(2j+1).
_STIRLING = (1 / 12, -1 / 360, 1 / 1260, -1 / 1680, 1 / 1188)


def _log_gamma_step(x, d):
    """log Γ(x + d) - log Γ(x) for x >= _DIRECT_COUNTS, x + d > 0, with an
    error relative to d log x rather than to log Γ(x)."""
    u = x + d
    p, q = 1.0 / u, 1.0 / x
    # Σ_j c_j (p^m - q^m), m = 2j + 1, without subtracting the powers:
    # p^m - q^m = (p - q) h_m with p - q = -d p q, h_m = Σ_{i<m} p^i q^(m-1-i),
    # h_1 = 1 and h_(m+2) = p² h_m + q^m (p + q).
    h, q_m = 1.0, q
    series = _STIRLING[0] * h
    for c in _STIRLING[1:]:
        h = p * p * h + q_m * (p + q)
        q_m = q_m * q * q
        series = series + c * h
    return (x - 0.5) * jnp.log1p(d / x) + d * jnp.log(u) - d - d * p * q * series


def _shift_log_ratio(eps, r, r_new, b0, b0_new, psi, y, prior, intercept):
    """log of the shift move's acceptance ratio from (r, β₀, ψ) to
    (r_new, b0_new, ψ - eps); r_new = r e^eps and b0_new = b0 - eps as
    rounded."""
    dtype = psi.dtype
    d = r_new - r
    # Row i's log Γ(y_i + r') - log Γ(r') - log Γ(y_i + r) + log Γ(r)
    # = Σ_{k < y_i} log(1 + d / (r + k)): the first _DIRECT_COUNTS terms
    # from a running table, the rest as a difference of Stirling steps.
    ks = jnp.arange(_DIRECT_COUNTS, dtype=dtype)
    table = jnp.concatenate([jnp.zeros(1, dtype), jnp.cumsum(jnp.log1p(d / (r + ks)))])
    direct = jnp.take(table, jnp.minimum(y, _DIRECT_COUNTS).astype(jnp.int32))
    far = jnp.maximum(y, _DIRECT_COUNTS) + r
    gammas = direct + _log_gamma_step(far, d) - _log_gamma_step(_DIRECT_COUNTS + r, d)
    # softplus(ψ - ε) - softplus(ψ) = log1p(σ(ψ) expm1(-ε)), and
    # softplus(ε - ψ) - softplus(-ψ) = log1p(σ(-ψ) expm1(ε)).
    down = jnp.log1p(jax.nn.sigmoid(psi) * jnp.expm1(-eps))
    up = jnp.log1p(jax.nn.sigmoid(-psi) * jnp.expm1(eps))
    rows = gammas - r_new * down - y * up - d * jnp.logaddexp(0.0, psi)
    m0, p0 = prior.mean[intercept], prior.precision[intercept]
    return (
        jnp.sum(rows)
        - 0.5 * p0 * ((b0_new - m0) ** 2 - (b0 - m0) ** 2)
        # Gamma(a, b) prior density times the Jacobian r: r^a e^(-br).
        + prior.r_shape * eps
        - prior.r_rate * d
    )


def shift_move(key, beta, r, psi, y, prior, intercept, shift_scale):
    """Metropolis move of (log r, β₀) along log r + β₀ = const.

    Proposes ε ~ N(0, shift_scale²), r' = r e^ε, β₀' = β₀ - ε (so ψ' = ψ - ε
    and every mean r e^ψ_i is unchanged). The walk is symmetric in
    (log r, β₀); the target there is the posterior density in (r, β₀) times
    r, the Jacobian of r = e^(log r). Returns (β, r, accepted as 0.0/1.0).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(60), rng.normal(size=60)])
      >>> counts = rng.negative_binomial(2.0, 1 / (1 + np.exp(X @ [0.5, 0.3])))
      >>> import jax.numpy as jnp
      >>> X32, y32 = jnp.asarray(X, jnp.float32), jnp.asarray(counts, jnp.float32)
      >>> prior = gibbs.NegBinPrior(mean=jnp.zeros(2), precision=jnp.full(2, 0.01),
      ...                           r_shape=jnp.float32(1.0), r_rate=jnp.float32(0.1))
      >>> psi = X32 @ jnp.array([0.5, 0.3])
      >>> beta = jnp.array([0.5, 0.3])
      >>> beta2, r2, accepted = gibbs.shift_move(jax.random.key(0), beta, jnp.float32(2.0),
      ...                                        psi, y32, prior, 0, 0.3)
      >>> bool(jnp.isclose(jnp.log(r2) + beta2[0], jnp.log(2.0) + 0.5))   # log r + β₀ kept
      True
      >>> float(accepted) in (0.0, 1.0)
      True
    """
    dtype = psi.dtype
    step_key, accept_key = jax.random.split(key)
    eps = shift_scale * jax.random.normal(step_key, (), dtype)
    r_new = r * jnp.exp(eps)
    b0 = beta[intercept]
    b0_new = b0 - eps
    log_ratio = _shift_log_ratio(eps, r, r_new, b0, b0_new, psi, y, prior, intercept)
    accept = jnp.log(jax.random.uniform(accept_key, (), dtype)) < log_ratio
    beta = jnp.where(accept, beta.at[intercept].set(b0_new), beta)
    return beta, jnp.where(accept, r_new, r), accept.astype(dtype)


def negbin_sweep(
    key,
    state,
    X,
    y,
    at_least,
    prior,
    offset=None,
    *,
    intercept=0,
    shift_scale=0.3,
    beta_method="auto",
    proposal=None,
    **pg_options,
):
    """One sweep of :func:`negbin` on explicit data: r | β (CRT), the shift
    move (if ``intercept`` is not None), ω | β, r, then β | ω, r, and with
    ``proposal`` = (centre (p + 1,), scale (p + 1, p + 1)) an
    :func:`independence_move` of (log r, β).

    ``at_least`` is ``count_levels(y, max(y))``; a longer one works too
    (the extra levels are empty), so data sets can be vmapped.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(60), rng.normal(size=60)])
      >>> counts = rng.negative_binomial(2.0, 1 / (1 + np.exp(X @ [0.5, 0.3])))
      >>> import jax.numpy as jnp
      >>> X32, y32 = jnp.asarray(X, jnp.float32), jnp.asarray(counts, jnp.float32)
      >>> prior = gibbs.NegBinPrior(mean=jnp.zeros(2), precision=jnp.full(2, 0.01),
      ...                           r_shape=jnp.float32(1.0), r_rate=jnp.float32(0.1))
      >>> psi = X32 @ jnp.array([0.5, 0.3])
      >>> state = gibbs.NegBinState(beta=jnp.zeros(2), r=jnp.float32(1.0),
      ...                           omega=jnp.zeros(60), shift_accepted=jnp.float32(0.0))
      >>> at_least = gibbs.count_levels(y32, int(counts.max()))
      >>> state = gibbs.negbin_sweep(jax.random.key(0), state, X32, y32, at_least, prior)
      >>> state.beta.shape, state.omega.shape
      ((2,), (60,))
    """
    dtype = X.dtype
    r_key, shift_key, omega_key, beta_key = jax.random.split(key, 4)

    def linear(beta):
        return X @ beta if offset is None else X @ beta + offset

    beta = state.beta
    psi = linear(beta)
    r = draw_r(r_key, at_least, psi, state.r, prior)
    accepted = jnp.zeros((), dtype)
    if intercept is not None:
        beta, r, accepted = shift_move(shift_key, beta, r, psi, y, prior, intercept, shift_scale)
        psi = linear(beta)
    omega = vexol.polya_gamma(omega_key, y + r, psi, dtype=dtype, **pg_options)
    kappa = 0.5 * (y - r)
    beta = draw_beta(
        beta_key, X, omega, kappa, prior.precision, prior.mean, offset=offset, method=beta_method
    )
    global_accepted = jnp.zeros((), jnp.int32)
    if proposal is not None:
        # Last, so that the Gibbs draws of a sweep stay what they were without it.
        def log_target(x):
            return negbin_log_density(x, X, y, at_least, prior, offset)

        x = jnp.concatenate([jnp.log(r)[None], beta])
        x, global_accepted = independence_move(
            jax.random.fold_in(key, GLOBAL_KEY), x, log_target, *proposal
        )
        r, beta = jnp.exp(x[0]), x[1:]
    return NegBinState(
        beta, r, omega, accepted, None if state.global_accepted is None else global_accepted
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
    global_move: str | None = "auto",
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
      global_move: ``"t"``: end each sweep with an independence
        Metropolis-Hastings step of (log r, β) jointly from a multivariate t
        (5 degrees of freedom) at their posterior mode with the Laplace
        covariance (see :func:`independence_move`); None: no such step;
        ``"auto"``: the rule of :func:`logistic` (see :func:`describe`),
        which here picks the t step or nothing.
      offset, beta_method, pg_options, dtype: as in :func:`logistic`.

    Returns:
      A :class:`Gibbs` with state :class:`NegBinState`; ``collect`` keeps
      ``{"beta": (p,), "r": (), "shift_accepted": ()}``, and
      ``"global_accepted"`` with the t step. ``init(key)``
      starts at log r ~ N(0, 1), the intercept at log(mean(y) + 0.5) - log r
      plus N(0, 1), other coefficients at 0.

    The shift move proposes log r' = log r + ε, ε ~ N(0, shift_scale²),
    β₀' = β₀ - ε, and accepts with probability
    min(1, NB(y | r', ψ') N(β₀' | prior) Gamma(r' | a, b) r' /
    (NB(y | r, ψ) N(β₀ | prior) Gamma(r | a, b) r)): the symmetric walk is
    on (log r, β₀), whose Jacobian from r is r. It costs O(n).

    The t step's target is the posterior density of (log r, β): the
    likelihood and both priors times r, the same Jacobian. Its mode and
    covariance are found once, here, on the host in float64 (damped Newton);
    a step then costs two log-likelihood evaluations, O(n p).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(60), rng.normal(size=60)])
      >>> counts = rng.negative_binomial(2.0, 1 / (1 + np.exp(X @ [0.5, 0.3])))
      >>> model = gibbs.negbin(X, counts.astype(float), shift_scale=0.3)
      >>> result = gibbs.run(model, None, jax.random.key(0), sweeps=100, warmup=50,
      ...                    chains=2, progress=False)
      >>> model.report["global_move"]        # the t step, by the rule, on these data
      't'
      >>> sorted(result.draws)
      ['beta', 'global_accepted', 'r', 'shift_accepted']
      >>> result.draws["r"].shape, bool((result.draws["r"] > 0).all())
      ((2, 100), True)
    """
    where = "vexol.gibbs.negbin"
    dtype = float_dtype(dtype, where)
    X_given = X
    X = design(X, dtype, where)
    X_host = np.asarray(X_given, np.float64)
    n, p = X.shape
    y_host = counts(y, n, where)
    if intercept is not None:
        intercept = integer(
            intercept,
            "intercept",
            where,
            0,
            p - 1,
            f"a column index of X in [0, {p}) or None",
        )
        if not np.all(np.asarray(X[:, intercept]) == 1.0):
            raise ValueError(
                f"{where}: column {intercept} of X (intercept) must be all ones for the "
                "shift move; pass intercept=None for a model without one"
            )
    for name, value in (("r_shape", r_shape), ("r_rate", r_rate), ("shift_scale", shift_scale)):
        positive(value, name, where)
    # at_least[k] = number of observations with y_i >= k + 1.
    at_least = count_levels(jnp.asarray(y_host, dtype), int(y_host.max(initial=0)))
    y = jnp.asarray(y_host, dtype)
    mean, precision = gaussian_prior(p, prior_mean, prior_sd, dtype, where)
    prior = NegBinPrior(mean, precision, jnp.asarray(r_shape, dtype), jnp.asarray(r_rate, dtype))
    offset, offset_host = offsets(offset, n, dtype, where)
    pg = sweep_options(beta_method, pg_options, where)
    start = float(np.log(y_host.mean() + 0.5))
    _global.check_move(global_move, where, _global.T_OR_NOTHING)
    mode, scale, slowdown, acceptance = _global.negbin_laplace(
        X_host,
        y_host,
        *host_prior(p, prior_mean, prior_sd),
        float(r_shape),
        float(r_rate),
        offset_host,
    )
    chosen = _global.choose_move(global_move, acceptance, slowdown, where, _global.T_OR_NOTHING)
    proposal = None
    if chosen == "t":
        proposal = (jnp.asarray(mode, dtype), jnp.asarray(scale, dtype))
    report = _global.build_report(
        where,
        f"n = {n}, p = {p}",
        [_global.block_report("(log r, beta)", slowdown, acceptance)],
        global_move,
        chosen,
        _global.sweep_cost(n, p, 1, beta_method, 0, chosen),
        mode=mode,
        scale=scale,
    )

    def init(key):
        r_key, b_key = jax.random.split(key)
        log_r = jax.random.normal(r_key, (), dtype)
        beta = jnp.zeros(p, dtype)
        if intercept is not None:
            beta = beta.at[intercept].set(start - log_r + jax.random.normal(b_key, (), dtype))
        return NegBinState(
            beta,
            jnp.exp(log_r),
            jnp.zeros(n, dtype),
            jnp.zeros((), dtype),
            jnp.zeros((), jnp.int32),
        )

    def step(key, state):
        return negbin_sweep(
            key,
            state,
            X,
            y,
            at_least,
            prior,
            offset,
            intercept=intercept,
            shift_scale=shift_scale,
            beta_method=beta_method,
            proposal=proposal,
            **pg,
        )

    def collect(state):
        kept = {"beta": state.beta, "r": state.r, "shift_accepted": state.shift_accepted}
        if proposal is not None:
            kept["global_accepted"] = state.global_accepted
        return kept

    def log_likelihood(draws):
        psi = linear_predictor(draws["beta"], X_host, offset_host)
        r = np.asarray(draws["r"], np.float64)[..., None]
        # As nb_log_likelihood, elementwise: log(1 - p) = -softplus(ψ).
        return (
            special.gammaln(y_host + r)
            - special.gammaln(r)
            - special.gammaln(y_host + 1.0)
            - r * np.logaddexp(0.0, psi)
            - y_host * np.logaddexp(0.0, -psi)
        )

    return Gibbs(
        init,
        step,
        collect,
        log_likelihood,
        {"y": y_host},
        ("shift_accepted", "global_accepted"),
        report,
    )
