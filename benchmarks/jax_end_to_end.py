"""End-to-end figures through JAX, and the series baseline a JAX user would
write without vexol.

    python benchmarks/jax_end_to_end.py [--reps N] [--series-max-n N]

Prints, in one run:
  1. draws/s of the custom call for n = 1e3, 1e5, 1e7 at h = 1 with z spread
     over [0, 4], with VEXOL_NUM_THREADS=1 and =2 (one subprocess each, since
     the thread count is read once per process);
  2. the time per call for n = 1, 100, 1000 against a jitted elementwise
     no-op of the same shape (negation of h) with the same three operands;
  3. PG(h, z) as the series of K = 200 gamma variates,
     (1/(2 pi^2)) sum_k G_k / ((k - 1/2)^2 + z^2/(4 pi^2)), jitted with
     jax.random.gamma: speed ratio to vexol at the same n, and the bias of
     its mean and variance against the exact moments (exact expectation of
     the truncated series, and as measured on its draws next to vexol's).
Every time is the median of repeated calls after a warm-up call.
"""

import argparse
import json
import math
import os
import pathlib
import statistics
import subprocess
import sys
import time

SIZES = [1_000, 100_000, 10_000_000]
# The thread table adds 2^17, two full chunks: the smallest array whose
# chunks two threads can share evenly.
THREAD_SIZES = [1_000, 100_000, 131_072, 10_000_000]
OVERHEAD_SIZES = [1, 100, 1000]
K = 200


def worker(args):
    import jax
    import jax.numpy as jnp
    import numpy as np

    jax.config.update("jax_enable_x64", True)
    import vexol_cpp

    target = "vexol_bench_pg_sample_f64"
    jax.ffi.register_ffi_target(
        target, vexol_cpp.pg_sample_f64_capsule(), platform="cpu", api_version=1
    )

    @jax.jit
    def pg(h, z, seed):
        return jax.ffi.ffi_call(target, jax.ShapeDtypeStruct(h.shape, jnp.float64))(h, z, seed)

    @jax.jit
    def noop(h, z, seed):
        return -h

    def inputs(n, h=1.0, z=None):
        rng = np.random.default_rng(7)
        hh = jnp.full((n,), h, dtype=jnp.float64)
        zz = jnp.asarray(rng.uniform(0.0, 4.0, n) if z is None else np.full(n, z))
        return hh, zz, jnp.array([12345], dtype=jnp.int64)

    def median_time(f, operands, reps, inner=1):
        f(*operands).block_until_ready()  # compile and warm up
        times = []
        for _ in range(reps):
            t0 = time.perf_counter()
            for _ in range(inner):
                out = f(*operands)
            out.block_until_ready()
            times.append((time.perf_counter() - t0) / inner)
        return statistics.median(times)

    result = {"threads": os.environ.get("VEXOL_NUM_THREADS"), "draws": {}}
    for n in THREAD_SIZES:
        ops = inputs(n)
        reps = args.reps if n < 10_000_000 else max(3, args.reps // 2)
        inner = max(1, 100_000 // n)
        result["draws"][n] = median_time(pg, ops, reps, inner)

    if not args.series:
        print(json.dumps(result))
        return

    result["overhead"] = {}
    for n in OVERHEAD_SIZES:
        ops = inputs(n)
        # Interleaved so that both see the same machine state.
        t_pg, t_noop = [], []
        for _ in range(args.reps * 3):
            t_pg.append(median_time(pg, ops, 1, inner=200))
            t_noop.append(median_time(noop, ops, 1, inner=200))
        result["overhead"][n] = (statistics.median(t_pg), statistics.median(t_noop))

    ks = jnp.arange(1, K + 1, dtype=jnp.float64) - 0.5

    @jax.jit
    def series(key, h, z):
        d = ks[:, None] ** 2 + (z[None, :] / (2 * math.pi)) ** 2

        def body(k, acc):
            g = jax.random.gamma(jax.random.fold_in(key, k), h, dtype=jnp.float64)
            return acc + g / d[k]

        return jax.lax.fori_loop(0, K, body, jnp.zeros_like(h)) / (2 * math.pi**2)

    key = jax.random.key(0)
    result["series"] = {}
    for n in [s for s in SIZES if s <= args.series_max_n]:
        hh, zz, seed = inputs(n)
        # Seconds per call from 10^5 on: one timed call after the warm-up.
        reps = 3 if n < 100_000 else 1
        t_series = median_time(lambda h, z, s: series(key, h, z), (hh, zz, seed), reps)
        result["series"][n] = t_series

    # The same-(h, z) comparison for the regimes judged against the series.
    result["regimes"] = {}
    n = 10_000
    for h, z in [(1.0, None), (2.5, 1.0), (20.0, 1.0), (0.5, 1.0), (100.0, 1.0)]:
        hh, zz, seed = inputs(n, h, z)
        t_pg = median_time(pg, (hh, zz, seed), args.reps)
        t_series = median_time(lambda h, z, s: series(key, h, z), (hh, zz, seed), 3)
        result["regimes"][f"{h:g},{'U[0,4]' if z is None else f'{z:g}'}"] = (t_pg, t_series)

    # Bias against the exact moments at h = 1, z spread over [0, 4].
    n = min(args.series_max_n, 100_000)
    hh, zz, seed = inputs(n)
    z = np.asarray(zz)
    xs = np.asarray(series(jax.random.key(1), hh, zz))
    xv = np.asarray(pg(hh, zz, seed))
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "validation"))
    from pg_exact import exact_moments

    mean, var = exact_moments(1.0, z)
    mix_mean, mix_var = float(mean.mean()), float(var.mean() + mean.var())
    d = np.asarray(ks)[:, None] ** 2 + (z[None, :] / (2 * math.pi)) ** 2
    t_mean = (1 / d).sum(0) / (2 * math.pi**2)
    t_var = (1 / d**2).sum(0) / (4 * math.pi**4)
    trunc_mean = float(t_mean.mean())
    trunc_var = float(t_var.mean() + t_mean.var())
    result["bias"] = {
        "n": n,
        "exact": (mix_mean, mix_var),
        "truncated_expected": (trunc_mean, trunc_var),
        "series_sample": (float(xs.mean()), float(xs.var())),
        "vexol_sample": (float(xv.mean()), float(xv.var())),
        "se_mean": math.sqrt(mix_var / n),
    }
    print(json.dumps(result))


