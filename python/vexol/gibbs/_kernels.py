"""A model's sweep as a BlackJAX-shaped kernel, to compose with other samplers.

BlackJAX's samplers are a NamedTuple ``(init, step)`` of pure functions:
``init(position, rng_key) -> state`` and ``step(rng_key, state) -> (state,
info)``, with the chain's parameters in ``state.position``. A :class:`Gibbs`
already has a pure sweep; :func:`as_kernel` only moves between the two
shapes, for any model, so that a model added later gets it without code of
its own. Nothing here imports BlackJAX: the kernel is duck-typed like
``blackjax.base.SamplingAlgorithm`` and runs in ``blackjax.util``'s loops,
inside a hand-written Gibbs scheme next to a BlackJAX kernel of another
block, or in a plain ``lax.scan``.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

import jax
import jax.numpy as jnp

from vexol.gibbs._model import Gibbs


class KernelState(NamedTuple):
    """State of an :func:`as_kernel` kernel.

    Attributes:
      position: ``{name: array}``, the model's parameters as ``collect``
        returns them, without its sampler statistics.
      sweep: the model's own state, what its ``step`` takes (with the
        latent ω of the last sweep, which no sweep reads).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> X = np.column_stack([np.ones(4), [0.0, 1.0, 2.0, 3.0]])
      >>> kernel = gibbs.as_kernel(gibbs.logistic(X, np.array([0.0, 0.0, 1.0, 1.0])))
      >>> state = kernel.init({"beta": np.zeros(2)}, jax.random.key(0))
      >>> sorted(state.position), type(state.sweep).__name__
      (['beta'], 'LogisticState')
    """

    position: dict[str, jax.Array]
    sweep: Any


class KernelInfo(NamedTuple):
    """What one sweep reports besides the new state.

    Attributes:
      stats: ``{name: array}``, the sweep's acceptance statistics: the
        entries of ``collect`` that the model lists in ``sample_stats``
        (e.g. ``accepted``, the direction moves taken), empty for a sweep
        of conditionally conjugate draws only, which always move.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> X = np.column_stack([np.ones(4), [0.0, 1.0, 2.0, 3.0]])
      >>> model = gibbs.logistic(X, np.array([0.0, 1.0, 0.0, 1.0]), slow_directions=1)
      >>> kernel = gibbs.as_kernel(model)
      >>> state = kernel.init({"beta": np.zeros(2)})
      >>> state, info = kernel.step(jax.random.key(1), state)
      >>> "accepted" in info.stats, info.stats["accepted"].dtype
      (True, dtype('int32'))
    """

    stats: dict[str, jax.Array]


class Kernel(NamedTuple):
    """A BlackJAX-shaped kernel: the pair ``(init, step)``.

    The same shape as ``blackjax.base.SamplingAlgorithm``, so BlackJAX's
    loop helpers (``blackjax.util.run_inference_algorithm``) take it as one
    of their own.

    Attributes:
      init: ``init(position, rng_key=None) -> KernelState``.
      step: ``step(rng_key, state) -> (KernelState, KernelInfo)``, one sweep.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> model = gibbs.Gibbs(init=lambda key: jax.numpy.zeros(()),
      ...                     step=lambda key, mu: 1.0 + jax.random.normal(key),
      ...                     collect=lambda mu: {"mu": mu})
      >>> kernel = gibbs.as_kernel(model, to_state=lambda position, template: position["mu"])
      >>> isinstance(kernel, gibbs.Kernel), kernel._fields
      (True, ('init', 'step'))
    """

    init: Callable[..., KernelState]
    step: Callable[[jax.Array, KernelState], tuple[KernelState, KernelInfo]]


def _replace_fields(position: Mapping[str, Any], template: Any) -> Any:
    """template with the fields named in position replaced, each cast to the
    field's dtype and checked for its shape."""
    fields = getattr(template, "_fields", None)
    if fields is None:
        raise TypeError(
            "vexol.gibbs.as_kernel: the model's state is not a NamedTuple, so a position "
            "cannot be put into it by field name; pass to_state(position, template) -> state"
        )
    unknown = sorted(set(position) - set(fields))
    if unknown:
        raise ValueError(
            f"vexol.gibbs.as_kernel: position has {unknown}, which are not fields of "
            f"{type(template).__name__} {fields}; pass to_state for a model whose collect "
            "renames its state"
        )
    values = {}
    for name, value in position.items():
        field = getattr(template, name)
        value = jnp.asarray(value, field.dtype)
        if value.shape != field.shape:
            raise ValueError(
                f"vexol.gibbs.as_kernel: position[{name!r}] has shape {value.shape}; the "
                f"model's {name} has shape {field.shape}"
            )
        values[name] = value
    return template._replace(**values)


