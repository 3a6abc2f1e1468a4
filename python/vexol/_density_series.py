"""Two series for the law of PG(h, z): one for small x, one for large x.

Notation: lam = z^2/2 is the tilt, and every function here returns the log of
a positive quantity, because the left tail reaches exp(-h^2/(8x)) and the
right tail exp(-(pi^2 + z^2) x/2), far outside the range of a float.

Small x (Polson, Scott & Windle 2013, from Devroye 2009 for J*(h)): PG(h, 0)
= J*(h)/4 has the alternating series

    p(x | h, 0) = 2^(h-1)/Gamma(h) sum_n (-1)^n Gamma(n+h)/n! (2n+h)
                  / sqrt(2 pi x^3) exp(-(2n+h)^2/(8x)),

which follows from expanding cosh^-h(sqrt(t/2)) = 2^h e^(-h sqrt(t/2))
(1 + e^(-2 sqrt(t/2)))^-h binomially and inverting each exp(-a sqrt(2t)) with
a = n + h/2. The tilt multiplies by cosh^h(z/2) exp(-lam x). Each tilted
term is an inverse-Gaussian kernel, so the CDF is the same series with

    int_0^x a/sqrt(2 pi t^3) exp(-a^2/(2t) - lam t) dt
        = (e^(-a|z|) erfc((a - |z|x)/sqrt(2x)) + e^(a|z|) erfc((a + |z|x)/sqrt(2x)))/2.

The terms fall off like exp(-n(n+h)/(2x)) while they grow like n^(h-1), so
the series is summed with a fixed number of terms where x is small enough
that the first term dominates.

Large x: cosh(sqrt(w)) = prod_k (1 + w/(pi^2 (k-1/2)^2)), so the Laplace
transform cosh^-h(sqrt(s/2)) of PG(h, 0) is singular at s_k = -2 pi^2
(k-1/2)^2. Factoring out the first factor,

    cosh^-h(sqrt(s/2)) = (2 pi)^h (s - s_1)^-h exp(h Q(s - s_1)),

with Q(v) = sum_m (-1)^m sigma_m (v/2)^m / m and sigma_m = sum_{k>=2}
(pi^2 k (k-1))^-m (the zeros of the remaining product seen from s_1). Term
by term inversion (Hankel's integral for v^(j-h)) gives

    p(x | h, 0) = (2 pi)^h/Gamma(h) x^(h-1) e^(s_1 x) sum_j g_j prod_{i<=j} (h-i)/x,

where sum_j g_j v^j = exp(h Q(v)). For integer h the sum ends at j = h - 1;
otherwise it is asymptotic, with terms of size j!/(4 pi^2 x)^j, and the
error of the truncated sum is of the order of the neglected e^(s_2 x)
singularity once x >= 1. The survival function integrates this density
from x to infinity by Gauss-Laguerre quadrature.
"""

import math

import jax
import jax.numpy as jnp
import numpy as np
from jax.scipy.special import erfc, gammaln

# jax.scipy.special.erfcx exists from JAX 0.10 on; before that, Laplace's
# continued fraction for erfc gives the scaled function to a few ulp for
# the arguments above 2 where it is needed (60 levels: error below 3e-16 at
# 2, less beyond).
_erfcx = getattr(jax.scipy.special, "erfcx", None)
ERFCX_FRACTION_LEVELS = 60

SMALL_X_TERMS = 14
LARGE_X_TERMS = 32
LAGUERRE_NODES = 20
HALF_PI_SQ = math.pi**2 / 2
LOG_2PI = math.log(2 * math.pi)


def _sigma(m):
    """sum_{k>=2} (pi^2 k (k-1))^-m; telescoping gives 1/pi^2 for m = 1."""
    if m == 1:
        return 1 / math.pi**2
    k = np.arange(200_000, 1, -1, dtype=np.float64)
    return float(np.sum((math.pi**2 * k * (k - 1)) ** -float(m)))


