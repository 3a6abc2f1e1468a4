"""Data-parallel Pólya-Gamma Gibbs sampling for logistic regression, across processes.

The rows of the design matrix are sharded over every device of a global JAX
mesh, which may span several processes (one per host on a cluster, or several
on one machine). Every sweep of the sampler of Polson, Scott and Windle (2013):

  1. each shard draws omega_i ~ PG(1, x_i'b) for its own rows with vexol, from
     its own key: fold_in(the sweep's omega key, shard index);
  2. each shard forms its share of X' diag(omega) X (p x p numbers);
  3. the shares are summed over all shards, which is the only communication
     of the sweep; X' kappa (p numbers per shard) does not change between
     sweeps and is summed once, before the first sweep;
  4. every device draws the same b ~ N(m, V) from the same key, so all
     processes hold the same chain without exchanging it.

The shares are summed in a fixed tree over the shard index (pairwise
exchanges, ``--reduction tree``), so the chain is a function of the seed,
the data and the number of shards only: bit for bit the same for 1 process
with 4 devices, 2 processes with 2 devices each, or 4 processes with one.
``--reduction psum`` uses XLA's all-reduce instead, whose summation order
depends on the process layout (so do the last bits of the chain).

One process, forced host devices:
    python examples/distributed_gibbs.py --local-devices 2 --rows 100000
Several processes on one machine (see scripts/distributed.sh):
    python examples/distributed_gibbs.py --coordinator-address 127.0.0.1:1234 \\
        --num-processes 2 --process-id 0 ...     # and --process-id 1 elsewhere
One process per host on a cluster: the same arguments, or the environment
variables JAX_COORDINATOR_ADDRESS, JAX_NUM_PROCESSES and JAX_PROCESS_ID, or
nothing at all under Slurm, Open MPI or on Cloud TPU, where JAX detects them.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import pathlib
import socket
import sys
import time

import numpy as np

# Rows are generated in fixed chunks, each from its own seed, so that any
# process can generate exactly its own rows and get the same values as a
# process that generates all of them.
DATA_CHUNK = 8192

# Exit status when the processes disagree or the coordinator is unreachable:
# distinct from a crash (negative or 134) and from argparse's 2.
EXIT_REFUSED = 3

DTYPES = ("float64",)  # float32 will join once vexol draws in float32


# --------------------------------------------------------------------------
# Data
# --------------------------------------------------------------------------


def true_coefficients(seed: int, features: int) -> np.ndarray:
    """The coefficients the synthetic labels are drawn from (intercept first)."""
    rng = np.random.default_rng([seed, 0])
    beta = rng.normal(0.0, 1.0, features + 1) / np.sqrt(features + 1)
    beta[0] = -0.5
    return beta


def synthetic_rows(seed: int, features: int, start: int, stop: int):
    """Rows [start, stop) of the synthetic data set: X with an intercept column, y in {0, 1}.

    The values of a row depend only on the seed, the feature count and the
    row index, never on which range was asked for.
    """
    beta = true_coefficients(seed, features)
    X = np.empty((max(stop - start, 0), features + 1))
    y = np.empty(max(stop - start, 0))
    for chunk in range(start // DATA_CHUNK, -(-stop // DATA_CHUNK)):
        rng = np.random.default_rng([seed, 1, chunk])
        z = rng.standard_normal((DATA_CHUNK, features))
        u = rng.random(DATA_CHUNK)
        logits = beta[0] + z @ beta[1:]
        labels = (u < 1.0 / (1.0 + np.exp(-logits))).astype(np.float64)
        lo = chunk * DATA_CHUNK
        take = slice(max(start, lo), min(stop, lo + DATA_CHUNK))
        X[take.start - start : take.stop - start, 0] = 1.0
        X[take.start - start : take.stop - start, 1:] = z[take.start - lo : take.stop - lo]
        y[take.start - start : take.stop - start] = labels[take.start - lo : take.stop - lo]
    return X, y


def breast_cancer_rows():
    """scikit-learn's breast-cancer data, standardized, with an intercept column."""
    from sklearn.datasets import load_breast_cancer

    data = load_breast_cancer()
    X = (data.data - data.data.mean(axis=0)) / data.data.std(axis=0)
    return np.column_stack([np.ones(len(X)), X]), data.target.astype(np.float64)


