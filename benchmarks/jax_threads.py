"""Draws per second of the flat custom call through JAX, by thread count.

Each thread count runs in processes of its own, since VEXOL_NUM_THREADS is
read once per process. Every process samples PG(1, 1) for a flat array of
--size elements, once to compile and warm up and then --repeats times, and
reports its median rate; the figure per thread count is the median over
--processes processes.

    .venv/bin/python benchmarks/jax_threads.py [--threads 1 2] [--size 10000000]

Uses the installed vexol_cpp (pip install .).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import json, statistics, sys, time
import jax, jax.numpy as jnp
jax.config.update("jax_enable_x64", True)
import vexol_cpp

size, repeats = int(sys.argv[1]), int(sys.argv[2])
jax.ffi.register_ffi_target(
    "vexol_bench_pg_sample_f64", vexol_cpp.pg_sample_f64_capsule(), platform="cpu")
call = jax.jit(lambda h, z, s: jax.ffi.ffi_call(
    "vexol_bench_pg_sample_f64", jax.ShapeDtypeStruct(h.shape, jnp.float64))(h, z, s))
h = jax.device_put(jnp.ones(size))
z = jax.device_put(jnp.ones(size))
rates = []
for r in range(repeats + 1):
    seed = jnp.array([r], dtype=jnp.int64)
    start = time.perf_counter()
    call(h, z, seed).block_until_ready()
    elapsed = time.perf_counter() - start
    if r > 0:  # the first run compiles
        rates.append(size / elapsed)
print(json.dumps(statistics.median(rates)))
"""


def run(threads, size, repeats):
    env = dict(os.environ, VEXOL_NUM_THREADS=str(threads))
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(size), str(repeats)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--size", type=int, default=10_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--processes", type=int, default=3)
    args = parser.parse_args()

    print(
        f"flat call, h = 1, z = 1, {args.size} elements; median of "
        f"{args.repeats} runs per process, median over {args.processes} processes"
    )
    base = None
    for threads in args.threads:
        rates = [run(threads, args.size, args.repeats) for _ in range(args.processes)]
        rate = statistics.median(rates)
        base = base or rate
        spread = ", ".join(f"{r / 1e6:.2f}" for r in rates)
        print(
            f"VEXOL_NUM_THREADS={threads}: {rate / 1e6:.2f} M draws/s "
            f"({rate / base:.2f}x; per process: {spread})"
        )


if __name__ == "__main__":
    main()
