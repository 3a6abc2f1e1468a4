"""Running a Gibbs step for many sweeps and chains."""

from __future__ import annotations

import math
import sys
import time
from collections.abc import Callable
from typing import Any, NamedTuple

import jax
import jax.numpy as jnp
import numpy as np

from vexol import _sampling
from vexol.gibbs._model import Gibbs, integer

# Folded into a chain's key for its starting state; sweep keys fold in the
# sweep's index, which never gets this large.
_INIT_TAG = 2**32 - 1


class Timing(NamedTuple):
    """Wall-clock seconds of a :func:`run`.

    Attributes:
      compile_seconds: tracing and compiling, ahead of time, the one
        program that draws the chains' starts and runs every block.
      sampling_seconds: running the compiled blocks, warm-up included, up to
        the draws being on the host.
      total_seconds: the whole call.
      sweeps: sweeps per chain after warm-up, as :func:`run` counts them.
      chains: the number of chains.
      warmup: warm-up sweeps per chain.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> timing = gibbs.run(gibbs.logistic(X, y), None, jax.random.key(0), sweeps=50,
      ...                    chains=2, progress=False).timing
      >>> timing.sweeps, timing.chains, timing.compile_seconds > 0
      (50, 2, True)
    """

    compile_seconds: float
    sampling_seconds: float
    total_seconds: float
    sweeps: int
    chains: int
    warmup: int = 0

    @property
    def sweeps_per_second(self) -> float:
        """Sweeps of all chains together per second, warm-up included,
        compilation excluded."""
        total = (self.sweeps + self.warmup) * self.chains
        return total / self.sampling_seconds if self.sampling_seconds else 0.0


class RunResult(NamedTuple):
    """What :func:`run` returns.

    Attributes:
      draws: ``collect`` of every kept sweep, as NumPy arrays, each leaf of
        shape (chains, draws, ...), draws = sweeps // thin.
      state: the chains' final states (JAX arrays, chains first).
      timing: a :class:`Timing`.
      model: the :class:`Gibbs` that was run, or None for a plain step:
        :func:`to_arviz` takes the observations, the pointwise
        log-likelihood and which draws are sampler statistics from it.

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> result = gibbs.run(gibbs.logistic(X, y), None, jax.random.key(0), sweeps=50,
      ...                    chains=2, progress=False)
      >>> result._fields
      ('draws', 'state', 'timing', 'model')
      >>> result.state.beta.shape           # the chains' final states
      (2, 2)
    """

    draws: Any
    state: Any
    timing: Timing
    model: Gibbs | None = None


def _progress(total: int, enabled: bool, label: str) -> Any:
    """tqdm's bar on a terminal; off one (a log, a pipe), tqdm's line about
    every tenth of the run; None without tqdm (an optional extra) or when off."""
    if not enabled or total <= 0:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    if sys.stderr.isatty():
        return tqdm(total=total, unit="sweep", desc=label, file=sys.stderr)

    class Lines(tqdm):
        # tqdm redraws one line with carriage returns, which a log keeps as
        # one ever longer line: write each refresh as a line of its own,
        # once per count (closing redraws the last one), none at the start.
        shown = 0

        def display(self, msg=None, pos=None):
            if self.n != self.shown:
                self.fp.write((msg or self.__str__()) + "\n")
                self.fp.flush()
                self.shown = self.n
            return True

        def close(self):
            if not self.disable:
                self.display()
                self.disable = True  # and no closing newline
            super().close()

    # A fixed step of about a tenth (miniters) rather than tqdm's adaptive
    # one, and no time limit: a log gets about ten lines however long the run.
    return Lines(
        total=total,
        unit="sweep",
        desc=label,
        file=sys.stderr,
        miniters=max(1, math.ceil(total / 10)),
        mininterval=0,
        ascii=True,
        ncols=80,
    )


def _chain_starts(init: Any, chain_keys: jax.Array) -> Any:
    keys = jax.vmap(lambda k: jax.random.fold_in(k, _INIT_TAG))(chain_keys)
    return jax.vmap(init)(keys)


def _given_start(init: Any, chains: int, batched: bool) -> Any:
    # On the host: broadcasting op by op would compile a program per leaf.
    if batched:
        return jax.tree_util.tree_map(lambda x: jnp.asarray(np.asarray(x)), init)
    return jax.tree_util.tree_map(
        lambda x: jnp.asarray(np.broadcast_to(np.asarray(x), (chains, *np.shape(x)))), init
    )


