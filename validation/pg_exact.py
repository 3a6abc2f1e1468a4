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
    h (sinh a - a) sech^2(a/2) / (4 a^3), a = |z| (Taylor series below
    |z| = 1e-3: h (1/4 - a^2/48) and h (1/24 - a^2/120 + 17 a^4/13440);
    above |z| = 20, where sinh overflows from 710 on, the variance as
    h (2 tanh(a/2) - a sech^2(a/2)) / (4 a^3), which has nothing to cancel
    there)."""
    h = np.asarray(h, dtype=np.float64)
    a = np.abs(np.asarray(z, dtype=np.float64))
    small = a < 1e-3
    large = a > 20
    s = np.where(small, 1.0, a)
    mid = np.where(large, 1.0, s)
    mean = np.where(small, h * (0.25 - a * a / 48.0), h * np.tanh(s / 2) / (2 * s))
    e = np.exp(-s)
    with np.errstate(over="ignore", invalid="ignore"):  # the branches not taken
        var = _var_branches(small, large, a, s, mid, e, h)
    return mean, var


def _var_branches(small, large, a, s, mid, e, h):
    return np.where(
        small,
        h * (1.0 / 24.0 - a * a / 120.0 + 17.0 * a**4 / 13440.0),
        np.where(
            large,
            h * (2 * np.tanh(s / 2) - 4 * s * e / (1 + e) ** 2) / (4 * s**3),
            h * (np.sinh(mid) - mid) / (4 * mid**3 * np.cosh(mid / 2) ** 2),
        ),
    )


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


# ---------------------------------------------------------------------------
# Pointwise reference values in arbitrary precision, for checking the JAX
# density and distribution function (vexol.logpdf, vexol.cdf, ...).
#
# Both come from the alternating series, summed with the working precision
# raised until the cancellation between its terms is covered: the number of
# digits is set from the largest term against the size of the sum, and the
# sum is recomputed until two precisions 20 digits apart agree to 1e-30.
# The CDF series integrates each tilted term in closed form:
#
#     int_0^x a/sqrt(2 pi t^3) exp(-a^2/(2t) - z^2 t/2) dt
#         = (e^(-a|z|) erfc((a - |z|x)/sqrt(2x)) + e^(a|z|) erfc((a + |z|x)/sqrt(2x)))/2,
#
# with a = n + h/2, so the survival function in the right tail, 1 - CDF, is
# resolved as long as the precision covers it. Under a tilt the survival
# function has a series of its own: sum_n (-1)^n Gamma(n+h)/(Gamma(h) n!)
# e^(-a|z|) = (2 cosh(z/2))^(-h) is the whole mass, and taking the CDF's
# terms from it term by term (2 - erfc(v) = erfc(-v)) leaves
#
#     P(X > x) = (2 cosh(z/2))^h / 2 sum_n (-1)^n Gamma(n+h)/(Gamma(h) n!)
#                (e^(-a|z|) erfc((|z|x - a)/sqrt(2x)) - e^(a|z|) erfc((a + |z|x)/sqrt(2x))),
#
# whose terms are of the size of the survival function itself (no 1 - CDF:
# under |z| = 1e5 it is e^(-1e10) at x = 2, which 1 - CDF would need 4e9
# digits for) and fall like e^(-n|z|) once a > |z|x, so it serves where |z|
# is not small. laplace_inversion() is a
# second, independent route (numerical inversion of the Laplace transform
# by mpmath's Talbot method) used to cross-check the series at sample points.


def _series_log_terms(x, h, z, which, drop):
    """Float logs of |term n| / |term 0| (the pdf's or the cdf's bound on
    it), until they are `drop` nats below the largest one and falling. The
    differences are formed exactly (n (n + h)/(2x), not a_n^2/(2x) - a_0^2/(2x)),
    so that they stay right when x is tiny and the terms themselves are
    exp(-1e300)."""
    mu = abs(z)
    logs = []
    n = 0
    while True:
        a = n + h / 2
        lw = math.lgamma(n + h) - math.lgamma(h) - math.lgamma(n + 1)
        if which == "pdf":
            lt = lw + math.log(a / (h / 2)) - n * (n + h) / (2 * x)
        elif which == "sf":
            # |e^(-a mu) erfc((mu x - a)/sqrt(2x)) - e^(a mu) erfc((a + mu x)/sqrt(2x))|:
            # both kernels are below e^(-mu^2 x/2 - a^2/(2x)) while a <= mu x
            # (erfc(t) <= e^(-t^2) for t >= 0), the first below 2 e^(-a mu)
            # and the second below e^(-a mu) beyond. Relative to term 0.
            def sf_bound(a):
                if a <= mu * x:
                    return -mu * mu * x / 2 - a * a / (2 * x)
                return math.log(2.0) - a * mu

            lt = lw + sf_bound(a) - sf_bound(h / 2)
        else:
            # e^(-a mu) erfc((a - mu x)/sqrt(2x)) <= 2 e^(-a mu) and the
            # second kernel is smaller than the first.
            v0 = (h / 2 - mu * x) / math.sqrt(2 * x)
            v = (a - mu * x) / math.sqrt(2 * x)
            if v >= 0 and v0 >= 0:
                bound = -n * (n + h - 2 * mu * x) / (2 * x)
            else:
                bound = (math.log(2.0) if v < 0 else -v * v) - (
                    math.log(2.0) if v0 < 0 else -v0 * v0
                )
            lt = lw - n * mu + bound
        logs.append(lt)
        if n > 2 and lt < max(logs) - drop and lt < logs[-2]:
            return logs
        n += 1
        if n > 200_000:
            # The survival series with mu near 0 (its terms do not fall) or
            # a drop asked for that no term count reaches.
            raise RuntimeError(f"{which} series: no end in sight at x={x}, h={h}, z={z}")


def _series_sum(x, h, z, which, dps, nterms):
    """(sum of the first nterms terms over the first term, the value with
    its prefactor)."""
    with mpmath.workdps(dps):
        X, H, Z = mpmath.mpf(x), mpmath.mpf(h), mpmath.mpf(z)
        mu = abs(Z)
        c = mpmath.mpf(1)
        total = mpmath.mpf(0)
        root = mpmath.sqrt(2 * X)
        first = None
        for n in range(nterms):
            a = n + H / 2
            if which == "pdf":
                t = c * 2 * a * mpmath.exp(-a * a / (2 * X))
            elif which == "sf":
                t = c * (
                    mpmath.exp(-a * mu) * mpmath.erfc((mu * X - a) / root)
                    - mpmath.exp(a * mu) * mpmath.erfc((a + mu * X) / root)
                )
            else:
                t = c * (
                    mpmath.exp(-a * mu) * mpmath.erfc((a - mu * X) / root)
                    + mpmath.exp(a * mu) * mpmath.erfc((a + mu * X) / root)
                )
            total += -t if n & 1 else t
            first = t if first is None else first
            c = c * (n + H) / (n + 1)
        # Prefactors: pdf 2^(h-1)/sqrt(2 pi x^3) cosh^h(z/2) e^(-z^2 x/2);
        # cdf and sf (2 cosh(z/2))^h / 2.
        if which == "pdf":
            pref = (
                mpmath.power(2, H - 1)
                / mpmath.sqrt(2 * mpmath.pi * X**3)
                * mpmath.cosh(Z / 2) ** H
                * mpmath.exp(-Z * Z * X / 2)
            )
        else:
            pref = mpmath.power(2 * mpmath.cosh(Z / 2), H) / 2
        return total / first, total * pref


def _series(x, h, z, which, extra_digits=0):
    """The series to a relative 1e-30 (and extra_digits more): more terms
    until they fall 80 nats (and extra_digits) below the sum, more digits until the cancellation (largest term against
    the sum) is covered with 40 to spare, and two such sums 20 digits apart
    that agree."""
    drop = 140.0
    digits = 40 + extra_digits
    previous = None
    for _ in range(30):
        logs = _series_log_terms(x, h, z, which, drop)
        top = max(logs)
        raw, value = _series_sum(x, h, z, which, digits, len(logs))
        with mpmath.workdps(digits):
            if raw <= 0:
                # Too few digits or too few terms to tell the sign: both.
                drop += 200.0
                digits = int(1.5 * digits) + 20
                previous = None
                continue
            log_raw = float(mpmath.log(raw))
            agree = previous is not None and abs(value - previous) <= abs(value) * mpmath.mpf(
                10
            ) ** (-30 - extra_digits)
        lost = (top - log_raw) / math.log(10)
        wanted = top - log_raw + 80 + extra_digits * math.log(10)
        enough = drop >= wanted and digits >= 40 + lost + extra_digits
        if agree and enough:
            return value
        drop = max(drop, wanted)
        digits = max(digits + 20, math.ceil(40 + lost + extra_digits))
        previous = value
    raise RuntimeError(f"series did not settle at x={x}, h={h}, z={z}")


def log_density_mp(x, h, z):
    """log p(x | h, z) as an mpf, relative error below 1e-30."""
    value = _series(x, h, z, "pdf")
    with mpmath.workdps(40):
        return mpmath.log(value)


# Below this h the Bromwich integral of the survival function is not used:
# its integrand decays along the line like e^(-h sqrt(y/2)) whatever the
# tilt (the shape does not depend on z), too slowly for the quadrature at
# small h; from this |z| on the survival series serves instead, whose terms
# fall like e^(-n|z|).
SF_SERIES_MIN_Z = 1.0


def log_cdf_sf_mp(x, h, z):
    """(log P(X <= x), log P(X > x)) as mpfs, relative to 1e-20 or better.
    The CDF series gives both while 1 - CDF keeps 20 digits; deeper in the
    right tail the survival function comes from its own Bromwich integral
    (bromwich_log_sf) when h >= 20, from its own series (which="sf") when
    |z| >= SF_SERIES_MIN_Z, and from the CDF series summed with enough
    extra digits to resolve 1 - CDF otherwise (|z| < 1, where the tail at
    the grid's points is above 1e-100 or so)."""
    value = _series(x, h, z, "cdf")
    with mpmath.workdps(40):
        rest = 1 - value
        if rest > mpmath.mpf(10) ** -10:
            return mpmath.log(value), mpmath.log(rest)
    if h >= 20:
        return mpmath.log(value), bromwich_log_sf(x, h, z)
    if abs(z) >= SF_SERIES_MIN_Z:
        return mpmath.log(value), log_sf_series_mp(x, h, z)
    return mpmath.log(value), log_sf_complement_mp(x, h, z)


def log_sf_complement_mp(x, h, z):
    """log(1 - CDF) from the CDF series summed with as many extra digits as
    the survival function needs: for small tails only (digits ~ -log10 sf)."""
    extra = 40
    while True:
        value = _series(x, h, z, "cdf", extra)
        with mpmath.workdps(60 + extra):
            rest = 1 - value
            if rest > 0 and -mpmath.log10(rest) + 30 <= extra:
                return mpmath.log(rest)
            extra = int(-mpmath.log10(rest)) + 40 if rest > 0 else 2 * extra
        if extra > 20000:
            raise RuntimeError(f"survival function below 1e-20000 at x={x}, h={h}, z={z}")


def log_sf_series_mp(x, h, z):
    """log P(X > x) from the survival series (which="sf"), relative error
    below 1e-30; for |z| >= 1 or so (the terms fall like e^(-n|z|))."""
    value = _series(x, h, z, "sf")
    with mpmath.workdps(40):
        return mpmath.log(value)


def _bromwich(x, h, z, what, dps):
    """log p(x | h, z) (what="pdf") or log of the tail of the CDF that the
    line resolves directly (what="tail": returns (log tail, is_cdf)) from
    the Bromwich integral on a vertical line, by mpmath's tanh-sinh
    quadrature (no fixed node count). In the variable w = z^2/4 + s/2 of
    the Laplace variable s, with a = |z|/2,

        p(x | h, z) = (2/pi) int_0^inf Re exp(Phi(w)) dy,
        +-P(X <= x or X > x) = (1/pi) int_0^inf Re[exp(Phi(w)) / (w - a^2)] dy,
        Phi(w) = 2 (w - a^2) x - h (log cosh sqrt(w) - log cosh a),  w = c + i y,

    the CDF with the line right of the pole at a^2 (the residue 1 is the
    whole mass: right of it the integral is the CDF, left of it minus the
    survival function). Phi(w) - Phi(c) does not depend on z: the crossing
    point c (the saddle point of Phi, tanh(sqrt c)/sqrt(c) = 4x/h, found by
    bisection; moved a width away from the pole when it is closer) and the
    integrand's shape are the same for every tilt, which enters only
    through the pole and the peak Phi(c)."""
    with mpmath.workdps(dps + max(0, int(mpmath.log10(1 + abs(mpmath.mpf(z))))) * 2):
        X, H, Z = mpmath.mpf(x), mpmath.mpf(h), mpmath.mpf(z)
        A = abs(Z) / 2
        pole = A * A

        def log_cosh_root(w):  # log cosh sqrt(w), continued to w < 0 as log cos
            if w >= 0:
                q = mpmath.sqrt(w)
                return q + mpmath.log1p(mpmath.exp(-2 * q)) - mpmath.log(2)
            return mpmath.log(mpmath.cos(mpmath.sqrt(-w)))

        def m(w):  # 2 d/dw log cosh sqrt(w) = tanh(sqrt w)/sqrt w
            if w > 0:
                q = mpmath.sqrt(w)
                return mpmath.tanh(q) / q
            if w < 0:
                q = mpmath.sqrt(-w)
                return mpmath.tan(q) / q
            return mpmath.mpf(1)

        # m falls from +inf at -pi^2/4 to 0 at +inf: bisect m(c) = 4x/h.
        target = 4 * X / H
        lo, hi = -(mpmath.pi**2) / 4, mpmath.mpf(1)
        while m(hi) > target:
            hi *= 4
        for _ in range(mpmath.mp.prec + 20):
            mid = (lo + hi) / 2
            lo, hi = (mid, hi) if m(mid) > target else (lo, mid)
        c = (lo + hi) / 2
        width = 1 / mpmath.sqrt(mpmath.diff(lambda w: -H * log_cosh_root(w), c, 2))
        is_cdf = c >= pole
        if what != "pdf":
            # The quadrature needs the pole off the line by a width or so.
            c = max(c, pole + width) if is_cdf else min(c, pole - width)
        log_cosh_a = A + mpmath.log1p(mpmath.exp(-2 * A)) - mpmath.log(2)
        log_cosh_c = log_cosh_root(c)
        peak = 2 * (c - pole) * X - H * (log_cosh_c - log_cosh_a)

        def shape(w):  # Phi(w) - Phi(c), independent of z
            # q + log1p(e^(-2q)) - log 2 is continuous along the line (Re q
            # > 0 off the axis); the principal log of cosh q is not, and
            # h times a jump of 2 pi i changes the value for non-integer h.
            q = mpmath.sqrt(w)
            log_cosh_q = q + mpmath.log1p(mpmath.exp(-2 * q)) - mpmath.log(2)
            return 2 * (w - c) * X - H * (log_cosh_q - log_cosh_c)

        def integrand(y):
            w = c + 1j * y
            if what == "pdf":
                return mpmath.re(mpmath.exp(shape(w)))
            return mpmath.re(mpmath.exp(shape(w)) / (w - pole))

        total = mpmath.quad(integrand, [0, width, 4 * width, 16 * width, mpmath.inf])
        if what == "pdf":
            return peak + mpmath.log(2 * total / mpmath.pi)
        return peak + mpmath.log((total if is_cdf else -total) / mpmath.pi), is_cdf


def bromwich_log_sf(x, h, z, dps=30):
    """log P(X > x) right of the mean from the Bromwich integral (_bromwich),
    for h large enough (>= 20) that the integrand is narrow."""
    tail, is_cdf = _bromwich(x, h, z, "tail", dps)
    if is_cdf:
        raise RuntimeError(f"x={x} is left of the mean of PG({h}, {z})")
    return tail


# reference() takes the Bromwich integrals from this h on, and there from
# this fraction of h on (the mean of PG(h, 0) is h/4): below, the series are
# quick, and the crossing point of the Bromwich line, about (h/(4x))^2, is
# far out.
BROMWICH_MIN_H = 50.0
BROMWICH_MIN_X_OVER_H = 1 / 40


def reference(x, h, z, dps=30):
    """(log pdf, log cdf, log sf) as mpfs. For h >= 50 and x >= h/40 from
    the Bromwich integrals (_bromwich), where the series cancel heavily and
    cost seconds to minutes per point at h = 2000 (hundreds of digits, a
    thousand erfc terms); elsewhere from the series (log_density_mp,
    log_cdf_sf_mp). The two agree to 1e-25 relative or better where both
    are computed (validation/density_accuracy.py --check-reference)."""
    if h >= BROMWICH_MIN_H and x >= BROMWICH_MIN_X_OVER_H * h:
        lp = _bromwich(x, h, z, "pdf", dps)
        tail, is_cdf = _bromwich(x, h, z, "tail", dps)
        with mpmath.workdps(dps + 10):
            rest = mpmath.log1p(-mpmath.exp(tail))
        return (lp, tail, rest) if is_cdf else (lp, rest, tail)
    return (log_density_mp(x, h, z), *log_cdf_sf_mp(x, h, z))


def laplace_inversion(x, h, z, what="pdf", dps=40):
    """p(x | h, z) (what="pdf") or P(X <= x) (what="cdf") by Talbot's
    numerical inversion of the Laplace transform
    cosh^h(z/2)/cosh^h(sqrt(z^2/4 + s/2)) (divided by s for the CDF):
    independent of the series, for cross-checks at moderate x."""
    with mpmath.workdps(dps):
        H, Z = mpmath.mpf(h), mpmath.mpf(z)

        def log_cosh(q):
            # Continuous along the contour for Re q >= 0 (the principal
            # power cosh(q)^h is not, for non-integer h).
            return q + mpmath.log1p(mpmath.exp(-2 * q)) - mpmath.log(2)

        def transform(s):
            q = mpmath.sqrt(Z * Z / 4 + s / 2)
            f = mpmath.exp(H * (log_cosh(abs(Z) / 2) - log_cosh(q)))
            return f if what == "pdf" else f / s

        return mpmath.invertlaplace(transform, mpmath.mpf(x), method="talbot")