# --------------------------------------------------------------------------
# Start-up: devices, the distributed runtime, agreement between processes
# --------------------------------------------------------------------------


def _force_host_devices(count: int) -> None:
    """Ask XLA for `count` CPU devices; only works before jax is imported."""
    if "jax" in sys.modules:
        raise RuntimeError("--local-devices must be applied before jax is imported")
    kept = [
        flag
        for flag in os.environ.get("XLA_FLAGS", "").split()
        if not flag.startswith("--xla_force_host_platform_device_count")
    ]
    os.environ["XLA_FLAGS"] = " ".join([*kept, f"--xla_force_host_platform_device_count={count}"])


def _refuse(message: str) -> SystemExit:
    print(f"distributed_gibbs: {message}", file=sys.stderr, flush=True)
    return SystemExit(EXIT_REFUSED)


def _wait_for_coordinator(address: str, timeout: float) -> None:
    """Return once a TCP connection to the coordinator succeeds, or refuse.

    JAX aborts the whole process (SIGABRT, no Python exception) when it
    cannot register with the coordinator in time; probing first lets a
    process that cannot reach it say so and exit normally.
    """
    host, _, port = address.rpartition(":")
    host = host.strip("[]")
    deadline = time.monotonic() + timeout
    while True:
        try:
            with socket.create_connection((host, int(port)), timeout=1.0):
                return
        except OSError as exc:
            if time.monotonic() >= deadline:
                raise _refuse(
                    f"cannot reach the coordinator at {address} within {timeout:g} s ({exc}); "
                    "is process 0 running, and is the address right?"
                ) from None
            time.sleep(0.2)


def _is_loopback(address: str) -> bool:
    host = address.rpartition(":")[0].strip("[]")
    return host in ("127.0.0.1", "localhost", "::1")


def _distributed_settings(args) -> tuple[str | None, int | None, int | None]:
    def pick(value, name, convert):
        if value is not None:
            return value
        raw = os.environ.get(name)
        return convert(raw) if raw not in (None, "") else None

    return (
        pick(args.coordinator_address, "JAX_COORDINATOR_ADDRESS", str),
        pick(args.num_processes, "JAX_NUM_PROCESSES", int),
        pick(args.process_id, "JAX_PROCESS_ID", int),
    )


def start_runtime(args):
    """Import jax configured for this run and join the other processes, if any.

    Returns the jax module.
    """
    if args.local_devices is not None:
        _force_host_devices(args.local_devices)
    import jax

    # float64 needs JAX's 64-bit mode. An explicit JAX_ENABLE_X64 is left
    # alone so that a mismatch between processes is reported, not hidden.
    if "JAX_ENABLE_X64" not in os.environ:
        jax.config.update("jax_enable_x64", True)
    # Collectives between processes on CPU need an implementation; gloo
    # (TCP) comes with jaxlib. An explicit choice (e.g. mpi) is kept.
    if "JAX_CPU_COLLECTIVES_IMPLEMENTATION" not in os.environ:
        jax.config.update("jax_cpu_collectives_implementation", "gloo")

    coordinator, num_processes, process_id = _distributed_settings(args)
    timeouts = {
        "initialization_timeout": args.init_timeout,
        "heartbeat_timeout_seconds": args.heartbeat_timeout,
        "shutdown_timeout_seconds": args.init_timeout,
    }
    if (coordinator, num_processes, process_id) == (None, None, None):
        # Nothing given: let JAX detect a cluster (Slurm, Open MPI, TPU...).
        try:
            jax.distributed.initialize(**timeouts)
        except ValueError as exc:
            print(f"no cluster detected ({exc}); running as one process", flush=True)
    elif num_processes == 1 and coordinator is None:
        pass  # one process asked for explicitly: no runtime needed
    else:
        if coordinator is not None and process_id not in (None, 0):
            _wait_for_coordinator(coordinator, args.init_timeout)
        # On loopback, keep the coordinator off the machine's other
        # interfaces (JAX binds to all of them by default).
        bind = coordinator if coordinator is not None and _is_loopback(coordinator) else None
        jax.distributed.initialize(
            coordinator, num_processes, process_id, coordinator_bind_address=bind, **timeouts
        )
    return jax


