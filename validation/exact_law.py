"""The law of method="exact" at large shapes: KS distance and Laplace
transform against the exact law, and the default beside it.

    python validation/exact_law.py [--n 1000000] [--h 8,50,1000,1e4,1e6,1e9] [--z 0,1,30]

For each (h, z): n draws by "exact" (and by the default), the Kolmogorov
distance to vexol.cdf (the density's contour integral, within 1e-13 of an
arbitrary-precision reference, docs/density_validation.md), and the
Laplace transform E exp(-t (x - mean)) at t = c/sd, c = 0.5, 1, 2, against
its closed form h (log cosh(z/2) - log cosh(sqrt(z^2/4 + t/2))) + t mean,
as a z-score (the largest of the three). An exact sampler gives a KS
distance below 1.95/sqrt(n) 999 times in 1000, and z-scores of a few.
"""

import argparse
import math
import pathlib
import sys

import mpmath as mp
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from draws import pg_draws
from validate_methods import JaxLaw, ks

import vexol


def laplace_score(x, h, z):
    mean = float(vexol.mean(h, z))
    sd = math.sqrt(float(vexol.variance(h, z)))
    a = mp.mpf(abs(z)) / 2

    worst = 0.0
    for c in (0.5, 1.0, 2.0):
        t = c / sd
        e = np.exp(-t * (x - mean))
        # In 40 digits: at h = 1e13 the difference of the two log cosh,
        # multiplied by h, kept no more than two digits in doubles.
        with mp.workdps(40):
            log_l = h * (mp.log(mp.cosh(a)) - mp.log(mp.cosh(mp.sqrt(a * a + mp.mpf(t) / 2))))
            exact = float(mp.exp(log_l + mp.mpf(t) * mean))
        worst = max(worst, abs(e.mean() - exact) / (e.std() / math.sqrt(x.size)))
    return worst


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawTextHelpFormatter
    )
    parser.add_argument("--n", type=int, default=1_000_000, help="draws per (h, z)")
    parser.add_argument("--h", type=str, default="8,50,1000,1e4,1e6,1e9")
    parser.add_argument("--z", type=str, default="0,1,30")
    parser.add_argument("--seed", type=int, default=20261209)
    args = parser.parse_args()
    n = args.n
    print(f"n = {n}; KS 0.1% point of an exact sampler {1.95 / math.sqrt(n):.2g}\n")
    print("| h | z | exact: KS | exact: Laplace z-score | default: KS | default: Laplace z-score |")
    print("|---:|---:|---:|---:|---:|---:|")
    for h in (float(v) for v in args.h.split(",")):
        for z in (float(v) for v in args.z.split(",")):
            law = JaxLaw(h, z)
            row = [f"{h:g}", f"{z:g}"]
            for method in ("exact", None):
                x = pg_draws(
                    np.full(n, h),
                    np.full(n, z),
                    args.seed + 1000 * round(100 * math.log10(h)) + round(10 * z),
                    method,
                )
                row += [f"{ks(x, law):.2g}", f"{laplace_score(x, h, z):.1f}"]
            print("| " + " | ".join(row) + " |", flush=True)


if __name__ == "__main__":
    main()
