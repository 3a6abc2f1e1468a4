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
from jax import lax
from jax.scipy.special import erfc, gammaln

from vexol._varying import uniform_carry

# jax.scipy.special.erfcx exists from JAX 0.10 on; before that, Laplace's
# continued fraction for erfc gives the scaled function to a few ulp for
# the arguments above 2 where it is needed (60 levels: error below 3e-16 at
# 2, less beyond).
_erfcx = getattr(jax.scipy.special, "erfcx", None)
ERFCX_FRACTION_LEVELS = 60

SMALL_X_TERMS = 14
# The density series is used only where the terms it leaves out are below
# e^-SMALL_X_TAIL_NATS of its first (small_x_converged_limit).
SMALL_X_TAIL_NATS = 41.0
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
# The same for g_j (4 pi^2)^j (float32; see _large_x_log_sum): m q_m
# (4 pi^2)^m = (-1)^m sum_{k>=2} (2/(k (k-1)))^m, at most 1 in size.
_RECURRENCE_SCALED = _RECURRENCE * (4 * math.pi**2) ** (
    np.arange(LARGE_X_TERMS)[:, None] - np.arange(LARGE_X_TERMS)[None, :]
).clip(min=0)
_LAGUERRE_U, _LAGUERRE_W = np.polynomial.laguerre.laggauss(LAGUERRE_NODES)


def log_tilt(x, h, z):
    """log of the tilt cosh^h(z/2) e^(-z^2 x/2) that takes PG(h, 0) to
    PG(h, z), as |z|(h - |z|x)/2 + h log((1 + e^-|z|)/2): the two exponents
    h|z|/2 and z^2 x/2 are never formed, so that nothing overflows to
    inf - inf for |z| up to 1e308, and in the bulk (x near h/(2|z|)) they do
    not cancel."""
    mu = jnp.abs(z)
    return 0.5 * mu * (h - mu * x) + h * (jnp.log1p(jnp.exp(-mu)) - math.log(2.0))


def log_cosh(y):
    """log cosh(y) for real y without overflow."""
    a = jnp.abs(y)
    return a + jnp.log1p(jnp.exp(-2 * a)) - math.log(2.0)


def _alternating_sum(log_terms):
    """log of sum_n (-1)^n exp(log_terms[n]) for a sum dominated by n = 0
    (the caller guarantees it is positive)."""
    top = log_terms[0]
    # A first term of exactly zero (an underflowed kernel) has all the
    # others zero too: the sum is then -inf, not -inf - -inf.
    safe = jnp.where(top > -jnp.inf, top, 0.0)
    total = jnp.ones_like(top)
    for n, lt in enumerate(log_terms[1:], start=1):
        total = total + (-1.0) ** n * jnp.exp(lt - safe)
    return top + jnp.log(total)


def _log_binomial_weights(h):
    """log Gamma(n+h)/(Gamma(h) n!) for n < SMALL_X_TERMS, by products so
    that no lgamma of a large argument cancels."""
    weights = [jnp.zeros_like(h)]
    for n in range(1, SMALL_X_TERMS):
        weights.append(weights[-1] + jnp.log((n - 1 + h) / n))
    return weights


def small_x_logpdf(x, h, z):
    """log p(x | h, z) by the alternating series (x small).

    Each term is taken relative to the first, n(n + h)/(2x) apart in the
    exponent, and the first term's exponent with the tilt folded in,
    -(2n+h)^2/(8x) + h|z|/2 - z^2 x/2 = -(h - 2|z|x)^2/(8x) at n = 0: the
    inverse-Gaussian form, small in the bulk, where the three terms it
    replaces are each of size h|z| and cancel (in float32 that cancellation
    alone cost 1e-4 of the density at h = 20, |z| = 100)."""
    mu = jnp.abs(z)
    weights = _log_binomial_weights(h)
    logs = [jnp.zeros_like(x + h)]
    for n in range(1, SMALL_X_TERMS):
        logs.append(weights[n] + jnp.log1p(2 * n / h) - n * (n + h) / (2 * x))
    d = 2 * difference_of_product(0.5 * h, mu, x)
    pref = (
        h * jnp.log1p(jnp.exp(-mu))
        - math.log(2.0)
        - 0.5 * LOG_2PI
        - 1.5 * jnp.log(x)
        + jnp.log(h)
        - d * d / (8 * x)
    )
    return pref + _alternating_sum(logs)