def run_worker(threads, args, series):
    env = dict(os.environ, VEXOL_NUM_THREADS=str(threads))
    cmd = [
        sys.executable,
        __file__,
        "--worker",
        "--reps",
        str(args.reps),
        "--series-max-n",
        str(args.series_max_n),
    ]
    if series:
        cmd.append("--series")
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument(
        "--series-max-n",
        type=int,
        default=100_000,
        help="largest n for the 200-gamma series (10^7 takes minutes)",
    )
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--series", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return 0

    one = run_worker(1, args, series=True)
    two = run_worker(2, args, series=False)

    print(f"End to end through JAX, h = 1, z ~ U[0, 4]; medians of {args.reps} calls")
    print(
        f"{'n':>10s} {'1 thread draws/s':>17s} {'ns/draw':>8s} "
        f"{'2 threads draws/s':>18s} {'ns/draw':>8s} {'speed-up':>9s}"
    )
    for n in THREAD_SIZES:
        t1, t2 = one["draws"][str(n)], two["draws"][str(n)]
        print(
            f"{n:>10d} {n / t1:17.3e} {t1 / n * 1e9:8.1f} {n / t2:18.3e} "
            f"{t2 / n * 1e9:8.1f} {t1 / t2:8.2f}x"
        )

    per_draw = one["draws"][str(100_000)] / 100_000
    print("\nPer-call time against a jitted no-op of the same shape (1 thread)")
    print(
        f"{'n':>6s} {'vexol us':>9s} {'no-op us':>9s} {'diff us':>8s} {'diff - n x ns/draw':>19s}"
    )
    for n in OVERHEAD_SIZES:
        t_pg, t_noop = one["overhead"][str(n)]
        diff = t_pg - t_noop
        print(
            f"{n:>6d} {t_pg * 1e6:9.2f} {t_noop * 1e6:9.2f} {diff * 1e6:8.2f} "
            f"{(diff - n * per_draw) * 1e6:19.2f}"
        )

    print(f"\nJAX series of {K} gamma variates (jax.random.gamma, jitted), h = 1, z ~ U[0, 4]")
    print(f"{'n':>10s} {'series s':>10s} {'vexol s':>10s} {'series/vexol':>13s}")
    for n, t_series in one["series"].items():
        t_pg = one["draws"][n]
        print(f"{int(n):>10d} {t_series:10.4f} {t_pg:10.6f} {t_series / t_pg:12.0f}x")

    print("\nSame (h, z), n = 10000, 1 thread: vexol against the JAX series")
    print(f"{'h,z':>12s} {'vexol ns':>9s} {'series ns':>10s} {'series/vexol':>13s}")
    for hz, (t_pg, t_series) in one["regimes"].items():
        print(
            f"{hz:>12s} {t_pg / 1e4 * 1e9:9.1f} {t_series / 1e4 * 1e9:10.1f} "
            f"{t_series / t_pg:12.0f}x"
        )

    b = one["bias"]
    em, ev = b["exact"]
    print(f"\nBias against the exact moments, h = 1, z ~ U[0, 4] (mixture), n = {b['n']}")
    print(f"{'':28s} {'mean':>12s} {'rel. bias':>10s} {'variance':>12s} {'rel. bias':>10s}")
    print(f"{'exact':28s} {em:12.6f} {'':10s} {ev:12.6f}")
    for label, key in [
        ("series, exact expectation", "truncated_expected"),
        ("series, its draws", "series_sample"),
        ("vexol, its draws", "vexol_sample"),
    ]:
        m, v = b[key]
        print(f"{label:28s} {m:12.6f} {m / em - 1:+10.2e} {v:12.6f} {v / ev - 1:+10.2e}")
    print(f"(standard error of a sample mean: {b['se_mean'] / em:.1e} relative)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
