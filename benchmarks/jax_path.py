"""The pure-JAX sampler path against the C++ custom calls and the
200-term gamma series in JAX, per regime, on one core.

    taskset -c 0 env XLA_FLAGS="--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1" \\
        VEXOL_NUM_THREADS=1 python benchmarks/jax_path.py [--reps N] [--series-max-n N] [--dtype float64] \\
        [--regime TEXT ...] [--sizes N ...] [--no-first-call]

Prints a Markdown table of ns per draw (median of repeated calls after a
warm-up call) for n = 10^3, 10^5, 10^6: the JAX path (vexol's
implementation="jax", i.e. vexol._jax.draw), the C++ path
(vexol.polya_gamma) and the series (up to --series-max-n, default 10^5),
the ratios the goals judge (series / JAX at 10^5, JAX / C++), and the time
of the first call of the JAX path (trace + compile + run) for a new shape.
--regime (a part of a row's label, e.g. "alternate"; repeatable) and --sizes
narrow the run to a few rows, for a measurement that takes a minute.
"""

import argparse
import math
import os
import statistics
import time

os.environ.setdefault(
    "XLA_FLAGS", "--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1"
)
os.environ.setdefault("VEXOL_NUM_THREADS", "1")

import jax
import jax.numpy as jnp
import numpy as np

import vexol
from vexol._jax import draw

SIZES = [1_000, 100_000, 1_000_000]
K = 200
# (label, h, z); z None: uniform on [0, 4].
REGIMES = [
    ("1, z ~ U[0, 4] (Devroye)", 1.0, None),
    ("3, 0.5 (3 Devroye draws)", 3.0, 0.5),
    ("2.5, 1 (alternate)", 2.5, 1.0),
    ("6, 2 (alternate pieces)", 6.0, 2.0),
    ("20, 1 (saddle point)", 20.0, 1.0),
    ("0.5, 1 (gamma series)", 0.5, 1.0),
    ("100, 1 (normal)", 100.0, 1.0),
    ("mixed (all of the above)", "mixed", None),
    # A few lanes of a batch needing the inversion (h < 0.1) must cost
    # those lanes, not a block of them.
    ("1, one lane in 5,000 at 0.05 (inversion)", "sparse", None),
]


def inputs(n, h, z, dtype):
    rng = np.random.default_rng(7)
    if h == "sparse":
        hh = np.ones(n)
        hh[::5000] = 0.05
        zz = rng.uniform(0.0, 4.0, n)
    elif h == "mixed":
        hs = np.array([r[1] for r in REGIMES if isinstance(r[1], float)])
        hh = hs[rng.integers(0, hs.size, n)]
        zz = rng.uniform(0.0, 4.0, n)
    else:
        hh = np.full(n, h)
        zz = rng.uniform(0.0, 4.0, n) if z is None else np.full(n, z)
    return jnp.asarray(hh, dtype), jnp.asarray(zz, dtype)


def median_time(f, reps, inner=1):
    jax.block_until_ready(f())
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        for _ in range(inner):
            out = f()
        jax.block_until_ready(out)
        times.append((time.perf_counter() - t0) / inner)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--series-max-n", type=int, default=100_000)
    parser.add_argument("--dtype", choices=["float32", "float64"], default="float64")
    parser.add_argument(
        "--regime", action="append", help="only the rows whose label contains this text"
    )
    parser.add_argument("--sizes", type=int, nargs="+", default=SIZES)
    parser.add_argument("--no-first-call", action="store_true", help="skip the compile timing")
    args = parser.parse_args()
    regimes = [r for r in REGIMES if not args.regime or any(t in r[0] for t in args.regime)]
    if args.dtype == "float64":
        jax.config.update("jax_enable_x64", True)
    dtype = jnp.dtype(args.dtype)

    key = jax.random.key(0)
    jax_path = jax.jit(draw)
    cpp_path = jax.jit(vexol.polya_gamma)
    ks = jnp.arange(1, K + 1, dtype=dtype) - 0.5

    @jax.jit
    def series(key, h, z):
        d = ks[:, None] ** 2 + (z[None, :] / (2 * math.pi)) ** 2

        def body(k, acc):
            g = jax.random.gamma(jax.random.fold_in(key, k), h, dtype=dtype)
            return acc + g / d[k]

        return jax.lax.fori_loop(0, K, body, jnp.zeros_like(h)) / (2 * math.pi**2)

    # First call for a new shape: trace, compile and run.
    first_call = None
    if not args.no_first_call:
        h, z = inputs(1234, "mixed", None, dtype)
        t0 = time.perf_counter()
        jax.block_until_ready(jax.jit(draw)(key, h, z))
        first_call = time.perf_counter() - t0

    print(
        f"dtype {args.dtype}, XLA_FLAGS={os.environ['XLA_FLAGS']!r}, "
        f"VEXOL_NUM_THREADS={os.environ['VEXOL_NUM_THREADS']}, "
        f"CPU affinity {sorted(os.sched_getaffinity(0))}"
    )
    if first_call is not None:
        print(
            "first call of the JAX path (trace + compile + run, n = 1234, mixed): "
            f"{first_call:.1f} s"
        )
    print()
    print(
        "| (h, z) | n | JAX path ns/draw | C++ path ns/draw | series ns/draw | JAX / C++ | series / JAX |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|")
    for label, hv, zv in regimes:
        for n in args.sizes:
            h, z = inputs(n, hv, zv, dtype)
            reps = args.reps if n < 1_000_000 else max(3, args.reps // 2)
            inner = max(1, 10_000 // n)
            t_jax = median_time(lambda h=h, z=z: jax_path(key, h, z), reps, inner) / n
            t_cpp = median_time(lambda h=h, z=z: cpp_path(key, h, z), reps, inner) / n
            if n <= args.series_max_n:
                t_ser = (
                    median_time(lambda h=h, z=z: series(key, h, z), 1 if n >= 100_000 else 3) / n
                )
                ser = f"{t_ser * 1e9:,.0f}"
                ratio = f"{t_ser / t_jax:,.0f}"
            else:
                ser = ratio = ""
            print(
                f"| {label} | {n:,} | {t_jax * 1e9:,.0f} | {t_cpp * 1e9:,.0f} | {ser} | "
                f"{t_jax / t_cpp:.1f} | {ratio} |",
                flush=True,
            )


if __name__ == "__main__":
    main()