def run(
    step: Callable[[jax.Array, Any], Any] | Gibbs,
    init: Any,
    key: jax.Array,
    sweeps: int,
    warmup: int = 0,
    chains: int = 4,
    thin: int = 1,
    *,
    collect: Callable[[Any], Any] | None = None,
    block_size: int | None = None,
    progress: bool = True,
    init_batched: bool = False,
) -> RunResult:
    """Run ``chains`` chains of a Gibbs step, vmapped, in jitted lax.scan blocks.

    Args:
      step: ``step(key, state) -> state``, or a :class:`Gibbs` (its
        ``step``, and its ``collect`` unless one is given).
      init: the start: a callable ``init(key) -> state`` (called with one
        key per chain, derived from ``key``), one state for every chain, or
        with ``init_batched=True`` a state whose leaves have the chains
        first. None with a :class:`Gibbs` means its ``init``.
      key: a JAX PRNG key; chain c uses ``jax.random.split(key, chains)[c]``
        and sweep t (warm-up sweeps counted) uses ``fold_in(chain key, t)``,
        so a chain is a fixed function of key, start and data whatever
        ``block_size``, ``chains`` being equal.
      sweeps: sweeps per chain after warm-up.
      warmup: sweeps per chain run first and discarded.
      chains: number of chains (vmapped: one batched vexol call per sweep).
      thin: keep every thin-th sweep (the thin-th, 2·thin-th, ...).
      collect: ``collect(state) -> pytree`` kept per draw; the state itself
        when None (for a plain step).
      block_size: sweeps per call of the compiled program; about a
        twentieth of the run by default. Between blocks control returns to
        Python only to report progress and fetch the draws.
      progress: tqdm's bar on a terminal, else tqdm's line on stderr about
        every tenth of the run; False for none, and none without tqdm
        (``pip install vexol[gibbs]``).

    Returns:
      A :class:`RunResult`: ``draws`` (each leaf (chains, sweeps // thin,
      ...)), the final ``state`` and ``timing`` (compilation apart).

    Examples:
      >>> import jax, numpy as np
      >>> from vexol import gibbs
      >>> rng = np.random.default_rng(0)
      >>> X = np.column_stack([np.ones(50), rng.normal(size=50)])
      >>> y = (rng.random(50) < 1 / (1 + np.exp(-X @ [0.5, 1.0]))).astype(float)
      >>> result = gibbs.run(gibbs.logistic(X, y), None, jax.random.key(0),
      ...                    sweeps=200, warmup=100, chains=4, thin=2, progress=False)
      >>> result.draws["beta"].shape          # (chains, sweeps // thin, p)
      (4, 100, 2)
      >>> result.timing.chains, result.timing.sweeps, result.timing.warmup
      (4, 200, 100)

      A bare step function and one initial state, shared by the chains:

      >>> import jax.numpy as jnp
      >>> step = lambda key, x: 0.5 * x + jax.random.normal(key)
      >>> out = gibbs.run(step, jnp.float32(0.0), jax.random.key(0), sweeps=10,
      ...                 chains=3, progress=False)
      >>> out.draws.shape
      (3, 10)
    """
    t0 = time.perf_counter()
    model = None
    where = "vexol.gibbs.run"
    if not (isinstance(step, Gibbs) or callable(step)):
        raise TypeError(
            f"{where}: step must be a vexol.gibbs.Gibbs or a function step(key, state), "
            f"got {type(step).__name__}"
        )
    # The key is checked as polya_gamma checks it; the run uses it as given.
    _sampling._typed_key(key, "gibbs.run")
    sweeps = integer(sweeps, "sweeps", where, 0, None, ">= 0")
    warmup = integer(warmup, "warmup", where, 0, None, ">= 0")
    chains = integer(chains, "chains", where, 1, None, ">= 1")
    thin = integer(thin, "thin", where, 1, None, ">= 1")
    if block_size is not None:
        block_size = integer(block_size, "block_size", where, 1, None, ">= 1 or None")
    if isinstance(step, Gibbs):
        model = step
        step = model.step
        collect = model.collect if collect is None else collect
        init = model.init if init is None else init
    if collect is None:
        collect = lambda state: state  # noqa: E731
    if init is None:
        raise ValueError(f"{where}: init is needed unless step is a Gibbs model")
    kept = sweeps // thin
    if block_size is None:
        block_size = max(1, math.ceil((warmup + sweeps) / 20))
    # A sampling block holds whole thinning intervals.
    draws_per_block = max(1, block_size // thin)
    block = draws_per_block * thin

    # Everything from here to the first sweep counts as compiling: the one
    # program is traced and compiled here.
    c0 = time.perf_counter()
    fresh = callable(init)
    if fresh:
        # A stand-in of the right shapes: the first call of the program
        # replaces it by the chains' starts. Drawing the starts in the same
        # program as the sweeps saves compiling a second one (the normal
        # draws' code alone took 1.7 of 8.8 s of setting up the breast-cancer
        # example, compiled apart).
        shapes = jax.eval_shape(lambda k: _chain_starts(init, jax.random.split(k, chains)), key)
        state = jax.tree_util.tree_map(lambda s: jnp.asarray(np.zeros(s.shape, s.dtype)), shapes)
    else:
        state = _given_start(init, chains, init_batched)
    one_state = jax.tree_util.tree_map(lambda x: jax.ShapeDtypeStruct(x.shape[1:], x.dtype), state)
    shapes = jax.eval_shape(collect, one_state)

    def blocks(key, state, first, length, start):
        # One program for warm-up and sampling alike: `length` (at most
        # `block`) is traced, and every sweep t writes collect(state) into
        # slot t // thin, so that slot j ends up holding the state after
        # sweep (j + 1)·thin of the block. Warm-up and a tail shorter than
        # thin only leave slots that are never read. One program instead of
        # a warm-up and a sampling one halves the compile time, which on a
        # short run is much of the wall time.
        def one_chain(key, state):
            buffer = jax.tree_util.tree_map(
                lambda s: jnp.zeros((draws_per_block, *s.shape), s.dtype), shapes
            )

            def body(t, carry):
                state, buffer = carry
                state = step(jax.random.fold_in(key, first + t), state)
                buffer = jax.tree_util.tree_map(
                    lambda b, v: jax.lax.dynamic_update_index_in_dim(b, v, t // thin, 0),
                    buffer,
                    collect(state),
                )
                return state, buffer

            return jax.lax.fori_loop(0, length, body, (state, buffer))

        keys = jax.random.split(key, chains)
        if fresh:
            starts = _chain_starts(init, keys)
            state = jax.tree_util.tree_map(lambda a, b: jnp.where(start, a, b), starts, state)
        return jax.vmap(one_chain)(keys, state)

    scalar = jnp.asarray(0, jnp.int32)
    flag = jnp.asarray(False)
    compiled = jax.jit(blocks).lower(key, state, scalar, scalar, flag).compile()
    jax.block_until_ready(state)
    compile_seconds = time.perf_counter() - c0

    def advance(state, done, length):
        return compiled(
            key,
            state,
            jnp.asarray(done, jnp.int32),
            jnp.asarray(length, jnp.int32),
            jnp.asarray(fresh and done == 0),
        )

    lengths = [block] * (kept // draws_per_block)
    if kept % draws_per_block:
        lengths.append((kept % draws_per_block) * thin)
    if sweeps % thin:
        # The tail that does not fill a thinning interval still runs, so
        # that the final state is after exactly warmup + sweeps sweeps.
        lengths.append(sweeps % thin)

    bar = _progress(warmup + sweeps, progress, "vexol.gibbs")
    advanced = bar.update if bar is not None else lambda sweeps: None
    s0 = time.perf_counter()
    done = 0
    pieces = []
    try:
        if fresh and warmup + sweeps == 0:
            state, _ = advance(state, 0, 0)  # the starts alone
        while done < warmup:
            length = min(block, warmup - done)
            state, _ = advance(state, done, length)
            jax.block_until_ready(state)
            done += length
            advanced(length)
        for length in lengths:
            state, out = advance(state, done, length)
            if length >= thin:
                keep = slice(0, length // thin)
                pieces.append(jax.tree_util.tree_map(lambda x, k=keep: np.asarray(x)[:, k], out))
            done += length
            advanced(length)
        jax.block_until_ready(state)
    finally:
        if bar is not None:
            bar.close()
    sampling_seconds = time.perf_counter() - s0

    if pieces:
        draws = jax.tree_util.tree_map(lambda *xs: np.concatenate(xs, axis=1), *pieces)
    else:
        shapes = jax.eval_shape(jax.vmap(collect), state)
        draws = jax.tree_util.tree_map(
            lambda s: np.zeros((chains, 0, *s.shape[1:]), s.dtype), shapes
        )
    timing = Timing(
        compile_seconds, sampling_seconds, time.perf_counter() - t0, sweeps, chains, warmup
    )
    return RunResult(draws, state, timing, model)
