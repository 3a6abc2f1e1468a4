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

from vexol.gibbs._model import Gibbs

# Folded into a chain's key for its starting state; sweep keys fold in the
# sweep's index, which never gets this large.
_INIT_TAG = 2**32 - 1


class Timing(NamedTuple):
    """Wall-clock seconds of a :func:`run`.

    Attributes:
      compile_seconds: tracing and compiling the blocks (ahead of time).
      sampling_seconds: running the compiled blocks, warm-up included, up to
        the draws being on the host.
      total_seconds: the whole call.
      sweeps: sweeps per chain, warm-up included.
      chains: the number of chains.
    """

    compile_seconds: float
    sampling_seconds: float
    total_seconds: float
    sweeps: int
    chains: int

    @property
    def sweeps_per_second(self) -> float:
        """Sweeps of all chains together per second, compilation excluded."""
        return self.sweeps * self.chains / self.sampling_seconds if self.sampling_seconds else 0.0


class RunResult(NamedTuple):
    """What :func:`run` returns.

    Attributes:
      draws: ``collect`` of every kept sweep, as NumPy arrays, each leaf of
        shape (chains, draws, ...), draws = sweeps // thin.
      state: the chains' final states (JAX arrays, chains first).
      timing: a :class:`Timing`.
    """

    draws: Any
    state: Any
    timing: Timing


class _Progress:
    """A tqdm bar on a terminal, else a plain line about every tenth of the run."""

    def __init__(self, total: int, enabled: bool, label: str):
        self.total, self.done, self.label = total, 0, label
        self.bar = None
        self.enabled = enabled and total > 0
        self.next_line = 0.1
        self.start = time.perf_counter()
        if self.enabled and sys.stderr.isatty():
            try:
                from tqdm.auto import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit="sweep", desc=label, file=sys.stderr)

    def update(self, sweeps: int) -> None:
        self.done += sweeps
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(sweeps)
        elif self.done >= self.next_line * self.total or self.done == self.total:
            seconds = time.perf_counter() - self.start
            print(
                f"{self.label}: {self.done}/{self.total} sweeps "
                f"({100 * self.done / self.total:.0f}%), {seconds:.1f} s",
                file=sys.stderr,
                flush=True,
            )
            while self.next_line * self.total <= self.done:
                self.next_line += 0.1

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _start(init: Any, chain_keys: jax.Array, chains: int, batched: bool) -> Any:
    if callable(init):
        keys = jax.vmap(lambda k: jax.random.fold_in(k, _INIT_TAG))(chain_keys)
        return jax.vmap(init)(keys)
    if batched:
        return jax.tree_util.tree_map(jnp.asarray, init)
    return jax.tree_util.tree_map(
        lambda x: jnp.broadcast_to(jnp.asarray(x), (chains, *jnp.shape(x))), init
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
      block_size: sweeps per compiled scan block; about a twentieth of the
        run by default. Between blocks control returns to Python only to
        report progress.
      progress: a tqdm bar on a terminal, else a plain line on stderr about
        every tenth of the run; False for none.

    Returns:
      A :class:`RunResult`: ``draws`` (each leaf (chains, sweeps // thin,
      ...)), the final ``state`` and ``timing`` (compilation apart).
    """
    t0 = time.perf_counter()
    if isinstance(step, Gibbs):
        model = step
        step = model.step
        collect = model.collect if collect is None else collect
        init = model.init if init is None else init
    if collect is None:
        collect = lambda state: state  # noqa: E731
    if init is None:
        raise ValueError("init is needed unless step is a Gibbs model")
    if sweeps < 0 or warmup < 0 or chains < 1 or thin < 1:
        raise ValueError("need sweeps >= 0, warmup >= 0, chains >= 1 and thin >= 1")
    kept = sweeps // thin
    if block_size is None:
        block_size = max(1, math.ceil((warmup + sweeps) / 20))
    # A sampling block holds whole thinning intervals.
    draws_per_block = max(1, block_size // thin)
    block = draws_per_block * thin

    chain_keys = jax.random.split(key, chains)
    state = _start(init, chain_keys, chains, init_batched)

    def advance(keys, state, first, length):
        def one_chain(key, state):
            body = lambda t, s: step(jax.random.fold_in(key, first + t), s)  # noqa: E731
            return jax.lax.fori_loop(0, length, body, state)

        return jax.vmap(one_chain)(keys, state)

    def sample(keys, state, first, draws):
        def one_chain(key, state):
            def one_draw(state, i):
                start = first + i * thin
                body = lambda t, s: step(jax.random.fold_in(key, start + t), s)  # noqa: E731
                state = jax.lax.fori_loop(0, thin, body, state)
                return state, collect(state)

            return jax.lax.scan(one_draw, state, jnp.arange(draws))

        return jax.vmap(one_chain)(keys, state)

    # Compile every block shape ahead of time so that the timing can keep
    # compilation apart. The warm-up's length is a traced argument (one
    # program for every length); a sampling block's is static.
    c0 = time.perf_counter()
    first0 = jnp.asarray(0, jnp.int32)
    compiled_advance = None
    if warmup or sweeps % thin:
        compiled_advance = (
            jax.jit(advance).lower(chain_keys, state, first0, jnp.asarray(0, jnp.int32)).compile()
        )
    sample_blocks = {}
    lengths = [draws_per_block] * (kept // draws_per_block)
    if kept % draws_per_block:
        lengths.append(kept % draws_per_block)
    for length in set(lengths):
        fn = jax.jit(lambda k, s, f, n=length: sample(k, s, f, n))
        sample_blocks[length] = fn.lower(chain_keys, state, first0).compile()
    compile_seconds = time.perf_counter() - c0

    bar = _Progress(warmup + sweeps, progress, "vexol.gibbs")
    s0 = time.perf_counter()
    done = 0
    try:
        while done < warmup:
            length = min(block, warmup - done)
            state = compiled_advance(
                chain_keys, state, jnp.asarray(done, jnp.int32), jnp.asarray(length, jnp.int32)
            )
            jax.block_until_ready(state)
            done += length
            bar.update(length)
        pieces = []
        for length in lengths:
            state, out = sample_blocks[length](chain_keys, state, jnp.asarray(done, jnp.int32))
            pieces.append(jax.tree_util.tree_map(np.asarray, out))
            done += length * thin
            bar.update(length * thin)
        if sweeps % thin:
            # The tail that does not fill a thinning interval still runs, so
            # that the final state is after exactly warmup + sweeps sweeps.
            length = sweeps % thin
            state = compiled_advance(
                chain_keys, state, jnp.asarray(done, jnp.int32), jnp.asarray(length, jnp.int32)
            )
            done += length
            bar.update(length)
        jax.block_until_ready(state)
    finally:
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
        compile_seconds, sampling_seconds, time.perf_counter() - t0, warmup + sweeps, chains
    )
    return RunResult(draws, state, timing)
