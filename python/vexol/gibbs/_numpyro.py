"""The samplers of this package inside NumPyro.

Two ways in. ``HMCGibbs(NUTS(model), gibbs_fn=..., gibbs_sites=[...])`` and
NumPyro's block kernel ``Gibbs([(CustomGibbs(gibbs_fn), [...]), (NUTS(model),
None)])`` alternate a NUTS move of the other sites with ``gibbs_fn(rng_key,
gibbs_sites, hmc_sites) -> dict``, which must draw its sites from their full
conditional given the others (CustomGibbs passes them by keyword, hence the
argument names). The ``*_gibbs_fn`` builders make one per model, with the
same β | ω update as the samplers of this package; they need nothing from
NumPyro themselves. All share one pattern (:func:`_block_fn`): flatten the
Gibbs sites into the coefficient array, draw, split back, so a new model's
adapter is its conditional draw only. And :func:`numpyro_kernel` runs a
whole :class:`~vexol.gibbs.Gibbs` model as a ``numpyro.infer.MCMC`` kernel,
for NumPyro's chains, progress bar and summaries.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple

import jax
import jax.numpy as jnp
import numpy as np

import vexol
from vexol.gibbs._gaussian import draw_beta
from vexol.gibbs._kernels import KernelState, as_kernel
from vexol.gibbs._logistic import (
    HierarchicalLogisticState,
    binomial_data,
    hierarchical_sweep,
    scale_prior,
)
from vexol.gibbs._model import (
    Gibbs,
    as_offset,
    design,
    first_bad,
    float_dtype,
    host_numbers,
    per_element,
    sweep_options,
)
from vexol.gibbs._multinomial import multinomial_data
from vexol.gibbs._negbin import counts

GibbsFn = Callable[[jax.Array, Mapping[str, Any], Mapping[str, Any]], dict[str, jax.Array]]


def _sites(sites: str | Sequence[str]) -> list[str]:
    return [sites] if isinstance(sites, str) else list(sites)


def _join(sites: Mapping[str, Any], names: list[str], rows: int | None, dtype: Any) -> jax.Array:
    """The coefficients: the sites flattened and concatenated in order, as a
    vector, or with ``rows`` (one per stick) along the last axis."""
    shape = (-1,) if rows is None else (rows, -1)
    return jnp.concatenate([jnp.reshape(sites[s], shape) for s in names], axis=-1).astype(dtype)


def _split(coefficients: jax.Array, template: Mapping[str, Any], names: list[str]) -> dict:
    """The inverse of :func:`_join`: each site back in its own shape."""
    rows = coefficients.shape[:-1]
    out, at = {}, 0
    for name in names:
        shape = jnp.shape(template[name])
        size = int(np.prod(shape, dtype=np.int64)) // int(np.prod(rows, dtype=np.int64))
        out[name] = coefficients[..., at : at + size].reshape(shape)
        at += size
    return out


def _block_fn(names: list[str], dtype: Any, draw: Callable, rows: int | None = None) -> GibbsFn:
    """The pattern every adapter shares: the Gibbs sites as one coefficient
    array (``rows`` sticks, or a vector), ``draw(key, coefficients, gibbs_sites,
    hmc_sites) -> (coefficients, {other site: value})``, and the coefficients
    split back into their sites. A new model's adapter is its ``draw``."""

    def gibbs_fn(rng_key, gibbs_sites, hmc_sites):
        beta = _join(gibbs_sites, names, rows, dtype)
        beta, others = draw(rng_key, beta, gibbs_sites, hmc_sites)
        return {**_split(beta, gibbs_sites, names), **others}

    return gibbs_fn


def _check_precision(prior_precision: Any, p: int, where: str) -> None:
    # A function of the HMC sites is only known inside the sampler.
    if not callable(prior_precision):
        given = host_numbers(prior_precision, "prior_precision", where)
        per_element(given, "prior_precision", p, "coefficient", where)
        first_bad(where, "prior_precision", given, ~(given > 0), "prior_precision must be positive")