def as_kernel(
    model: Gibbs,
    *,
    to_state: Callable[[Mapping[str, jax.Array], Any], Any] | None = None,
) -> Kernel:
    """A model's sweep, or one block's conditional draw, as a BlackJAX-shaped kernel.

    For a :class:`Gibbs`, the position is what ``model.collect`` returns
    without the sampler statistics (``model.sample_stats``): for the
    built-in models ``beta``, and ``tau2`` or ``r``. The latent ω is drawn
    inside each step and is not part of it, so any position is a valid
    start.

    For a ``gibbs_fn`` (:func:`logistic_gibbs_fn` and the other adapters),
    the kernel is one block of a Gibbs scheme you write, e.g. next to a
    BlackJAX kernel of a hyperparameter: the position is the block's sites,
    and ``step(rng_key, state, given)`` draws them given ``given``, the
    other blocks' current values (what the adapter reads as ``hmc_sites``).

    Args:
      model: a :class:`Gibbs`, built-in or your own, or a ``gibbs_fn``.
      to_state: ``to_state(position, template) -> state``, puts a position
        into a state of the model, ``template`` being ``model.init(rng_key)``.
        By default the position's entries replace the NamedTuple fields of
        the same name (the other fields, e.g. auxiliary scales that collect
        leaves out, keep the template's start); needed only when the state
        is not a NamedTuple or collect renames its fields.

    Returns:
      A :class:`Kernel` ``(init, step)``: ``init(position, rng_key=None)``
      (the key only for ``model.init``'s template; ``key(0)`` when None),
      ``step(rng_key, state) -> (KernelState, KernelInfo)``, one sweep of
      ``model.step``. Both are pure and jittable, and vmap over chains. For
      a ``gibbs_fn``: ``init(position)``, ``step(rng_key, state, given)``,
      ``sweep`` None and no statistics.

    Raises:
      ValueError: at ``init``, for a position entry that is not a field of
        the state or has another shape than the field.
      TypeError: at ``init``, for a state that is not a NamedTuple and no
        ``to_state``.

    Examples:
      Run the logistic sampler with BlackJAX's loop (needs ``vexol[blackjax]``):

      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> kernel = gibbs.as_kernel(gibbs.logistic(X, y))
      >>> import blackjax
      >>> final, (states, infos) = blackjax.util.run_inference_algorithm(
      ...     jax.random.key(0), kernel, num_steps=200,
      ...     initial_position={"beta": np.zeros(2)})
      >>> states.position["beta"].shape, states.position["beta"].dtype
      ((200, 2), dtype('float32'))

      A Metropolis-within-Gibbs scheme: BlackJAX's random walk on log τ
      given β, then β | τ from the logistic adapter:

      >>> import jax.numpy as jnp
      >>> fn = gibbs.logistic_gibbs_fn(
      ...     X, y, prior_precision=lambda s: jnp.stack([0.04, jnp.exp(-2 * s["log_tau"])]))
      >>> beta_kernel = gibbs.as_kernel(fn)
      >>> def log_tau_density(log_tau, beta):   # N(β_1; 0, τ²), τ ~ HalfNormal(1), on log τ
      ...     return -0.5 * (beta[1] / jnp.exp(log_tau)) ** 2 - 0.5 * jnp.exp(2 * log_tau)
      >>> def sweep(carry, key):
      ...     beta_state, log_tau = carry
      ...     tau_key, beta_key = jax.random.split(key)
      ...     beta = beta_state.position["beta"]
      ...     rw = blackjax.normal_random_walk(lambda t: log_tau_density(t, beta), 0.5)
      ...     log_tau = rw.step(tau_key, rw.init(log_tau))[0].position
      ...     beta_state, _ = beta_kernel.step(beta_key, beta_state, {"log_tau": log_tau})
      ...     return (beta_state, log_tau), log_tau
      >>> start = (beta_kernel.init({"beta": jnp.zeros(2)}), jnp.zeros(()))
      >>> _, log_taus = jax.lax.scan(sweep, start, jax.random.split(jax.random.key(1), 100))
      >>> log_taus.shape
      (100,)
    """
    if not isinstance(model, Gibbs):
        if callable(model) and to_state is None:
            return _conditional_kernel(model)
        raise TypeError(
            f"vexol.gibbs.as_kernel: model must be a vexol.gibbs.Gibbs or a gibbs_fn, got {model!r}"
        )
    stats = tuple(model.sample_stats)
    put = _replace_fields if to_state is None else to_state

    def split(sweep):
        collected = dict(model.collect(sweep))
        position = {k: v for k, v in collected.items() if k not in stats}
        return position, {k: collected[k] for k in stats if k in collected}

    def init(position, rng_key=None):
        key = jax.random.key(0) if rng_key is None else rng_key
        sweep = put(dict(position), model.init(key))
        return KernelState(split(sweep)[0], sweep)

    def step(rng_key, state):
        sweep = model.step(rng_key, state.sweep)
        position, sweep_stats = split(sweep)
        return KernelState(position, sweep), KernelInfo(sweep_stats)

    return Kernel(init, step)


def _conditional_kernel(gibbs_fn: Callable) -> Kernel:
    """A block of a larger Gibbs scheme: ``gibbs_fn`` draws its sites given
    the others, which ``step`` takes as its third argument, the way
    BlackJAX's own kernels take their log-density and parameters."""

    def init(position, rng_key=None):
        return KernelState(dict(position), None)

    def step(rng_key, state, given=None):
        position = gibbs_fn(rng_key=rng_key, gibbs_sites=state.position, hmc_sites=given or {})
        return KernelState(dict(position), None), KernelInfo({})

    return Kernel(init, step)