# Coefficients of Q(v) = sum_m q_m v^m, with m q_m kept for the recurrence
# j g_j = h sum_{m=1}^{j} m q_m g_{j-m} of exp(h Q).
_M_Q = tuple((-1) ** m * _sigma(m) / 2**m for m in range(1, LARGE_X_TERMS + 1))
# Row j holds m q_m at column j - m, so that row j . (g_0, g_1, ...) is the
# recurrence's sum.
_RECURRENCE = np.zeros((LARGE_X_TERMS, LARGE_X_TERMS))
for _j in range(1, LARGE_X_TERMS):
    for _m in range(1, _j + 1):
        _RECURRENCE[_j, _j - _m] = _M_Q[_m - 1]
_LAGUERRE_U, _LAGUERRE_W = np.polynomial.laguerre.laggauss(LAGUERRE_NODES)


def log_cosh(y):
    """log cosh(y) for real y without overflow."""
    a = jnp.abs(y)
    return a + jnp.log1p(jnp.exp(-2 * a)) - math.log(2.0)


def _alternating_sum(log_terms):
    """log of sum_n (-1)^n exp(log_terms[n]) for a sum dominated by n = 0
    (the caller guarantees it is positive)."""
    top = log_terms[0]
    total = jnp.ones_like(top)
    for n, lt in enumerate(log_terms[1:], start=1):
        total = total + (-1.0) ** n * jnp.exp(lt - top)
    return top + jnp.log(total)


def _log_binomial_weights(h):
    """log Gamma(n+h)/(Gamma(h) n!) for n < SMALL_X_TERMS, by products so
    that no lgamma of a large argument cancels."""
    weights = [jnp.zeros_like(h)]
    for n in range(1, SMALL_X_TERMS):
        weights.append(weights[-1] + jnp.log((n - 1 + h) / n))
    return weights


def small_x_logpdf(x, h, z):
    """log p(x | h, z) by the alternating series (x small)."""
    lam = 0.5 * z * z
    weights = _log_binomial_weights(h)
    logs = []
    for n in range(SMALL_X_TERMS):
        m = 2 * n + h
        logs.append(weights[n] + jnp.log(m) - m * m / (8 * x))
    pref = (
        (h - 1) * math.log(2.0) - 0.5 * (LOG_2PI + 3 * jnp.log(x)) + h * log_cosh(0.5 * z) - lam * x
    )
    return pref + _alternating_sum(logs)


def _log_erfcx_fraction(v):
    """log erfcx(v) for v >= 2 from the continued fraction
    erfc(v) = exp(-v^2) / sqrt(pi) / (v + (1/2) / (v + 1 / (v + (3/2) / ...)))."""
    t = v
    for k in range(ERFCX_FRACTION_LEVELS, 0, -1):
        t = v + (0.5 * k) / t
    return -jnp.log(t) - 0.5 * math.log(math.pi)


def _log_erfc(v):
    """log erfc(v) for any real v: the scaled function keeps the right tail
    in range."""
    if _erfcx is not None:
        positive = v >= 0
        vp = jnp.where(positive, v, 0.0)
        vn = jnp.where(positive, -1.0, v)
        return jnp.where(positive, jnp.log(_erfcx(vp)) - vp * vp, jnp.log(erfc(vn)))
    far = v > 2.0
    vf = jnp.where(far, v, 3.0)
    vn = jnp.where(far, 0.0, v)
    return jnp.where(far, _log_erfcx_fraction(vf) - vf * vf, jnp.log(erfc(vn)))


def small_x_logcdf(x, h, z):
    """log P(X <= x) by the series of inverse-Gaussian CDFs (x small)."""
    mu = jnp.abs(z)
    weights = _log_binomial_weights(h)
    root = jnp.sqrt(2 * x)
    logs = []
    for n in range(SMALL_X_TERMS):
        a = n + 0.5 * h
        lo = _log_erfc((a - mu * x) / root)
        hi = _log_erfc((a + mu * x) / root)
        # h mu/2 from cosh^h(z/2) 2^h against e^(-+ a mu): the n mu left over.
        both = jnp.logaddexp(lo, 2 * a * mu + hi)
        logs.append(weights[n] - n * mu + both)
    pref = h * jnp.log1p(jnp.exp(-mu)) - math.log(2.0)
    return pref + _alternating_sum(logs)