def _settings_digest(args) -> np.ndarray:
    """Everything that must be equal in every process, hashed to 32 bytes."""
    shared = {
        key: getattr(args, key)
        for key in (
            "dataset",
            "rows",
            "features",
            "data_seed",
            "seed",
            "sweeps",
            "block",
            "prior_sd",
            "dtype",
            "reduction",
            "save_omega",
            "benchmark",
        )
    }
    text = json.dumps(shared, sort_keys=True).encode()
    return np.frombuffer(hashlib.sha256(text).digest(), np.uint8).astype(np.int32)


def check_agreement(jax, args) -> None:
    """Refuse, in every process, when the processes disagree on x64 or settings.

    A process in another 64-bit mode builds arrays of other types, and
    mismatched collectives hang instead of failing; so do processes started
    with different settings. The check itself only exchanges int32 values,
    which have the same type in both modes.
    """
    x64 = bool(jax.config.jax_enable_x64)
    if jax.process_count() > 1:
        from jax.experimental import multihost_utils

        mine = np.concatenate([[int(x64)], _settings_digest(args)]).astype(np.int32)
        every = np.asarray(multihost_utils.process_allgather(mine)).reshape(jax.process_count(), -1)
        flags = every[:, 0].astype(bool)
        if flags.any() and not flags.all():
            on = np.flatnonzero(flags).tolist()
            off = np.flatnonzero(~flags).tolist()
            raise _refuse(
                f"64-bit mode (jax_enable_x64) differs between processes: on in processes {on}, "
                f"off in {off}; set JAX_ENABLE_X64 the same way everywhere "
                "(unset lets this program turn it on)"
            )
        differ = [i for i in range(len(every)) if not np.array_equal(every[i, 1:], every[0, 1:])]
        if differ:
            raise _refuse(
                f"processes {differ} were started with other settings than process 0; "
                "every process needs the same data, chain and output options"
            )
    if args.dtype == "float64" and not x64:
        raise _refuse(
            "float64 needs JAX's 64-bit mode, which JAX_ENABLE_X64 turns off here; "
            "unset it or set JAX_ENABLE_X64=1"
        )


# --------------------------------------------------------------------------
# The sampler
# --------------------------------------------------------------------------


def shard_sum(jax, x, axis: str, size: int, reduction: str):
    """Sum x over the shards of `axis`, leaving the total on every shard.

    "tree": for a power-of-two shard count, log2(size) pairwise exchanges
    (shard i with i xor d); each partner adds the two partial sums, which
    IEEE addition gives the same bits in either order, so the total is the
    fixed tree ((x0 + x1) + (x2 + x3)) + ... on every shard and for every
    process layout. Other counts gather all shares and add them in shard
    order (same guarantee, size times the traffic).
    "psum": XLA's all-reduce; its order of addition depends on the layout.
    "none": no communication, for timing the rest of a sweep only.
    """
    lax = jax.lax
    if reduction == "psum":
        return lax.psum(x, axis)
    if reduction == "none":
        return x * size
    if size & (size - 1) == 0:
        step = 1
        while step < size:
            x = x + lax.ppermute(x, axis, [(i, i ^ step) for i in range(size)])
            step *= 2
        return x
    shares = lax.all_gather(x, axis)
    total = shares[0]
    for i in range(1, size):
        total = total + shares[i]
    return total