def small_x_converged_limit(h):
    """Largest x at which SMALL_X_TERMS terms of the density series leave
    out less than e^-41 (1.6e-18) of the first: term n is the first times
    Gamma(n+h)/(Gamma(h) n!) (2n+h)/h e^(-n(n+h)/(2x)), and past its largest
    term (n ~ h e^(-h/(2x)), far below SMALL_X_TERMS here) the alternating
    sum's tail is below the first term left out. For h >= 35 this is below
    the limit where the second term is a third of the first; for large h the
    terms behave like the Poisson weights of h e^(-h/(2x)), which has to stay
    below about 0.35 (at the old limit it was 1.8 for h = 1000 and the
    truncation cost 7e-8). The CDF's terms are integrals of the density's
    and fall at least as fast at the same x."""
    n = SMALL_X_TERMS
    log_weight = gammaln(n + h) - gammaln(h) - math.lgamma(n + 1)
    return n * (n + h) / (2 * (log_weight + jnp.log1p(2 * n / h) + SMALL_X_TAIL_NATS))


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


def _log_erfcx(v):
    """log erfcx(v) for v >= 0 (finite or +inf, where it is -inf)."""
    if _erfcx is not None:
        return jnp.log(_erfcx(v))
    far = v > 2.0
    vf = jnp.where(far, v, 3.0)
    vn = jnp.where(far, 0.0, v)
    return jnp.where(far, _log_erfcx_fraction(vf), jnp.log(erfc(vn)) + vn * vn)


def _split(v):
    """v = hi + lo exactly, hi with the low half of the mantissa cleared, so
    that products of halves are exact (Dekker 1971, by masking rather than
    Veltkamp's multiply, which a fused multiply-add would spoil)."""
    if v.dtype == jnp.float64:
        bits, mask = jnp.uint64, np.uint64(0xFFFFFFFFF8000000)
    else:
        bits, mask = jnp.uint32, np.uint32(0xFFFFF000)
    hi = lax.bitcast_convert_type(lax.bitcast_convert_type(v, bits) & mask, v.dtype)
    return hi, v - hi


def difference_of_product(a, mu, x):
    """a - mu x for a, mu, x >= 0, as if the product were exact. In the bulk
    of a narrow law mu x and a agree in most of their digits (at |z| = 1e5,
    h = 2000 in all but 1e-4 of them), and the rounded product alone cost
    float32 1e-3 of the CDF there. The product is summed from products of
    halves, each exact, so that the result is the same whether or not the
    compiler fuses a multiply and an add (XLA on the CPU does). The
    correction is a constant for differentiation: the derivatives are those
    of a - mu x. Where the product overflows, the plain difference."""
    plain = a - mu * x
    a, mu, x = (jax.lax.stop_gradient(v) for v in (a, mu, x))
    mh, ml = _split(mu)
    xh, xl = _split(x)
    exact = ((a - mh * xh) - (mh * xl + ml * xh)) - ml * xl
    fix = exact - jax.lax.stop_gradient(plain)
    return plain + jax.lax.stop_gradient(jnp.where(jnp.isfinite(fix), fix, 0.0))


def _kernel_arguments(x, h, z, n):
    """(v1, v2) = ((|z|x - a)/sqrt(2x), (|z|x + a)/sqrt(2x)), a = n + h/2,
    with |z|x kept from overflowing before the division (|z| up to 1e308).
    v2^2 - v1^2 = 2a|z| exactly: the kernels' e^(+-a|z|) factors are
    absorbed into that identity rather than formed as two huge exponents
    that should cancel. v1 is formed from the difference |z|x - a itself
    (difference_of_product) where it is finite: as a difference of the two quotients
    it would carry their rounding, of the size of a/sqrt(2x), into a value
    of order 1."""
    mu = jnp.abs(z)
    a = 0.5 * h
    root = jnp.sqrt(2 * x)
    ux = mu * jnp.sqrt(0.5 * x)
    near = -difference_of_product(a, mu, x) - n
    v1 = jnp.where(jnp.isfinite(near), near / root, ux - (n + a) / root)
    v2 = ux + (n + a) / root
    return v1, v2


def log1mexp(d):
    """log(1 - e^d) for d <= 0, accurate at both ends; d = 0 gives -inf
    with a zero derivative (both branches' inputs are kept finite, so that
    reverse mode does not multiply an infinite partial by a zero cotangent)."""
    near = d > -math.log(2.0)
    dn = jnp.where(near & (d < 0), d, -1.0)
    df = jnp.where(near, -1.0, d)
    out = jnp.where(near, jnp.log(-jnp.expm1(dn)), jnp.log1p(-jnp.exp(df)))
    return jnp.where(d < 0, out, -jnp.inf)


