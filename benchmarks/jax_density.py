"""vexol.logpdf per element through jax.jit on one core, float64.

    taskset -c 0 env XLA_FLAGS="--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1" \\
        python benchmarks/jax_density.py [--n 65536] [--reps 15]

For every h of the accuracy grid, x is a sample of PG(h, z) drawn by vexol
(so the elements fall into the regions in the proportions a user's data
would), z = 0.5; the time is the median of --reps calls after a warm-up
call, divided by n. The goal is 1 microsecond per element everywhere and
300 ns for h <= 20.
"""

import argparse
import os
import statistics
import time

import jax

jax.config.update("jax_enable_x64", True)
import jax.numpy as jnp  # noqa: E402

import vexol  # noqa: E402

H_GRID = [0.05, 0.3, 1.0, 2.5, 7.0, 20.0, 75.0, 300.0, 1000.0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=65536)
    ap.add_argument("--reps", type=int, default=15)
    ap.add_argument("--z", type=float, default=0.5)
    args = ap.parse_args()
    print(
        f"XLA_FLAGS={os.environ.get('XLA_FLAGS', '')!r}, CPUs allowed: {len(os.sched_getaffinity(0))}"
    )
    f = jax.jit(vexol.logpdf)
    print("| h | ns per element | goal |")
    print("| ---: | ---: | ---: |")
    for h in H_GRID:
        x = vexol.sample(jnp.full(args.n, h), args.z, 12345)
        f(x, h, args.z).block_until_ready()
        times = []
        for _ in range(args.reps):
            t0 = time.perf_counter()
            f(x, h, args.z).block_until_ready()
            times.append(time.perf_counter() - t0)
        ns = statistics.median(times) / args.n * 1e9
        goal = 300 if h <= 20 else 1000
        print(f"| {h:g} | {ns:.0f} | {goal} |", flush=True)


if __name__ == "__main__":
    main()
