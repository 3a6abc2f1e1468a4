"""Gibbs updates in the form numpyro.infer.HMCGibbs wants.

``HMCGibbs(NUTS(model), gibbs_fn=..., gibbs_sites=[...])`` alternates a NUTS
move of the other sites with ``gibbs_fn(rng_key, gibbs_sites, hmc_sites) ->
dict``, which must draw the Gibbs sites from their full conditional given
the HMC sites. The functions here build such ``gibbs_fn``; they use the same
β | ω update as the samplers of this package, and need nothing from NumPyro
themselves (NumPyro is only needed to run HMCGibbs).
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any

import jax
import jax.numpy as jnp
import numpy as np

import vexol
from vexol.gibbs._gaussian import draw_beta
from vexol.gibbs._logistic import binomial_data
from vexol.gibbs._model import (
    as_offset,
    design,
    first_bad,
    float_dtype,
    host_numbers,
    per_element,
    pg_keywords,
)
from vexol.gibbs._model import beta_method as check_beta_method
from vexol.gibbs._negbin import counts

GibbsFn = Callable[[jax.Array, Mapping[str, Any], Mapping[str, Any]], dict[str, jax.Array]]


def _sites(sites: str | Sequence[str]) -> list[str]:
    return [sites] if isinstance(sites, str) else list(sites)


def _split(vector: jax.Array, template: Mapping[str, Any], names: list[str]) -> dict:
    out, at = {}, 0
    for name in names:
        shape = jnp.shape(template[name])
        size = int(np.prod(shape, dtype=np.int64))
        out[name] = vector[at : at + size].reshape(shape)
        at += size
    return out


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
    check_beta_method(beta_method, where)
    pg = pg_keywords(pg_options, where)

    def gibbs_fn(rng_key, gibbs_sites, hmc_sites):
        omega_key, beta_key = jax.random.split(rng_key)
        beta = jnp.concatenate([jnp.ravel(gibbs_sites[s]) for s in names]).astype(dtype)
        psi = X @ beta if offset is None else X @ beta + offset
        omega = vexol.polya_gamma(omega_key, h, psi, dtype=dtype, **pg)
        precision = _prior(prior_precision, hmc_sites, p, dtype)
        beta = draw_beta(beta_key, X, omega, kappa, precision, offset=offset, method=beta_method)
        return _split(beta, gibbs_sites, names)

    return gibbs_fn


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
    check_beta_method(beta_method, where)
    pg = pg_keywords(pg_options, where)

    def gibbs_fn(rng_key, gibbs_sites, hmc_sites):
        omega_key, beta_key = jax.random.split(rng_key)
        r = jnp.asarray(hmc_sites[r_site], dtype)
        beta = jnp.concatenate([jnp.ravel(gibbs_sites[s]) for s in names]).astype(dtype)
        psi = X @ beta if offset is None else X @ beta + offset
        omega = vexol.polya_gamma(omega_key, y + r, psi, dtype=dtype, **pg)
        precision = _prior(prior_precision, hmc_sites, p, dtype)
        kappa = 0.5 * (y - r)
        beta = draw_beta(beta_key, X, omega, kappa, precision, offset=offset, method=beta_method)
        return _split(beta, gibbs_sites, names)

    return gibbs_fn