# The CDF and the survival function as series of inverse-Gaussian kernels.
# Term n is e^(-n|z|) times the kernel's CDF (erfc(-v1) + e^(2a|z|) erfc(v2))
# or survival function (erfc(v1) - e^(2a|z|) erfc(v2)), v1 and v2 from
# _kernel_arguments. Where the kernel is in its tail (v1 < 0 for the CDF,
# v1 > 0 for the survival function) both parts carry e^(-v1^2), and
# -n|z| - v1_n^2 + v1_0^2 = -n(n + h)/(2x) exactly: the terms are formed
# relative to e^(-v1_0^2), which is returned apart, so that no two exponents
# of size v1^2 (5e19 at |z| = 1e10, x = 1) are ever subtracted.


def _term_axis(x, h, z):
    """n = 0 .. SMALL_X_TERMS - 1 on a leading axis that broadcasts against
    the arguments. The kernel series evaluate their terms as one array: the
    program then holds one copy of a term's arithmetic instead of one per
    term (unrolled, the CDF and survival series were 8,700 of the 11,400
    operations of log cdf, and their derivative took minutes and gigabytes
    to compile)."""
    ndim = max(jnp.ndim(x), jnp.ndim(h), jnp.ndim(z))
    return jnp.arange(SMALL_X_TERMS, dtype=x.dtype).reshape((SMALL_X_TERMS,) + (1,) * ndim)


def _kernel_cdf_terms(x, h, z):
    """(offset, [log term_n - offset]) for the CDF series."""
    mu = jnp.abs(z)
    n = _term_axis(x, h, z)
    v1, v2 = _kernel_arguments(x, h, z, n)
    v10 = v1[0]
    tail = v10 <= 0  # then every v1_n <= v1_0 is too
    offset = jnp.where(tail, -v10 * v10, 0.0)
    lx2 = _log_erfcx(v2)
    neg = jnp.where(tail, -v1, 0.0)
    in_tail = -n * (n + h) / (2 * x) + jnp.logaddexp(_log_erfcx(neg), lx2)
    v1o = jnp.where(tail, 0.0, v1)
    outside = -n * mu + jnp.logaddexp(_log_erfc(-v1o), lx2 - v1o * v1o)
    return offset, list(jnp.where(tail, in_tail, outside))


def _kernel_sf_terms(x, h, z):
    """(offset, [log term_n - offset]) for the survival series."""
    mu = jnp.abs(z)
    n = _term_axis(x, h, z)
    v1, v2 = _kernel_arguments(x, h, z, n)
    v10 = v1[0]
    offset = jnp.where(v10 >= 0, -v10 * v10, 0.0)
    lx2 = _log_erfcx(v2)
    pos = v1 >= 0  # then v1_0 >= 0 too
    v1p = jnp.where(pos, v1, 0.0)
    v1n = jnp.where(pos, -1.0, v1)
    lx1 = _log_erfcx(v1p)
    first_neg = _log_erfc(v1n)
    # log of 1 - e^(2a|z|) erfc(v2)/erfc(v1), the ratio <= 1.
    gap = jnp.where(pos, lx2 - lx1, lx2 - v1n * v1n - first_neg)
    gap = jnp.where(jnp.isnan(gap), -jnp.inf, jnp.minimum(gap, 0.0))
    head = jnp.where(pos, -n * (n + h) / (2 * x) + lx1, -n * mu + first_neg - offset)
    return offset, list(head + log1mexp(gap))


def small_x_logcdf(x, h, z):
    """log P(X <= x) by the series of inverse-Gaussian CDFs (x small)."""
    mu = jnp.abs(z)
    weights = _log_binomial_weights(h)
    offset, terms = _kernel_cdf_terms(x, h, z)
    logs = [w + t for w, t in zip(weights, terms, strict=True)]
    pref = h * jnp.log1p(jnp.exp(-mu)) - math.log(2.0)
    return pref + offset + _alternating_sum(logs)


def small_x_sf_is_exact(h, z):
    """Whether small_x_logsf's series is summed to the working precision:
    its terms carry the binomial weights Gamma(n+h)/(Gamma(h) n!) e^(-n|z|),
    which fall by e^-3 or more per term once |z| >= 3 + log(1 + h), by
    e^-1.5 (e^-21 over the series' 14 terms, enough for float32) once
    |z| >= 1.5 + log(1 + h). In float32 the lower bound matters: below it
    the survival function is 1 - CDF, which keeps only 6e-8/sf of it."""
    offset = 3.0 if h.dtype == jnp.float64 else 1.5
    return jnp.abs(z) >= offset + jnp.log1p(h)


