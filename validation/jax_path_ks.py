"""KS distance to the exact law of PG(h, z), per regime, for the pure-JAX
sampler path next to the C++ path, from samples of the same size.

    python validation/jax_path_ks.py [--n 1000000] [--dtype float64]

The exact CDF is vexol.cdf (double precision; its error is below 1e-13,
far under the sampling noise). Prints a Markdown table: regime, n, the two
KS distances, the two-sample KS p-value between the paths, and the
one-sample p-values. For exact regimes both distances should be sampling
noise (about 0.87/sqrt(n) on average); for approximate ones both carry the
approximation's own error, and should agree.
"""

import argparse
import math

import jax
import jax.numpy as jnp
import numpy as np
from scipy import stats

import vexol
from vexol._jax import draw

CASES = [
    ("Devroye, h = 1", 1.0, 0.0),
    ("Devroye, h = 1", 1.0, 2.5),
    ("Devroye, h = 1", 1.0, 30.0),
    ("Devroye sum, h = 3", 3.0, 0.5),
    ("alternate", 2.5, 1.0),
    ("alternate", 1.5, 0.0),
    ("alternate, integer h, \\|z\\| > 1", 2.0, 3.0),
    ("alternate pieces", 4.5, 1.0),
    ("alternate pieces", 7.3, 4.0),
    ("saddle point", 8.0, 0.0),
    ("saddle point", 20.0, 1.0),
    ("saddle point", 50.0, 5.0),
    ("normal", 50.5, 1.0),
    ("normal", 200.0, 1.0),
    ("gamma series", 0.9, 2.0),
    ("gamma series", 0.3, 1.0),
    ("gamma series", 0.1, 0.0),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--dtype", choices=["float32", "float64"], default="float64")
    args = parser.parse_args()
    jax.config.update("jax_enable_x64", True)
    dtype = jnp.dtype(args.dtype)
    n = args.n
    f = jax.jit(draw)
    cdf = jax.jit(vexol.cdf)
    print(f"n = {n:,} per sample, dtype {args.dtype}")
    print()
    print("| regime | h | z | KS, JAX path | KS, C++ path | p, JAX | p, C++ | two-sample p |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for i, (label, h, z) in enumerate(CASES):
        hh = jnp.full((n,), h, dtype)
        zz = jnp.full((n,), z, dtype)
        x = np.asarray(f(jax.random.key(1000 + i), hh, zz), np.float64)
        y = np.asarray(vexol.sample(hh, zz, 2000 + i, dtype=dtype), np.float64)

        def law(q, h=h, z=z):
            return np.asarray(cdf(jnp.asarray(q, jnp.float64), h, z))

        kx, ky = stats.kstest(x, law), stats.kstest(y, law)
        two = stats.ks_2samp(x, y).pvalue
        print(
            f"| {label} | {h:g} | {z:g} | {kx.statistic:.5f} | {ky.statistic:.5f} | "
            f"{kx.pvalue:.3g} | {ky.pvalue:.3g} | {two:.3g} |",
            flush=True,
        )
    print()
    print(f"sampling noise: mean KS distance of an exact sample ~ {0.8687 / math.sqrt(n):.5f}")


if __name__ == "__main__":
    main()