def small_x_sf_is_exact(h, z):
    """Whether small_x_logsf's series is summed to double precision: its
    terms carry the binomial weights Gamma(n+h)/(Gamma(h) n!) e^(-n|z|),
    which fall by e^-3 or more per term once |z| >= 3 + log(1 + h)."""
    return jnp.abs(z) >= 3 + jnp.log1p(h)


def small_x_logsf(x, h, z):
    """log P(X > x) for a large tilt, where the mass sits at small x and
    1 - CDF would cancel: the same series with each inverse-Gaussian CDF
    replaced by its survival function,

        (e^(-a|z|) erfc((|z|x - a)/sqrt(2x)) - e^(a|z|) erfc((a + |z|x)/sqrt(2x)))/2,

    which needs e^(-|z|) small for the alternating sum (the total mass
    series is the binomial series of (1 + e^(-|z|))^-h)."""
    mu = jnp.abs(z)
    weights = _log_binomial_weights(h)
    root = jnp.sqrt(2 * x)
    logs = []
    for n in range(SMALL_X_TERMS):
        a = n + 0.5 * h
        first = _log_erfc((mu * x - a) / root)
        second = 2 * a * mu + _log_erfc((a + mu * x) / root)
        # An inverse-Gaussian survival function: first > second.
        diff = first + jnp.log1p(-jnp.exp(jnp.minimum(second - first, 0.0)))
        logs.append(weights[n] - n * mu + diff)
    pref = h * jnp.log1p(jnp.exp(-mu)) - math.log(2.0)
    return pref + _alternating_sum(logs)


def _large_x_coefficients(h):
    """g_0..g_{J-1} of exp(h Q(v)) on the shape of h, by the recurrence
    j g_j = h sum_{m=1}^{j} m q_m g_{j-m} (a loop, so that it compiles small)."""
    rows = jnp.asarray(_RECURRENCE, dtype=h.dtype)
    g = jnp.zeros((LARGE_X_TERMS, *jnp.shape(h)), h.dtype).at[0].set(1.0)

    def step(j, g):
        acc = jnp.tensordot(rows[j], g, axes=1)
        return g.at[j].set(h * acc / j)

    g = jax.lax.fori_loop(1, LARGE_X_TERMS, step, g)
    return [g[j] for j in range(LARGE_X_TERMS)]


def _large_x_log_sum(x, h, g):
    """log sum_j g_j prod_{i<=j} (h-i)/x: positive for x in the range used."""
    total = g[0]
    ratio = jnp.ones_like(x)
    for j in range(1, LARGE_X_TERMS):
        ratio = ratio * (h - j) / x
        total = total + g[j] * ratio
    return jnp.log(total)


def _large_x_log_front(h, z):
    return h * (LOG_2PI + log_cosh(0.5 * z)) - gammaln(h)


def large_x_logpdf(x, h, z):
    """log p(x | h, z) by the expansion at the first singularity (x large)."""
    g = _large_x_coefficients(h)
    beta = HALF_PI_SQ + 0.5 * z * z
    return _large_x_log_front(h, z) + (h - 1) * jnp.log(x) - beta * x + _large_x_log_sum(x, h, g)


def large_x_logsf(x, h, z):
    """log P(X > x): int_x^inf of the large-x density, t = x + u/beta,
    by Gauss-Laguerre in u (the integrand is smooth on u >= 0, with its only
    singularity at u = -beta x)."""
    g = _large_x_coefficients(h)
    beta = HALF_PI_SQ + 0.5 * z * z
    shape = (-1,) + (1,) * jnp.ndim(x)
    u = jnp.asarray(_LAGUERRE_U, dtype=x.dtype).reshape(shape)
    w = jnp.asarray(_LAGUERRE_W, dtype=x.dtype).reshape(shape)
    logs = jnp.log(w) + (h - 1) * jnp.log1p(u / (beta * x)) + _large_x_log_sum(x + u / beta, h, g)
    top = jnp.max(logs, axis=0)
    quad = top + jnp.log(jnp.sum(jnp.exp(logs - top), axis=0))
    return _large_x_log_front(h, z) + (h - 1) * jnp.log(x) - beta * x - jnp.log(beta) + quad