class Chain:
    """Jitted pieces of the distributed sampler for one mesh and data set."""

    def __init__(self, jax, mesh, p: int, prior_sd: float, dtype, reduction: str, save):
        import vexol

        jnp = jax.numpy
        P = jax.sharding.PartitionSpec
        self.jax, self.mesh, self.p, self.dtype = jax, mesh, p, dtype
        self.axis = mesh.axis_names[0]
        self.shards = mesh.size
        self.save = np.asarray(sorted(save), np.int64)
        axis, shards = self.axis, self.shards
        prior_precision = jnp.eye(p, dtype=dtype) / prior_sd**2

        def reduce(x):
            return shard_sum(jax, x, axis, shards, reduction)

        def cross(X, kappa):
            return reduce(X.T @ kappa)

        def block(X, X_kappa, key, beta, saved, first, length):
            shard = jax.lax.axis_index(axis)
            save = jnp.asarray(self.save)

            def sweep(carry, index):
                beta, saved = carry
                omega_key, beta_key = jax.random.split(jax.random.fold_in(key, index))
                omega = vexol.polya_gamma(jax.random.fold_in(omega_key, shard), 1.0, X @ beta)
                precision = reduce(X.T @ (omega[:, None] * X)) + prior_precision
                chol = jnp.linalg.cholesky(precision)
                mean = jax.scipy.linalg.cho_solve((chol, True), X_kappa)
                # precision = L L', so L'^-1 e has covariance precision^-1.
                noise = jax.random.normal(beta_key, (p,), dtype)
                beta = mean + jax.scipy.linalg.solve_triangular(chol.T, noise, lower=False)
                if save.size:
                    slot = jnp.minimum(jnp.searchsorted(save, index), save.size - 1)
                    keep = save[slot] == index
                    saved = jax.lax.cond(keep, lambda s: s.at[slot].set(omega), lambda s: s, saved)
                return (beta, saved), beta

            sweeps = first + jnp.arange(length)
            (beta, saved), betas = jax.lax.scan(sweep, (beta, saved), sweeps)
            return beta, saved, betas

        # The β chain is replicated by construction (every shard draws from
        # the same sum and key), which the type system of shard_map cannot
        # see through pairwise exchanges: hence check_vma=False.
        self._cross = jax.jit(
            jax.shard_map(
                cross,
                mesh=mesh,
                in_specs=(P(axis, None), P(axis)),
                out_specs=P(),
                check_vma=False,
            )
        )

        def sharded_block(X, X_kappa, key, beta, saved, first, length):
            return jax.shard_map(
                lambda *a: block(*a, length),
                mesh=mesh,
                in_specs=(P(axis, None), P(), P(), P(), P(None, axis), P()),
                out_specs=(P(), P(None, axis), P()),
                check_vma=False,
            )(X, X_kappa, key, beta, saved, first)

        self._block = jax.jit(sharded_block, static_argnums=6)

        self._reduce = reduce

    def reduce_loop(self, length: int):
        """A jitted loop of `length` reductions of a p x p share alone (timing)."""
        jax, P = self.jax, self.jax.sharding.PartitionSpec

        def loop(share):
            def one(total, _):
                return total + self._reduce(share[0]), None

            return jax.lax.scan(one, jax.numpy.zeros_like(share[0]), None, length=length)[0]

        return jax.jit(
            jax.shard_map(
                loop, mesh=self.mesh, in_specs=P(self.axis), out_specs=P(), check_vma=False
            )
        )


# --------------------------------------------------------------------------
# Running the chain
# --------------------------------------------------------------------------


