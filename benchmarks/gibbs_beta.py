"""The β | ω draw of vexol.gibbs: Cholesky against Bhattacharya, Chakraborty
and Mallick (2016), and where one overtakes the other as p grows at fixed n.

The Cholesky draw factors the p x p precision X'ΩX + P: O(np² + p³). BCM
works with the n x n matrix ΦDΦ' + I: O(n²p + n³). draw_beta's "auto" picks
BCM when n < p. For each p the script times one jitted draw of each, after
a warm-up call that compiles: the process's CPU time per call (XLA runs on
one thread, so this is the algorithm's work, and other jobs on a shared
machine do not inflate it) and the fastest wall-clock call, with a fixed ω from
PG(1, 0) draws, and a full logistic sweep (ω and β) of vexol.gibbs.logistic
with "auto" for n = 200, p = 2000: the problem of the brief's example.

    .venv/bin/python benchmarks/gibbs_beta.py [--n 200] [--p 50 100 ...]
        [--dtype float64|float32] [--repeats 20]
"""

import argparse
import functools
import os
import time

# One thread: both algorithms are timed as the work they do. jaxlib's CPU
# Cholesky calls the LAPACK that SciPy ships (OpenBLAS), whose own threads
# otherwise spin and, on a busy machine, cost more than the factorization.
os.environ.setdefault(
    "XLA_FLAGS", "--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1"
)
for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import jax  # noqa: E402
import jax.numpy as jnp  # noqa: E402
import numpy as np  # noqa: E402


def timed(fn, *args, repeats):
    """(CPU seconds per call, fastest wall-clock call) after a warm-up call.

    With one XLA thread the process's CPU time is the work of the call, and
    other jobs on a shared machine do not inflate it as they do wall time.
    """
    jax.block_until_ready(fn(*args))  # compile and warm up
    fastest = float("inf")
    cpu = time.process_time()
    for _ in range(repeats):
        start = time.perf_counter()
        jax.block_until_ready(fn(*args))
        fastest = min(fastest, time.perf_counter() - start)
    return (time.process_time() - cpu) / repeats, fastest


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=200)
    parser.add_argument(
        "--p", type=int, nargs="+", default=[25, 50, 100, 150, 200, 300, 500, 1000, 2000]
    )
    parser.add_argument("--dtype", choices=["float64", "float32"], default="float64")
    parser.add_argument("--repeats", type=int, default=20)
    args = parser.parse_args(argv)
    jax.config.update("jax_enable_x64", args.dtype == "float64")

    import vexol
    from vexol import gibbs

    dtype = jnp.dtype(args.dtype)
    rng = np.random.default_rng(0)
    n = args.n
    print(f"beta | omega draw, n = {n}, {args.dtype}, {args.repeats} calls each (ms)")
    print(
        f"{'p':>6}{'cholesky cpu':>14}{'bcm cpu':>10}{'chol/bcm':>10}"
        f"{'cholesky wall':>15}{'bcm wall':>10}{'auto':>10}"
    )
    for p in args.p:
        X = jnp.asarray(rng.normal(size=(n, p)) / np.sqrt(p), dtype)
        omega = vexol.polya_gamma(jax.random.key(p), 1.0, jnp.zeros(n, dtype), dtype=dtype)
        kappa = jnp.asarray(rng.choice([-0.5, 0.5], size=n), dtype)
        precision = jnp.full(p, 1.0, dtype)
        row = {}
        for method in ("cholesky", "bcm"):
            fn = jax.jit(functools.partial(gibbs.draw_beta, method=method))
            seconds = timed(fn, jax.random.key(1), X, omega, kappa, precision, repeats=args.repeats)
            row[method] = [t * 1e3 for t in seconds]
        auto = gibbs.choose_method(n, p, True)
        (chol_cpu, chol_wall), (bcm_cpu, bcm_wall) = row["cholesky"], row["bcm"]
        print(
            f"{p:>6}{chol_cpu:>14.3f}{bcm_cpu:>10.3f}{chol_cpu / bcm_cpu:>10.2f}"
            f"{chol_wall:>15.3f}{bcm_wall:>10.3f}{auto:>10}"
        )

    p = 2000
    X = rng.normal(size=(n, p)) / np.sqrt(p)
    y = (rng.random(n) < 0.5).astype(float)
    print(f"\nfull logistic sweep (omega and beta), n = {n}, p = {p}: cpu, fastest wall (ms)")
    for method in ("cholesky", "bcm"):
        model = gibbs.logistic(X, y, prior_sd=1.0, beta_method=method, dtype=dtype)
        state = model.init(jax.random.key(0))
        cpu, wall = timed(jax.jit(model.step), jax.random.key(2), state, repeats=args.repeats)
        print(f"  {method:<9}{cpu * 1e3:>10.2f}{wall * 1e3:>10.2f}")


if __name__ == "__main__":
    main()
