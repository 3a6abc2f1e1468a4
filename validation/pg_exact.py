"""The exact law of PG(h, z), computed without the sampler.

Density: the alternating series of the density of PG(h, 0),

    p(x | h, 0) = 2^(h-1)/Gamma(h) sum_n (-1)^n Gamma(n+h)/n! (2n+h)/sqrt(2 pi x^3)
                  exp(-(2n+h)^2/(8x)),

(the law of J*(h)/4) tilted by the Laplace transform,

    p(x | h, z) = cosh^h(z/2) exp(-z^2 x/2) p(x | h, 0).

The series cancels heavily where its terms are large (large h, large x), so
it is summed in arbitrary precision (mpmath) with the working precision set
from the size of the largest term. The CDF is the integral of the density
on a fine grid in log x (Simpson), interpolated monotonically. The mean and
variance follow from the Laplace transform in closed form and check both.
"""

import math

import mpmath
import numpy as np
from scipy.integrate import cumulative_simpson
from scipy.interpolate import PchipInterpolator


def exact_moments(h, z):
    """Mean and variance of PG(h, z), elementwise: h tanh(a/2)/(2a) and
    h (sinh a - a) sech^2(a/2) / (4 a^3), a = |z| (series below |z| = 1e-3)."""
    h = np.asarray(h, dtype=np.float64)
    a = np.abs(np.asarray(z, dtype=np.float64))
    small = a < 1e-3
    s = np.where(small, 1.0, a)
    mean = np.where(small, h * (0.25 - a * a / 48.0), h * np.tanh(s / 2) / (2 * s))
    var = np.where(
        small,
        h * (1.0 / 24.0 - a * a / 240.0),
        h * (np.sinh(s) - s) / (4 * s**3 * np.cosh(s / 2) ** 2),
    )
    return mean, var


def _log_terms(x, h, z):
    """Natural logs of |term n| of the tilted series at x (floats), up to the
    point where they are negligible; and the log of the tilt factor."""
    log_pref = (
        (h - 1) * math.log(2.0)
        - 0.5 * math.log(2 * math.pi * x**3)
        + h * math.log(math.cosh(z / 2))
        - z * z * x / 2
    )
    logs = []
    n = 0
    while True:
        m = 2 * n + h
        lt = (
            log_pref
            + math.lgamma(n + h)
            - math.lgamma(h)
            - math.lgamma(n + 1)
            + math.log(m)
            - m * m / (8 * x)
        )
        logs.append(lt)
        # Past the largest term and 60 orders of magnitude below it.
        if n > 2 and lt < max(logs) - 140.0 and lt < logs[-2]:
            return logs
        n += 1


def density_point(x, h, z):
    """p(x | h, z) at one x > 0, accurate to about 1e-20 absolute."""
    if x <= 0:
        return 0.0
    logs = _log_terms(x, h, z)
    top = max(logs)
    dps = 25 + max(0, math.ceil(top / math.log(10))) + 20
    with mpmath.workdps(dps):
        X = mpmath.mpf(x)
        H = mpmath.mpf(h)
        Z = mpmath.mpf(z)
        pref = (
            mpmath.power(2, H - 1)
            / mpmath.sqrt(2 * mpmath.pi * X**3)
            * mpmath.cosh(Z / 2) ** H
            * mpmath.exp(-Z * Z * X / 2)
        )
        # Term n = c_n (2n+h) e_n with c_n = Gamma(n+h)/(Gamma(h) n!) and
        # e_n = exp(-(2n+h)^2/(8x)), both by recurrence.
        c = mpmath.mpf(1)
        e = mpmath.exp(-H * H / (8 * X))
        A = mpmath.exp(-(H + 1) / (2 * X))
        B = mpmath.exp(-1 / X)
        Bn = mpmath.mpf(1)
        total = mpmath.mpf(0)
        for n in range(len(logs)):
            t = c * (2 * n + H) * e
            total += -t if n & 1 else t
            c = c * (n + H) / (n + 1)
            e = e * A * Bn
            Bn = Bn * B
        return float(total * pref)


def density(x, h, z):
    return np.array([density_point(float(v), h, z) for v in np.ravel(x)]).reshape(np.shape(x))


class ExactLaw:
    """Density and CDF of PG(h, z) on a grid in log x wide enough that the
    mass outside it is negligible (below about 1e-15 on each side)."""

    def __init__(self, h, z, points=1500):
        self.h, self.z = float(h), float(z)
        mean, var = exact_moments(h, z)
        mean, sd = float(mean), math.sqrt(float(var))
        rate = math.pi**2 / 2 + self.z**2 / 2  # the right tail is ~ exp(-rate x)
        # Left: for small h the density has the factor exp(-h^2/(8x)) and
        # nothing else below its mode; for large h it is nearly normal.
        x_lo = min(self.h**2 / 400.0, max(mean - 14 * sd, mean / 50.0))
        x_hi = mean + 14 * sd + 40.0 / rate
        self.u = np.linspace(math.log(x_lo), math.log(x_hi), points)
        self.x = np.exp(self.u)
        self.pdf = density(self.x, self.h, self.z)
        cdf = cumulative_simpson(self.pdf * self.x, x=self.u, initial=0.0)
        self.mass = float(cdf[-1])
        self.cdf_grid = np.clip(cdf / self.mass, 0.0, 1.0)
        with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
            # Flat stretches of the CDF (0 or 1 to double precision) give
            # zero slopes, which PCHIP handles; numpy only warns about them.
            self._cdf = PchipInterpolator(self.u, self.cdf_grid, extrapolate=False)
        # Moments from the density, to be held against the closed forms.
        w = self.pdf * self.x
        m1 = float(cumulative_simpson(w * self.x, x=self.u)[-1]) / self.mass
        m2 = float(cumulative_simpson(w * self.x**2, x=self.u)[-1]) / self.mass
        self.mean, self.var = m1, m2 - m1 * m1
        self.exact_mean, self.exact_var = mean, float(var)

    def cdf(self, x):
        x = np.asarray(x, dtype=np.float64)
        out = np.empty_like(x)
        low = x <= self.x[0]
        high = x >= self.x[-1]
        mid = ~(low | high)
        out[low] = 0.0
        out[high] = 1.0
        out[mid] = self._cdf(np.log(x[mid]))
        return out