class Layout:
    """The global mesh (one axis over every device of every process) and the rows of each shard."""

    def __init__(self, jax, rows: int):
        self.jax = jax
        devices = jax.devices()
        self.mesh = jax.sharding.Mesh(np.asarray(devices), ("rows",))
        self.shards = len(devices)
        self.rows = rows
        # Shard s holds rows [s m, (s + 1) m); the last shards are padded
        # with rows of zeros (x = 0, kappa = 0), which add nothing to the sums.
        self.per_shard = -(-rows // self.shards)
        self.padded = self.per_shard * self.shards

    def sharding(self, *axes):
        return self.jax.sharding.NamedSharding(self.mesh, self.jax.sharding.PartitionSpec(*axes))

    def replicated(self, value):
        value = np.asarray(value)
        return self.jax.make_array_from_callback(value.shape, self.sharding(), lambda i: value[i])

    def rows_array(self, columns: int | None, fill):
        """A row-sharded global array; fill(start, stop) gives this process's rows."""
        shape = (self.padded,) if columns is None else (self.padded, columns)
        axes = ("rows",) if columns is None else ("rows", None)

        def local(index):
            start, stop = index[0].start or 0, index[0].stop or self.padded
            out = np.zeros((stop - start, *shape[1:]))
            real = min(stop, self.rows)
            if real > start:
                out[: real - start] = fill(start, real)
            return out

        return self.jax.make_array_from_callback(shape, self.sharding(*axes), local)

    def to_host(self, array) -> np.ndarray:
        """The whole of a global array on this process (a collective when it spans processes)."""
        if array.is_fully_addressable:
            return np.asarray(array)
        if array.is_fully_replicated:
            return np.asarray(array.addressable_data(0))
        from jax.experimental import multihost_utils

        return np.asarray(multihost_utils.process_allgather(array, tiled=True))


def load_data(args):
    """(fill_X, fill_y, p, true beta or None): fill_*(start, stop) give rows of the data set."""
    if args.dataset == "breast-cancer":
        X, y = breast_cancer_rows()
        return (lambda a, b: X[a:b]), (lambda a, b: y[a:b]), X.shape[1], len(X), None
    cache: dict[tuple[int, int], tuple[np.ndarray, np.ndarray]] = {}

    def rows(start, stop):
        if (start, stop) not in cache:
            cache[(start, stop)] = synthetic_rows(args.data_seed, args.features, start, stop)
        return cache[(start, stop)]

    truth = true_coefficients(args.data_seed, args.features)
    return (
        (lambda a, b: rows(a, b)[0]),
        (lambda a, b: rows(a, b)[1]),
        args.features + 1,
        args.rows,
        truth,
    )


def _saved_sweeps(text: str, sweeps: int) -> list[int]:
    chosen = set()
    for item in filter(None, (part.strip() for part in text.split(","))):
        index = int(item)
        index = index + sweeps if index < 0 else index
        if not 0 <= index < sweeps:
            raise ValueError(f"--save-omega: sweep {item} is outside [0, {sweeps})")
        chosen.add(index)
    return sorted(chosen)


def _say(jax, *parts) -> None:
    if jax.process_index() == 0:
        print(*parts, flush=True)


def run(jax, args) -> int:
    jnp = jax.numpy
    dtype = jnp.dtype(args.dtype)
    fill_X, fill_y, p, rows, truth = load_data(args)
    layout = Layout(jax, rows)
    save = _saved_sweeps(args.save_omega, args.sweeps) if args.output else []
    print(
        f"process {jax.process_index()} of {jax.process_count()}: "
        f"{jax.local_device_count()} of {layout.shards} devices",
        flush=True,
    )
    _say(
        jax,
        f"{args.dataset}: {rows} rows, {p} coefficients, {layout.shards} shards of "
        f"{layout.per_shard} rows; {args.sweeps} sweeps, reduction {args.reduction}",
    )

    X = layout.rows_array(p, fill_X)
    kappa = layout.rows_array(None, lambda a, b: fill_y(a, b) - 0.5)
    chain = Chain(jax, layout.mesh, p, args.prior_sd, dtype, args.reduction, save)
    X_kappa = chain._cross(X, kappa)
    key = layout.replicated(jax.random.key_data(jax.random.key(args.seed)))
    key = jax.random.wrap_key_data(key)
    beta = layout.replicated(np.zeros(p, dtype))
    saved = jax.make_array_from_callback(
        (len(save), layout.padded),
        layout.sharding(None, "rows"),
        lambda i: np.zeros((len(save), layout.padded), dtype)[i],
    )

    if args.benchmark:
        return benchmark(jax, args, layout, chain, X, X_kappa, key, beta, saved, save, p, dtype)

    draws, marks, done = [], [], 0
    start = time.perf_counter()
    while done < args.sweeps:
        length = min(args.block, args.sweeps - done)
        first = layout.replicated(np.asarray(done, np.int64))
        beta, saved, betas = chain._block(X, X_kappa, key, beta, saved, first, length)
        draws.append(layout.to_host(betas))
        done += length
        marks.append((done, time.perf_counter()))
        _say(jax, f"  {done}/{args.sweeps} sweeps, {marks[-1][1] - start:.1f} s")
    draws = np.concatenate(draws)

    if len(marks) > 1:
        rate = (marks[-1][0] - marks[0][0]) / (marks[-1][1] - marks[0][1])
        _say(jax, f"after the first block: {rate:,.1f} sweeps/s")
    kept = draws[args.sweeps // 5 :]
    if len(kept):
        shown = min(p, 6)
        saved_note = "; --output saves them all" if shown < p else ""
        _say(
            jax,
            f"posterior after {args.sweeps // 5} warm-up sweeps, the first {shown} of {p} "
            f"coefficients{saved_note}:",
        )
        _say(
            jax, f"{'coefficient':<12}{'mean':>9}{'sd':>8}" + ("" if truth is None else "    true")
        )
        for j in range(shown):
            line = f"{'b' + str(j):<12}{kept[:, j].mean():>9.3f}{kept[:, j].std():>8.3f}"
            _say(jax, line + ("" if truth is None else f"{truth[j]:>8.3f}"))

    if args.output:
        omega = layout.to_host(saved).reshape(len(save), layout.shards, layout.per_shard)
        if jax.process_index() == 0:
            path = pathlib.Path(args.output)
            path.parent.mkdir(parents=True, exist_ok=True)
            np.savez(
                path,
                beta=draws,
                omega=omega,
                omega_sweeps=np.asarray(save, np.int64),
                rows=rows,
                shards=layout.shards,
                processes=jax.process_count(),
            )
            print(f"wrote {path}", flush=True)
    return 0


def _interleaved_medians(cases: dict, reps: int) -> dict:
    """Median seconds of each case, the cases taking turns so that a change
    in the machine's load affects all of them alike."""
    times: dict = {name: [] for name in cases}
    for _ in range(reps):
        for name, case in cases.items():
            start = time.perf_counter()
            case().block_until_ready()
            times[name].append(time.perf_counter() - start)
    return {name: float(np.median(values)) for name, values in times.items()}


def benchmark(jax, args, layout, chain, X, X_kappa, key, beta, saved, save, p, dtype) -> int:
    """Time a block of sweeps with and without the reduction, and the reduction alone.

    The communication share of a sweep is measured twice: as the time the
    sweep loses to its reduction (full minus local sweep, where "local"
    scales each shard's share instead of exchanging it: same arithmetic, no
    traffic), and as the time of the reduction alone in a loop.
    """
    length = args.block
    first = layout.replicated(np.asarray(0, np.int64))
    local = Chain(jax, layout.mesh, p, args.prior_sd, dtype, "none", save)
    # The reduction alone is short: time many in a row so that one
    # scheduling delay of a busy machine is spread thin.
    loop_length = 200
    loop = chain.reduce_loop(loop_length)
    # Any p x p block per shard will do: the reduction's cost does not
    # depend on the values.
    share = jax.make_array_from_callback(
        (layout.shards * p, p),
        layout.sharding("rows", None),
        lambda i: np.ones(((i[0].stop or layout.shards * p) - (i[0].start or 0), p)),
    )
    cases = {
        "sweep": lambda: chain._block(X, X_kappa, key, beta, saved, first, length)[2],
        "sweep_without_reduction": lambda: local._block(
            X, X_kappa, key, beta, saved, first, length
        )[2],
        "reduction_alone": lambda: loop(share),
    }
    for case in cases.values():
        case().block_until_ready()  # compile and warm up
    figures = _interleaved_medians(cases, args.benchmark)
    figures = {name: seconds / length for name, seconds in figures.items()}
    figures["reduction_alone"] *= length / loop_length
    figures["comm_share"] = 1.0 - figures["sweep_without_reduction"] / figures["sweep"]
    figures["reduction_share"] = figures["reduction_alone"] / figures["sweep"]
    result = {
        "processes": jax.process_count(),
        "devices": layout.shards,
        "rows": layout.rows,
        "coefficients": p,
        "reduction": args.reduction,
        "sweeps_per_s": 1.0 / figures["sweep"],
        "seconds_per_sweep": figures,
        "repetitions": args.benchmark,
        "sweeps_per_repetition": length,
    }
    _say(jax, "BENCHMARK " + json.dumps(result))
    return 0


# --------------------------------------------------------------------------
# Command line
# --------------------------------------------------------------------------


class _DefaultsFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Shows each default, except where None stands for a rule the help states."""

    def _get_help_string(self, action):
        if action.default is None:
            return action.help
        return super()._get_help_string(action)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0], formatter_class=_DefaultsFormatter
    )
    data = parser.add_argument_group("data")
    data.add_argument(
        "--dataset", choices=("synthetic", "breast-cancer"), default="synthetic", help="rows to fit"
    )
    data.add_argument("--rows", type=int, default=100_000, help="synthetic rows")
    data.add_argument(
        "--features", type=int, default=20, help="synthetic features besides the intercept"
    )
    data.add_argument("--data-seed", type=int, default=0, help="seed of the synthetic data")
    chain = parser.add_argument_group("chain")
    chain.add_argument("--sweeps", type=int, default=1000, help="Gibbs sweeps of the chain")
    chain.add_argument("--block", type=int, default=100, help="sweeps per jitted scan")
    chain.add_argument("--seed", type=int, default=0, help="seed of the chain")
    chain.add_argument("--prior-sd", type=float, default=2.5, help="sd of the N(0, sd²) prior")
    chain.add_argument("--dtype", choices=DTYPES, default="float64", help="precision of the sweep")
    chain.add_argument(
        "--reduction", choices=("tree", "psum"), default="tree", help="how X'ΩX is summed"
    )
    runtime = parser.add_argument_group("processes and devices")
    runtime.add_argument("--local-devices", type=int, help="forced CPU devices in this process")
    runtime.add_argument(
        "--coordinator-address", help="host:port of process 0 [JAX_COORDINATOR_ADDRESS]"
    )
    runtime.add_argument("--num-processes", type=int, help="[JAX_NUM_PROCESSES]")
    runtime.add_argument("--process-id", type=int, help="[JAX_PROCESS_ID]")
    runtime.add_argument(
        "--init-timeout", type=int, default=300, help="seconds to wait for the others"
    )
    runtime.add_argument(
        "--heartbeat-timeout",
        type=int,
        default=100,
        help="seconds before a silent process counts as dead",
    )
    out = parser.add_argument_group("output")
    out.add_argument("--output", help=".npz with the beta chain and the saved omega draws")
    out.add_argument(
        "--save-omega",
        default="0,-1",
        help="sweeps whose omega go to --output (negative: from the end)",
    )
    out.add_argument(
        "--benchmark",
        type=int,
        default=0,
        metavar="REPS",
        help="time REPS blocks instead of sampling",
    )
    args = parser.parse_args(argv)
    if args.rows < 1 or args.features < 1 or args.sweeps < 1 or args.block < 1:
        parser.error("--rows, --features, --sweeps and --block must be positive")
    if args.local_devices is not None and args.local_devices < 1:
        parser.error("--local-devices must be positive")
    try:
        _saved_sweeps(args.save_omega, args.sweeps)
    except ValueError as exc:
        parser.error(str(exc))
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    jax = start_runtime(args)
    check_agreement(jax, args)
    return run(jax, args)


if __name__ == "__main__":
    raise SystemExit(main())
