"""Batched and float32 draws through JAX: the figures behind the threading
of vmapped calls, the float32 path and shared inputs under vmap.

Tables (each case runs in processes of its own, since VEXOL_NUM_THREADS is
read once per process; figures are medians of repeated calls):

  rows     jax.vmap over R keys of PG(1, z_r), z_r ~ U[0, 4] per row (the
           shape of several Gibbs chains), draws per second with 1 and 2
           threads and their ratio; with --baseline SITE also the build
           installed in SITE at one thread (e.g. the previous release).
  dtype    the flat call at n = 10^5 and 10^7 on one thread, float32
           against float64, ns per draw and their ratio.
  shared   jax.vmap over B = 64 keys with shared h and z of N = 10^6
           elements: peak resident memory and time of the call, for this
           build and the baseline.

    .venv/bin/python benchmarks/jax_batched.py [--tables rows dtype shared]
        [--baseline /tmp/old-site]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import json, resource, statistics, sys, time
import jax, jax.numpy as jnp, numpy as np
jax.config.update("jax_enable_x64", True)
import vexol

kind, args = sys.argv[1], json.loads(sys.argv[2])

def timed(fn, *a, repeats):
    fn(*a).block_until_ready()  # compile and warm up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn(*a).block_until_ready()
        times.append(time.perf_counter() - start)
    return statistics.median(times)

if kind == "rows":
    rows, n, repeats = args["rows"], args["n"], args["repeats"]
    keys = jax.random.split(jax.random.key(0), rows)
    zs = jax.random.uniform(jax.random.key(1), (rows, n), jnp.float64, 0.0, 4.0)
    f = jax.jit(jax.vmap(lambda k, z: vexol.polya_gamma(k, 1.0, z)))
    print(json.dumps({"seconds": timed(f, keys, zs, repeats=repeats)}))
elif kind == "dtype":
    n, repeats, dtype = args["n"], args["repeats"], args["dtype"]
    h = jnp.ones(n, dtype)
    z = jax.random.uniform(jax.random.key(1), (n,), jnp.float64, 0.0, 4.0).astype(dtype)
    f = jax.jit(lambda h, z, s: vexol.sample(h, z, s, dtype=dtype))
    print(json.dumps({"seconds": timed(f, h, z, jnp.uint32(7), repeats=repeats)}))
elif kind == "shared":
    rows, n, repeats = args["rows"], args["n"], args["repeats"]
    h = jnp.linspace(0.5, 3.0, n)
    z = jnp.linspace(-2.0, 2.0, n)
    keys = jax.random.split(jax.random.key(0), rows)
    f = jax.jit(jax.vmap(lambda k: vexol.polya_gamma(k, h, z)))
    seconds = timed(f, keys, repeats=repeats)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"seconds": seconds, "peak_mb": peak}))
"""


def run(kind, args, threads=None, site=None):
    env = dict(os.environ)
    if threads is not None:
        env["VEXOL_NUM_THREADS"] = str(threads)
    if site is not None:
        env["PYTHONPATH"] = site
    done = subprocess.run(
        [sys.executable, "-c", CHILD, kind, json.dumps(args)],
        capture_output=True,
        text=True,
        env=env,
        timeout=1800,
        check=False,
    )
    if done.returncode != 0:
        raise SystemExit(f"{kind} {args} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def median_of(kind, args, processes, **kw):
    results = [run(kind, args, **kw) for _ in range(processes)]
    return {key: statistics.median(r[key] for r in results) for key in results[0]}


def rows_table(baseline, processes):
    print("\n== jax.vmap over R chains of n draws, PG(1, z), z ~ U[0, 4] ==")
    head = "| R | n | 1 thread, M draws/s | 2 threads, M draws/s | 2 / 1 |"
    if baseline:
        head += " baseline 1 thread | this / baseline, 1 thread |"
    print(head)
    print("|" + "---:|" * (head.count("|") - 1))
    for rows, n in ((4, 426), (8, 2000), (64, 1000), (2, 100000)):
        repeats = max(5, int(2e7 // (rows * n * 100)))
        args = {"rows": rows, "n": n, "repeats": repeats}
        one = median_of("rows", args, processes, threads=1)["seconds"]
        two = median_of("rows", args, processes, threads=2)["seconds"]
        line = f"| {rows} | {n} | {rows * n / one / 1e6:.2f} | {rows * n / two / 1e6:.2f} | "
        line += f"{one / two:.2f} |"
        if baseline:
            base = median_of("rows", args, processes, threads=1, site=baseline)["seconds"]
            line += f" {rows * n / base / 1e6:.2f} | {base / one:.3f} |"
        print(line, flush=True)


def dtype_table(processes):
    print("\n== float32 against float64, flat call, one thread, PG(1, z) ==")
    print("| n | float64, ns/draw | float32, ns/draw | float32 / float64 (median of pairs) |")
    print("|---:|---:|---:|---:|")
    for n, repeats in ((10**5, 200), (10**7, 5)):
        # Alternate the two, so that both see the same machine; the ratio is
        # the median of the ratios of each pair.
        per = {"float64": [], "float32": []}
        for _ in range(max(3, processes)):
            for dtype in per:
                args = {"n": n, "repeats": repeats, "dtype": dtype}
                per[dtype].append(run("dtype", args, threads=1)["seconds"] / n * 1e9)
        ratio = statistics.median(
            b / a for a, b in zip(per["float64"], per["float32"], strict=True)
        )
        f64, f32 = statistics.median(per["float64"]), statistics.median(per["float32"])
        print(f"| {n:.0e} | {f64:.1f} | {f32:.1f} | {ratio:.3f} |", flush=True)


def shared_table(baseline):
    print("\n== jax.vmap over B = 64 keys, shared h and z of N = 10^6 (2 threads) ==")
    print("| build | peak RSS, MB | seconds per call |")
    print("|---|---:|---:|")
    args = {"rows": 64, "n": 10**6, "repeats": 3}
    builds = [("this", None)] + ([("baseline", baseline)] if baseline else [])
    for name, site in builds:
        r = run("shared", args, threads=2, site=site)
        print(f"| {name} | {r['peak_mb']:.0f} | {r['seconds']:.2f} |", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tables", nargs="+", default=["rows", "dtype", "shared"])
    parser.add_argument("--baseline", help="site folder of another vexol build to compare")
    parser.add_argument("--processes", type=int, default=3, help="processes per figure")
    a = parser.parse_args()
    if "rows" in a.tables:
        rows_table(a.baseline, a.processes)
    if "dtype" in a.tables:
        dtype_table(a.processes)
    if "shared" in a.tables:
        shared_table(a.baseline)


if __name__ == "__main__":
    main()
