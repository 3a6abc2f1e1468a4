"""The β | ω draw of vexol.gibbs: Cholesky against Bhattacharya, Chakraborty
and Mallick (2016), and where one overtakes the other as p grows at fixed n.

The Cholesky draw factors the p x p precision X'ΩX + P: O(np² + p³). BCM
works with the n x n matrix ΦDΦ' + I: O(n²p + n³). draw_beta's "auto" picks
BCM when n < p. For each p the script times one jitted draw of each (the
fastest of repeated calls, after a warm-up call that compiles: on a shared
machine the minimum is the figure least disturbed by other work; XLA runs
on one thread, so the figures are the algorithms', not the thread pool's),
with a fixed ω from
PG(1, 0) draws, and a full logistic sweep (ω and β) of vexol.gibbs.logistic
with "auto" for n = 200, p = 2000: the problem of the brief's example.

    .venv/bin/python benchmarks/gibbs_beta.py [--n 200] [--p 50 100 ...]
        [--dtype float64|float32] [--repeats 20]
"""

import argparse
import functools
import os
import time

# One XLA thread: both algorithms are timed as the work they do.
os.environ.setdefault(
    "XLA_FLAGS", "--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1"
)

import jax
import jax.numpy as jnp
import numpy as np


def timed(fn, *args, repeats):
    jax.block_until_ready(fn(*args))  # compile and warm up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        jax.block_until_ready(fn(*args))
        times.append(time.perf_counter() - start)
    return min(times)


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
    print(f"beta | omega draw, n = {n}, {args.dtype}, fastest of {args.repeats} calls (ms)")
    print(f"{'p':>6}{'cholesky':>12}{'bcm':>12}{'chol/bcm':>10}{'auto':>10}")
    for p in args.p:
        X = jnp.asarray(rng.normal(size=(n, p)) / np.sqrt(p), dtype)
        omega = vexol.polya_gamma(jax.random.key(p), 1.0, jnp.zeros(n, dtype), dtype=dtype)
        kappa = jnp.asarray(rng.choice([-0.5, 0.5], size=n), dtype)
        precision = jnp.full(p, 1.0, dtype)
        row = {}
        for method in ("cholesky", "bcm"):
            fn = jax.jit(functools.partial(gibbs.draw_beta, method=method))
            row[method] = (
                timed(fn, jax.random.key(1), X, omega, kappa, precision, repeats=args.repeats) * 1e3
            )
        auto = gibbs.choose_method(n, p, True)
        print(
            f"{p:>6}{row['cholesky']:>12.3f}{row['bcm']:>12.3f}"
            f"{row['cholesky'] / row['bcm']:>10.2f}{auto:>10}"
        )

    p = 2000
    X = rng.normal(size=(n, p)) / np.sqrt(p)
    y = (rng.random(n) < 0.5).astype(float)
    print(f"\nfull logistic sweep (omega and beta), n = {n}, p = {p} (ms)")
    for method in ("cholesky", "bcm"):
        model = gibbs.logistic(X, y, prior_sd=1.0, beta_method=method, dtype=dtype)
        state = model.init(jax.random.key(0))
        step = jax.jit(model.step)
        print(
            f"  {method:<9}{timed(step, jax.random.key(2), state, repeats=args.repeats) * 1e3:>10.2f}"
        )


if __name__ == "__main__":
    main()
