"""vexol.logpdf and vexol.cdf per element through jax.jit on one core, float64.

    taskset -c 0 env XLA_FLAGS="--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1" \\
        python benchmarks/jax_density.py [--n 65536] [--reps 15] [--h 75,300,1000]
        [--against REV [--rounds 3]] [--float32]

For every h, x is a sample of PG(h, z) drawn by vexol (so the elements fall
into the regions in the proportions a user's data would), z = 0.5; the time
is the median of --reps calls after a warm-up call, divided by n. The goal
is 1 microsecond per element everywhere and 300 ns for h <= 20.

--against REV times the package as it was at git revision REV (its
python/vexol, exported to a temporary directory) against the working tree,
in child processes that alternate between the two for --rounds rounds on
the same inputs; each cell is the median over the rounds, so that both
columns see the same load on a shared machine.
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

H_GRID = [0.05, 0.3, 1.0, 2.5, 7.0, 20.0, 75.0, 300.0, 1000.0]
ROOT = pathlib.Path(__file__).resolve().parents[1]


def measure(h_grid, n, reps, z, dtype_name):
    """{h: (ns logpdf, ns cdf)} for the vexol importable here."""
    import jax

    jax.config.update("jax_enable_x64", dtype_name == "float64")
    import jax.numpy as jnp

    import vexol

    dtype = jnp.float64 if dtype_name == "float64" else jnp.float32
    out = {}
    for h in h_grid:
        x = vexol.sample(jnp.full(n, h), z, 12345).astype(dtype)
        hz = (jnp.asarray(h, dtype), jnp.asarray(z, dtype))
        row = []
        for fn in (vexol.logpdf, vexol.cdf):
            f = jax.jit(fn)
            f(x, *hz).block_until_ready()
            times = []
            for _ in range(reps):
                t0 = time.perf_counter()
                f(x, *hz).block_until_ready()
                times.append(time.perf_counter() - t0)
            row.append(statistics.median(times) / n * 1e9)
        out[h] = row
    return out


def child(args):
    h_grid = [float(v) for v in args.h.split(",")]
    print(json.dumps(measure(h_grid, args.n, args.reps, args.z, args.dtype)))


def run_child(pythonpath, args):
    env = dict(os.environ, PYTHONPATH=str(pythonpath))
    cmd = [sys.executable, __file__, "--child", "--h", args.h, "--n", str(args.n)]
    cmd += ["--reps", str(args.reps), "--z", str(args.z), "--dtype", args.dtype]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} (PYTHONPATH={pythonpath}) failed:\n{done.stderr}")
    return {float(k): v for k, v in json.loads(done.stdout.splitlines()[-1]).items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=65536)
    ap.add_argument("--reps", type=int, default=15)
    ap.add_argument("--z", type=float, default=0.5)
    ap.add_argument("--h", default=",".join(f"{h:g}" for h in H_GRID))
    ap.add_argument("--dtype", choices=("float64", "float32"), default="float64")
    ap.add_argument("--against", default=None, help="git revision to time against")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args)
        return
    print(
        f"XLA_FLAGS={os.environ.get('XLA_FLAGS', '')!r}, "
        f"CPUs allowed: {len(os.sched_getaffinity(0))}, {args.dtype}, z = {args.z}"
    )
    h_grid = [float(v) for v in args.h.split(",")]
    goal = {h: 300 if h <= 20 else 1000 for h in h_grid}
    if args.against is None:
        res = run_child(ROOT / "python", args)
        print("| h | logpdf ns/element | cdf ns/element | goal |")
        print("| ---: | ---: | ---: | ---: |")
        for h in h_grid:
            print(f"| {h:g} | {res[h][0]:.0f} | {res[h][1]:.0f} | {goal[h]} |", flush=True)
        return
    with tempfile.TemporaryDirectory() as tmp:
        archive = subprocess.run(
            ["git", "-C", str(ROOT), "archive", args.against, "python/vexol"],
            capture_output=True,
            check=True,
        ).stdout
        subprocess.run(["tar", "-x", "-C", tmp], input=archive, check=True)
        old_path = pathlib.Path(tmp) / "python"
        runs = {"old": [], "new": []}
        for r in range(args.rounds):
            for tag, path in (("old", old_path), ("new", ROOT / "python")):
                runs[tag].append(run_child(path, args))
            print(f"round {r + 1}/{args.rounds} done", file=sys.stderr, flush=True)
    print(f"| h | logpdf {args.against} | logpdf now | cdf {args.against} | cdf now | goal |")
    print("| ---: | ---: | ---: | ---: | ---: | ---: |")
    for h in h_grid:
        cells = [
            statistics.median(run[h][i] for run in runs[tag])
            for i in (0, 1)
            for tag in ("old", "new")
        ]
        print(f"| {h:g} | " + " | ".join(f"{c:.0f}" for c in cells) + f" | {goal[h]} |")


if __name__ == "__main__":
    main()
