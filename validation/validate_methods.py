"""Kolmogorov-Smirnov distance to the exact law of PG(h, z) by method.

    python validation/validate_methods.py [--n 1000000] [--tilt 1.0] [--h 0.1,0.5,...]

For each shape h it draws n variates at z = --tilt with the default
dispatch, with method="saddle" (from h = 8 on) and with method="exact", and
prints a Markdown table of the KS distance of each sample to the exact CDF
(validation/pg_exact.py: the alternating series summed in arbitrary
precision and integrated, independent of the sampler; vexol.cdf above
h = 200), next to the distance
sampling noise alone gives at this n (the median of the KS statistic of an
exact sampler, about 0.83/sqrt(n)) and its 0.1% point (1.95/sqrt(n)).
Exact draws at large h cost time linear in h (h/4 alternate draws each);
--n-large caps n for h > 100 for that method.
"""

import argparse
import math
import pathlib
import sys
import time

import numpy as np
from scipy import stats

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from draws import pg_draws
from pg_exact import ExactLaw

DEFAULT_SHAPES = [0.1, 0.3, 0.5, 0.9, 8.0, 20.0, 49.0, 100.0, 300.0, 1000.0]


# Above this shape the arbitrary-precision reference of pg_exact.py runs out
# of grid (its series cancels too much); vexol.cdf takes over there, whose
# CDF is within 1e-13 of an arbitrary-precision reference up to h = 1000
# (docs/density_validation.md).
REFERENCE_MAX_H = 200.0


class JaxLaw:
    def __init__(self, h, z):
        import jax

        import vexol

        self.cdf_fn = jax.jit(lambda x: vexol.cdf(x, h, z))

    def cdf(self, x):
        return np.asarray(self.cdf_fn(x))


def ks(x, law):
    return float(stats.kstest(x, law.cdf).statistic)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawTextHelpFormatter
    )
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--n-large", type=int, default=None, help="n for exact draws at h > 100")
    parser.add_argument("--tilt", type=float, default=1.0)
    parser.add_argument("--h", type=str, default=",".join(map(str, DEFAULT_SHAPES)))
    parser.add_argument("--seed", type=int, default=20261207)
    args = parser.parse_args()
    shapes = [float(v) for v in args.h.split(",")]
    z = args.tilt
    print(
        f"n = {args.n}, z = {z}; KS of an exact sampler: median {0.83 / math.sqrt(args.n):.2g}, "
        f"0.1% point {1.95 / math.sqrt(args.n):.2g}"
    )
    print()
    print("| h | default | saddle | exact |")
    print("|---:|---:|---:|---:|")
    for h in shapes:
        law = ExactLaw(h, z) if h <= REFERENCE_MAX_H else JaxLaw(h, z)
        row = [f"{h:g}"]
        for method in (None, "saddle", "exact"):
            if method == "saddle" and h < 8.0:
                row.append("(default)")
                continue
            n = args.n
            if method == "exact" and h > 100 and args.n_large:
                n = args.n_large
            t0 = time.time()
            x = pg_draws(np.full(n, h), np.full(n, z), args.seed + int(100 * h), method)
            d = ks(x, law)
            cell = (
                f"{d:.2g}"
                if n == args.n
                else f"{d:.2g} (n = {n:.0e}, 0.1% point {1.95 / math.sqrt(n):.2g})"
            )
            row.append(cell)
            print(
                f"  h={h:g} {method or 'default'}: D={d:.3g}, n={n}, {time.time() - t0:.0f} s",
                file=sys.stderr,
                flush=True,
            )
        print("| " + " | ".join(row) + " |", flush=True)


if __name__ == "__main__":
    main()