def _prior(prior_precision: Any, hmc_sites: Mapping[str, Any], p: int, dtype: Any):
    value = prior_precision(hmc_sites) if callable(prior_precision) else prior_precision
    return jnp.broadcast_to(jnp.asarray(value, dtype), (p,))


def logistic_gibbs_fn(
    X: Any,
    y: Any,
    *,
    sites: str | Sequence[str] = "beta",
    prior_precision: Any,
    trials: Any = None,
    offset: Any = None,
    beta_method: str = "auto",
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> GibbsFn:
    """``gibbs_fn`` drawing logistic/binomial coefficients given the HMC sites.

    Model: y_i ~ Binomial(n_i, σ(x_i'β + offset_i)), β ~ N(0, diag(1/P)),
    where β is the concatenation, in order, of the flattened ``sites`` (e.g.
    ``("alpha", "beta")`` for a scalar intercept site and a slope vector, X
    then starting with its column of ones).

    Args:
      prior_precision: P, a scalar or (p,), or a function of the
        ``hmc_sites`` dict returning one (e.g. ``lambda s: jnp.concatenate(
        [jnp.array([1 / 25]), jnp.full(p - 1, s["tau"] ** -2)])``).
      others: as in :func:`vexol.gibbs.logistic`.

    Returns:
      ``gibbs_fn(rng_key, gibbs_sites, hmc_sites) -> {site: draw}``: draws
      ω ~ PG(n_i, ψ_i) at the current coefficients, then β | ω.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> import numpyro, numpyro.distributions as dist
      >>> from numpyro.infer import MCMC, NUTS, HMCGibbs
      >>> def model():
      ...     tau = numpyro.sample("tau", dist.HalfNormal(2.0))
      ...     beta = numpyro.sample("beta", dist.Normal(0.0, tau).expand([2]).to_event(1))
      ...     numpyro.sample("y", dist.Bernoulli(logits=X @ beta), obs=y)
      >>> fn = gibbs.logistic_gibbs_fn(X, y, prior_precision=lambda s: s["tau"] ** -2)
      >>> kernel = HMCGibbs(NUTS(model), gibbs_fn=fn, gibbs_sites=["beta"])
      >>> mcmc = MCMC(kernel, num_warmup=50, num_samples=50, progress_bar=False)
      >>> mcmc.run(jax.random.key(0))
      >>> mcmc.get_samples()["beta"].shape
      (50, 2)
    """
    where = "vexol.gibbs.logistic_gibbs_fn"
    dtype = float_dtype(dtype, where)
    X, y, h, _ = binomial_data(X, y, trials, dtype, where)
    n, p = X.shape
    names = _sites(sites)
    kappa = y - 0.5 * h
    offset = as_offset(offset, n, dtype, where)
    _check_precision(prior_precision, p, where)
    pg = sweep_options(beta_method, pg_options, where)

    def draw(rng_key, beta, gibbs_sites, hmc_sites):
        omega_key, beta_key = jax.random.split(rng_key)
        psi = X @ beta if offset is None else X @ beta + offset
        omega = vexol.polya_gamma(omega_key, h, psi, dtype=dtype, **pg)
        precision = _prior(prior_precision, hmc_sites, p, dtype)
        beta = draw_beta(beta_key, X, omega, kappa, precision, offset=offset, method=beta_method)
        return beta, {}

    return _block_fn(names, dtype, draw)


def negbin_gibbs_fn(
    X: Any,
    y: Any,
    *,
    sites: str | Sequence[str] = "beta",
    r_site: str = "r",
    prior_precision: Any,
    offset: Any = None,
    beta_method: str = "auto",
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> GibbsFn:
    """``gibbs_fn`` drawing negative-binomial coefficients given r (an HMC site).

    Model: y_i ~ NB(r, σ(x_i'β + offset_i)) (mean r e^ψ, NumPyro's
    ``NegativeBinomialLogits(r, psi)``), β ~ N(0, diag(1/P)), β the
    concatenation of ``sites``; r is read from ``hmc_sites[r_site]``.

    Returns:
      ``gibbs_fn`` drawing ω ~ PG(y_i + r, ψ_i), then β | ω, r with
      κ = (y - r)/2.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(60), rng.normal(size=60)])
      >>> counts = rng.negative_binomial(2.0, 1 / (1 + np.exp(X @ [0.5, 0.3])))
      >>> import numpyro, numpyro.distributions as dist
      >>> from numpyro.infer import MCMC, NUTS, HMCGibbs
      >>> def model():
      ...     r = numpyro.sample("r", dist.Gamma(1.0, 0.1))
      ...     beta = numpyro.sample("beta", dist.Normal(0.0, 10.0).expand([2]).to_event(1))
      ...     logits = X @ beta
      ...     numpyro.sample("y", dist.NegativeBinomialLogits(r, logits), obs=counts)
      >>> fn = gibbs.negbin_gibbs_fn(X, counts.astype(float), prior_precision=np.full(2, 0.01))
      >>> kernel = HMCGibbs(NUTS(model), gibbs_fn=fn, gibbs_sites=["beta"])
      >>> mcmc = MCMC(kernel, num_warmup=50, num_samples=50, progress_bar=False)
      >>> mcmc.run(jax.random.key(0))
      >>> mcmc.get_samples()["r"].shape
      (50,)
    """
    where = "vexol.gibbs.negbin_gibbs_fn"
    dtype = float_dtype(dtype, where)
    X = design(X, dtype, where)
    n, p = X.shape
    names = _sites(sites)
    y = jnp.asarray(counts(y, n, where), dtype)
    offset = as_offset(offset, n, dtype, where)
    _check_precision(prior_precision, p, where)
    pg = sweep_options(beta_method, pg_options, where)

    def draw(rng_key, beta, gibbs_sites, hmc_sites):
        omega_key, beta_key = jax.random.split(rng_key)
        r = jnp.asarray(hmc_sites[r_site], dtype)
        psi = X @ beta if offset is None else X @ beta + offset
        omega = vexol.polya_gamma(omega_key, y + r, psi, dtype=dtype, **pg)
        precision = _prior(prior_precision, hmc_sites, p, dtype)
        kappa = 0.5 * (y - r)
        beta = draw_beta(beta_key, X, omega, kappa, precision, offset=offset, method=beta_method)
        return beta, {}

    return _block_fn(names, dtype, draw)


def multinomial_gibbs_fn(
    X: Any,
    y: Any,
    *,
    sites: str | Sequence[str] = "beta",
    prior_precision: Any,
    num_classes: int | None = None,
    offsets: bool = True,
    beta_method: str = "auto",
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> GibbsFn:
    """``gibbs_fn`` drawing stick-breaking multinomial coefficients given the HMC sites.

    Model: as :func:`vexol.gibbs.multinomial`, stick k's logit
    ψ_k = Xβ_k + c_k (c_k = -log(K-1-k), or 0 with ``offsets=False``),
    β_k ~ N(0, diag(1/P_k)). The coefficients (K-1, p) are the ``sites``
    concatenated along their last axis, each reshaped to K-1 rows: one
    (K-1, p) site, or e.g. ``("alpha", "beta")`` with intercepts (K-1,) and
    slopes (K-1, p-1), X then starting with its column of ones.

    Args:
      prior_precision: P, a scalar, (p,) (every stick), (K-1, p), or a
        function of the ``hmc_sites`` dict returning one.
      others: as in :func:`vexol.gibbs.multinomial`.

    Returns:
      ``gibbs_fn(rng_key, gibbs_sites, hmc_sites) -> {site: draw}``: draws
      ω_ik ~ PG(N_ik, ψ_ik) at the current coefficients in one vexol call,
      then the K-1 independent β_k | ω_k.

    Raises:
      ValueError: for data :func:`vexol.gibbs.multinomial` refuses, or a
        ``prior_precision`` of another shape or not positive.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(60), rng.normal(size=60)])
      >>> labels = np.digitize(X[:, 1] + rng.normal(scale=0.5, size=60), [-0.5, 0.5])
      >>> import numpyro, numpyro.distributions as dist
      >>> from numpyro.infer import MCMC, NUTS, HMCGibbs
      >>> def model():
      ...     s = numpyro.sample("s", dist.HalfNormal(2.0))
      ...     beta = numpyro.sample("beta", dist.Normal(0.0, s).expand([2, 2]).to_event(2))
      ...     c = gibbs.stick_breaking_offsets(3)
      ...     probs = gibbs.stick_breaking_probabilities(X @ beta.T + c)
      ...     numpyro.sample("y", dist.Categorical(probs=probs), obs=labels)
      >>> fn = gibbs.multinomial_gibbs_fn(X, labels, prior_precision=lambda s: s["s"] ** -2)
      >>> kernel = HMCGibbs(NUTS(model), gibbs_fn=fn, gibbs_sites=["beta"])
      >>> mcmc = MCMC(kernel, num_warmup=50, num_samples=50, progress_bar=False)
      >>> mcmc.run(jax.random.key(0))
      >>> mcmc.get_samples()["beta"].shape
      (50, 2, 2)
    """
    where = "vexol.gibbs.multinomial_gibbs_fn"
    dtype = float_dtype(dtype, where)
    X, Y, trials, kappa, c = multinomial_data(X, y, num_classes, offsets, dtype, where)
    n, p = X.shape
    K = Y.shape[1]
    names = _sites(sites)
    if not callable(prior_precision):
        given = host_numbers(prior_precision, "prior_precision", where)
        if given.shape not in ((), (p,), (K - 1, p)):
            raise ValueError(
                f"{where}: prior_precision has shape {given.shape}; it must be a scalar, "
                f"({p},) or ({K - 1}, {p})"
            )
        first_bad(where, "prior_precision", given, ~(given > 0), "prior_precision must be positive")
    pg = sweep_options(beta_method, pg_options, where)

    def draw(rng_key, beta, gibbs_sites, hmc_sites):
        omega_key, beta_key = jax.random.split(rng_key)
        omega = vexol.polya_gamma(omega_key, trials, X @ beta.T + c, dtype=dtype, **pg)
        value = prior_precision(hmc_sites) if callable(prior_precision) else prior_precision
        precision = jnp.broadcast_to(jnp.asarray(value, dtype), (K - 1, p))

        def one_stick(key, omega, kappa, offset, precision):
            offset = jnp.broadcast_to(offset, (n,))
            return draw_beta(key, X, omega, kappa, precision, offset=offset, method=beta_method)

        keys = jax.random.split(beta_key, K - 1)
        return jax.vmap(one_stick)(keys, omega.T, kappa.T, c, precision), {}

    return _block_fn(names, dtype, draw, rows=K - 1)


def hierarchical_gibbs_fn(
    X: Any,
    y: Any,
    *,
    sites: str | Sequence[str] = "beta",
    tau2_site: str = "tau2",
    trials: Any = None,
    unpenalized: Sequence[int] = (0,),
    unpenalized_sd: float = 5.0,
    tau2_shape: float = 1.0,
    tau2_scale: float = 1.0,
    offset: Any = None,
    beta_method: str = "auto",
    pg_options: Mapping[str, Any] | None = None,
    dtype: Any = None,
) -> GibbsFn:
    """``gibbs_fn`` drawing the coefficients and their shared prior variance.

    Model: as :func:`vexol.gibbs.hierarchical_logistic`: β_j ~
    N(0, unpenalized_sd²) for j in ``unpenalized``, N(0, τ²) for the
    others, τ² ~ InvGamma(tau2_shape, tau2_scale), y_i ~ Binomial(n_i,
    σ(x_i'β + offset_i)); β the concatenation of ``sites`` (as in
    :func:`logistic_gibbs_fn`), τ² the site ``tau2_site``. Both are Gibbs
    sites: give them to HMCGibbs or to a CustomGibbs block together, the
    model's other sites to NUTS.

    Returns:
      ``gibbs_fn(rng_key, gibbs_sites, hmc_sites)`` making one sweep of
      :func:`vexol.gibbs.hierarchical_sweep`: ω | β, β | ω, τ², τ² | β.

    Raises:
      ValueError: as :func:`vexol.gibbs.hierarchical_logistic`.

    Examples:
      >>> import jax, jax.numpy as jnp, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> import numpyro, numpyro.distributions as dist
      >>> from numpyro.infer import MCMC, NUTS, Gibbs, CustomGibbs
      >>> def model():
      ...     tau2 = numpyro.sample("tau2", dist.InverseGamma(1.0, 1.0))
      ...     scale = jnp.stack([5.0, jnp.sqrt(tau2)])     # the intercept keeps sd 5
      ...     beta = numpyro.sample("beta", dist.Normal(0.0, scale).to_event(1))
      ...     numpyro.sample("y", dist.Bernoulli(logits=X @ beta), obs=y)
      >>> fn = gibbs.hierarchical_gibbs_fn(X, y)
      >>> # NUTS takes the model's other sites (here none).
      >>> kernel = Gibbs([(CustomGibbs(fn), ["beta", "tau2"]), (NUTS(model), None)])
      >>> mcmc = MCMC(kernel, num_warmup=50, num_samples=50, progress_bar=False)
      >>> mcmc.run(jax.random.key(0))
      >>> mcmc.get_samples()["beta"].shape, mcmc.get_samples()["tau2"].shape
      ((50, 2), (50,))
    """
    where = "vexol.gibbs.hierarchical_gibbs_fn"
    dtype = float_dtype(dtype, where)
    X, y, h, _ = binomial_data(X, y, trials, dtype, where)
    n, p = X.shape
    names = _sites(sites)
    _, prior = scale_prior(p, unpenalized, unpenalized_sd, tau2_shape, tau2_scale, dtype, where)
    offset = as_offset(offset, n, dtype, where)
    pg = sweep_options(beta_method, pg_options, where)

    def draw(rng_key, beta, gibbs_sites, hmc_sites):
        # The sweep never reads ω; the state only carries its shape.
        tau2 = jnp.asarray(gibbs_sites[tau2_site], dtype)
        state = HierarchicalLogisticState(beta, tau2, jnp.zeros(n, dtype))
        state = hierarchical_sweep(
            rng_key, state, X, y, h, prior, offset, beta_method=beta_method, **pg
        )
        return state.beta, {tau2_site: state.tau2.reshape(jnp.shape(gibbs_sites[tau2_site]))}

    return _block_fn(names, dtype, draw)


class NumPyroGibbsState(NamedTuple):
    """State of :func:`numpyro_kernel` inside ``numpyro.infer.MCMC``.

    Attributes:
      z: ``{name: array}``, the position (the model's parameters); MCMC's
        samples.
      sweep: the model's own state.
      stats: ``{name: array}``, the last sweep's acceptance statistics
        (``extra_fields=("stats",)`` keeps them).
      rng_key: the key of the next sweep.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> X = np.column_stack([np.ones(4), [0.0, 1.0, 2.0, 3.0]])
      >>> kernel = gibbs.numpyro_kernel(gibbs.logistic(X, np.array([0.0, 0.0, 1.0, 1.0])))
      >>> state = kernel.init(jax.random.key(0), 0, None, (), {})
      >>> type(state).__name__, sorted(state.z)
      ('NumPyroGibbsState', ['beta'])
    """

    z: dict[str, jax.Array]
    sweep: Any
    stats: dict[str, jax.Array]
    rng_key: jax.Array


@functools.cache
def _kernel_class():
    # Built on first use: NumPyro is an optional extra, not imported with vexol.
    from numpyro.infer.mcmc import MCMCKernel

    class VexolGibbs(MCMCKernel):
        """A :class:`vexol.gibbs.Gibbs` model as a ``numpyro.infer.MCMC`` kernel."""

        sample_field = "z"

        def __init__(self, model, to_state=None):
            self.gibbs = model
            self._kernel = as_kernel(model, to_state=to_state)
            self._sample = self._sample_one

        @property
        def model(self):
            # No NumPyro model: the likelihood lives in the vexol model.
            return None

        def init(self, rng_key, num_warmup, init_params, model_args, model_kwargs):
            # Warmup sweeps are plain sweeps: a Gibbs sweep has nothing to tune.
            if jnp.ndim(rng_key) > 0:
                # chain_method="vectorized" gives one key per chain, and the
                # kernel vmaps its own sweeps (as NumPyro's HMC does).
                self._sample = jax.vmap(self._sample_one)
                return jax.vmap(self._init_one)(rng_key, init_params or None)
            self._sample = self._sample_one
            return self._init_one(rng_key, init_params)

        def _init_one(self, rng_key, init_params):
            rng_key, init_key = jax.random.split(rng_key)
            if init_params:
                state = self._kernel.init(init_params, init_key)
            else:
                sweep = self.gibbs.init(init_key)
                stats = self.gibbs.sample_stats
                position = {k: v for k, v in self.gibbs.collect(sweep).items() if k not in stats}
                state = KernelState(position, sweep)
            # The statistics' structure, for a loop carry, without running a sweep.
            info = jax.eval_shape(self._kernel.step, init_key, state)[1]
            stats = jax.tree.map(lambda a: jnp.zeros(a.shape, a.dtype), info.stats)
            return NumPyroGibbsState(state.position, state.sweep, stats, rng_key)

        def sample(self, state, model_args, model_kwargs):
            return self._sample(state)

        def _sample_one(self, state):
            rng_key, step_key = jax.random.split(state.rng_key)
            new, info = self._kernel.step(step_key, KernelState(state.z, state.sweep))
            return NumPyroGibbsState(new.position, new.sweep, info.stats, rng_key)

        def get_diagnostics_str(self, state):
            return ", ".join(f"{k} {int(jnp.sum(v))}" for k, v in state.stats.items())

    return VexolGibbs


def numpyro_kernel(model: Gibbs, *, to_state: Callable | None = None) -> Any:
    """A :class:`Gibbs` model as a ``numpyro.infer.MCMC`` kernel.

    NumPyro's MCMC then runs the model's sweeps: its chain methods
    (``"vectorized"`` vmaps the chains like :func:`vexol.gibbs.run`), its
    progress bar, ``get_samples``, ``print_summary`` and ``extra_fields``.
    Any :class:`Gibbs` works, built-in or your own. Warmup sweeps are plain
    sweeps (nothing to adapt) that MCMC discards.

    Args:
      model: a :class:`Gibbs`.
      to_state: as in :func:`as_kernel`, to put ``init_params`` into the
        model's state.

    Returns:
      A ``numpyro.infer.mcmc.MCMCKernel`` whose state is a
      :class:`NumPyroGibbsState`; its samples are the position
      (``collect`` without the statistics), ``init_params`` a position to
      start from (else ``model.init``). It has no NumPyro model, so it is
      not a block of ``numpyro.infer.Gibbs``: for that use a
      ``*_gibbs_fn`` in ``CustomGibbs``.

    Raises:
      ModuleNotFoundError: without NumPyro (the ``numpyro`` extra).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> from numpyro.infer import MCMC
      >>> kernel = gibbs.numpyro_kernel(gibbs.logistic(X, y))
      >>> mcmc = MCMC(kernel, num_warmup=20, num_samples=100, num_chains=2,
      ...             chain_method="vectorized", progress_bar=False)
      >>> mcmc.run(jax.random.key(0))
      >>> mcmc.get_samples(group_by_chain=True)["beta"].shape
      (2, 100, 2)
    """
    if not isinstance(model, Gibbs):
        raise TypeError(
            f"vexol.gibbs.numpyro_kernel: model must be a vexol.gibbs.Gibbs, got {model!r}"
        )
    return _kernel_class()(model, to_state)