def small_x_logsf(x, h, z):
    """log P(X > x) for a large tilt, where the mass sits at small x and
    1 - CDF would cancel: the same series with each inverse-Gaussian CDF
    replaced by its survival function,

        (e^(-a|z|) erfc((|z|x - a)/sqrt(2x)) - e^(a|z|) erfc((a + |z|x)/sqrt(2x)))/2,

    which needs e^(-|z|) small for the alternating sum (the total mass
    series is the binomial series of (1 + e^(-|z|))^-h)."""
    mu = jnp.abs(z)
    weights = _log_binomial_weights(h)
    offset, terms = _kernel_sf_terms(x, h, z)
    logs = [w + t for w, t in zip(weights, terms, strict=True)]
    pref = h * jnp.log1p(jnp.exp(-mu)) - math.log(2.0)
    return pref + offset + _alternating_sum(logs)


def _g_scale(h):
    """The scale s = max(1, h) of the float32 coefficients (below)."""
    return jnp.maximum(h, 1.0)


def _large_x_coefficients(h):
    """g_0..g_{J-1} of exp(h Q(v)) on the shape of h, by the recurrence
    j g_j = h sum_{m=1}^{j} m q_m g_{j-m} (a loop, so that it compiles small).
    In float32 g_j (4 pi^2/s)^j with s = _g_scale(h): g_j grows like
    (h/(4 pi^2))^j/j!, which past h = 100 overflowed float32 (and made the
    density NaN at x >= h^2/20); scaled, the recurrence's factors
    h m q_m (4 pi^2)^m/s^m are at most 1 and the coefficients stay of order
    1 (_large_x_log_sum carries the same scale)."""
    g = jnp.zeros((LARGE_X_TERMS, *jnp.shape(h)), h.dtype).at[0].set(1.0)
    if h.dtype == jnp.float64:
        rows = jnp.asarray(_RECURRENCE, dtype=h.dtype)

        def step(j, g):
            return g.at[j].set(h * jnp.tensordot(rows[j], g, axes=1) / j)

    else:
        rows = jnp.asarray(_RECURRENCE_SCALED, dtype=h.dtype)
        log_s = jnp.log(_g_scale(h))
        cols = jnp.arange(LARGE_X_TERMS, dtype=h.dtype).reshape((-1,) + (1,) * jnp.ndim(h))

        def step(j, g):
            # column j - m carries s^-m (0 once it underflows: its term is
            # below float32's range anyway).
            m = jnp.asarray(j, h.dtype) - cols
            powers = jnp.where(m > 0, jnp.exp(-jnp.maximum(m, 1.0) * log_s), 0.0)
            return g.at[j].set(h * jnp.sum(rows[j].reshape(cols.shape) * powers * g, axis=0) / j)

    # The carry starts from constants; the recurrence's rows take h's mesh axes.
    g = jax.lax.fori_loop(1, LARGE_X_TERMS, step, uniform_carry(g, h))
    return [g[j] for j in range(LARGE_X_TERMS)]


# g_j falls like (4 pi^2)^-j and prod_{i<=j} (h-i)/x grows like j!/x^j: in
# float32 the product overflows (31!/0.4^31 = 4e45) where the terms are
# still small, at the x from which the survival function is taken from this
# expansion (LARGE_X_SF_FROM). There both factors are carried scaled by
# (4 pi^2/s)^j; float64 keeps the unscaled products.
_G_SCALE = 4 * math.pi**2


def _large_x_log_sum(x, h, g):
    """log sum_j g_j prod_{i<=j} (h-i)/x: positive for x in the range used."""
    total = g[0]
    ratio = jnp.ones_like(x)
    if x.dtype == jnp.float64:
        for j in range(1, LARGE_X_TERMS):
            ratio = ratio * (h - j) / x
            total = total + g[j] * ratio
    else:
        sx = _G_SCALE * x / _g_scale(h)  # g holds g_j (4 pi^2/s)^j
        for j in range(1, LARGE_X_TERMS):
            ratio = ratio * (h - j) / sx
            total = total + g[j] * ratio
    return jnp.log(total)


def _large_x_log_front(x, h, z):
    """log of (2 pi)^h/Gamma(h) x^(h-1) e^(-pi^2 x/2) and the tilt."""
    return h * LOG_2PI - gammaln(h) + (h - 1) * jnp.log(x) - HALF_PI_SQ * x + log_tilt(x, h, z)


def large_x_logpdf(x, h, z):
    """log p(x | h, z) by the expansion at the first singularity (x large)."""
    g = _large_x_coefficients(h)
    return _large_x_log_front(x, h, z) + _large_x_log_sum(x, h, g)


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
    return _large_x_log_front(x, h, z) - jnp.log(beta) + quad
