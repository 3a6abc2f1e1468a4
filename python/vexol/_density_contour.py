"""The law of PG(h, z) for large h by numerical inversion of its Laplace
transform along a line through the saddle point.

Where the series of _density_series cancel (the bulk of PG(h, z) for large
h), the density and the CDF come from the Bromwich integrals

    p(x | h, 0)  = 1/(2 pi i) int e^(u x) F(u) du,
    F(u) = cosh^-h(sqrt(u/2)),

taken on the vertical line Re u = c through the saddle point of
h K(u) + u x, K = log F (Daniels 1954; Windle's thesis, 2013, for the PG
saddle point). F is analytic off (-inf, -pi^2/2], so the line may sit
anywhere right of -pi^2/2; at the saddle point the integrand is close to a
Gaussian of width sigma = (h K''(c))^(-1/2), and the trapezoidal rule with a
step of a fixed fraction of sigma converges like exp(-2 pi^2 sigma^2/step^2)
with a fixed number of nodes (the integrand is conjugate-symmetric, so only
y >= 0 is summed).

The tilt enters as PG(h, z) = cosh^h(z/2) e^(-lam x) PG(h, 0), lam = z^2/2,
so the saddle point itself does not depend on z. For the distribution
function, the transform of the CDF is cosh^h(z/2) F(u + lam)/(u + lam),
which after the shift u -> u - lam has a simple pole at u = lam with
residue e^(lam x) F(lam) (the whole mass): with the line right of the pole
the integral is the CDF, left of it minus the survival function. The
trapezoidal sum of a simple pole at distance a steps from the line is off by
exactly sign(a)/(e^(2 pi |a|) - 1) times the residue, which is subtracted.
"""

import math

import jax.numpy as jnp
import numpy as np

NODES = 24
STEP = 0.5  # trapezoid step in units of sigma; the error is ~exp(-2 pi^2/STEP^2)
NEWTON_STEPS = 7
POLE_SIGMAS = 12.0
LAGUERRE_NODES = 24
_LAGUERRE_U, _LAGUERRE_W = np.polynomial.laguerre.laggauss(LAGUERRE_NODES)
W_POLE = -(math.pi**2) / 4  # w = u/2 at the first singularity


def _m_and_slope(w):
    """m(w) = tanh(sqrt w)/(2 sqrt w) (continued to w < 0 as tan) and dm/dw.
    -m(u/2)/2 is K'(u): the mean of PG(1, 0) exponentially tilted by u."""
    near = jnp.abs(w) < 0.1
    pos = w > 0.1
    neg = w < -0.1
    r = jnp.sqrt(jnp.where(pos, w, 1.0))
    tr = jnp.tanh(r)
    m_pos = tr / (2 * r)
    d_pos = (1 - tr * tr) / (4 * r * r) - tr / (4 * r**3)
    t = jnp.sqrt(jnp.where(neg, -w, 1.0))
    tt = jnp.tan(t)
    m_neg = tt / (2 * t)
    d_neg = -(1 + tt * tt) / (4 * t * t) + tt / (4 * t**3)
    wn = jnp.where(near, w, 0.0)
    m_near = 0.5 + wn * (-1 / 6 + wn * (1 / 15 + wn * (-17 / 315 + wn * 62 / 2835)))
    d_near = -1 / 6 + wn * (2 / 15 + wn * (-17 / 105 + wn * 248 / 2835))
    m = jnp.where(pos, m_pos, jnp.where(neg, m_neg, m_near))
    d = jnp.where(pos, d_pos, jnp.where(neg, d_neg, d_near))
    return m, d


def saddle_point(x, h):
    """(c, sigma): the saddle point u of h K(u) + u x, found by Newton's
    method on g = 1/m, which is concave and increasing in w = u/2, from a
    start left of the root (so the iterates rise monotonically to it), and
    the width (h K''(c))^(-1/2) of the integrand there in the y direction.
    Any c right of the singularity gives the same integral; the saddle point
    only makes the integrand narrow and smooth."""
    target = h / (2 * x)  # g(w) at the root; g(W_POLE) = 0, g(0) = 2, g'(0) = 2/3
    w = jnp.where(target <= 2, W_POLE + target, 1.5 * (target - 2))
    for _ in range(NEWTON_STEPS):
        m, d = _m_and_slope(w)
        g = 1 / m
        w = w + (target - g) / (-d * g * g)
    _, d = _m_and_slope(w)
    sigma = 1 / jnp.sqrt(-0.25 * h * d)
    return 2 * w, sigma


def _exponents(x, h, c, step):
    """h (K(u) - K(c)) + (u - c) x at u = c + i k step, k = 1..NODES-1,
    stacked first, and u. The difference is formed without cancellation:
    with q = sqrt(u/2), q_c = sqrt(c/2) and dq = q - q_c = (u - c)/(2 (q + q_c)),
    cosh(q)/cosh(q_c) = 1 + (cosh dq - 1) + tanh(q_c) sinh dq. (c is real
    and right of -pi^2/2, so tanh(q_c) = tan(|q_c|) sqrt(-1) when c < 0.)"""
    k = jnp.arange(1, NODES, dtype=x.dtype).reshape((NODES - 1,) + (1,) * jnp.ndim(x))
    dy = k * step
    u = c + 1j * dy
    qc = jnp.sqrt((0.5 * c).astype(u.dtype))
    q = jnp.sqrt(0.5 * u)
    dq = 0.5j * dy / (q + qc)
    rc = jnp.sqrt(jnp.abs(0.5 * c))
    tanh_c = jnp.where(c >= 0, jnp.tanh(rc) + 0j, 1j * jnp.tan(rc))
    ratio = 2 * jnp.sinh(0.5 * dq) ** 2 + tanh_c * jnp.sinh(dq)
    return -h * jnp.log1p(ratio) + 1j * dy * x, u


def _log_peak(x, h, c):
    """h K(c) + c x, the log of the integrand at y = 0 (c real)."""
    r = jnp.sqrt(jnp.abs(0.5 * c))
    log_cosh = jnp.where(
        c >= 0, r + jnp.log1p(jnp.exp(-2 * r)) - math.log(2.0), jnp.log(jnp.cos(r))
    )
    return -h * log_cosh + c * x


def contour_logpdf(x, h):
    """log p(x | h, 0) on the line through the saddle point."""
    c, sigma = saddle_point(x, h)
    step = STEP * sigma
    e, _ = _exponents(x, h, c, step)
    total = 0.5 + jnp.sum(jnp.real(jnp.exp(e)), axis=0)
    return _log_peak(x, h, c) + jnp.log(step * total / math.pi)


def contour_log_cdf_sf(x, h, z):
    """(log cdf, log sf) of PG(h, z) near the bulk: the one of the two that
    is small is computed directly (the CDF left of the saddle at lam, the
    survival function right of it); the other is its complement. Valid while
    the pole at lam is within POLE_SIGMAS widths of the saddle point: further
    out its aliasing term exp(-2 pi |a|) outgrows the integral (the residue
    is exp((c - lam)^2/(2 sigma^2)) times the peak), and the tails are
    integrated from the density instead (tail_log_integral)."""
    lam = 0.5 * z * z
    c, sigma = saddle_point(x, h)
    step = STEP * sigma
    # Keep the pole at least two steps from the line: its aliasing term is
    # then below 4e-6 of the residue, and it is subtracted exactly.
    right = c >= lam
    c = jnp.where(right, jnp.maximum(c, lam + 2 * step), jnp.minimum(c, lam - 2 * step))
    e, u = _exponents(x, h, c, step)
    terms = jnp.real(jnp.exp(e) / (u - lam))
    sign = jnp.where(right, 1.0, -1.0)
    trapezoid = step / math.pi * (0.5 / (c - lam) + jnp.sum(terms, axis=0)) * sign
    # In units of the residue (1 after the tilt): cosh^h(z/2) e^(-lam x)
    # times the peak e^(h K(c) + c x).
    log_scale = h * _log_cosh_real(0.5 * z) - lam * x + _log_peak(x, h, c)
    a = jnp.abs(c - lam) / step
    alias = 1 / jnp.expm1(2 * math.pi * a)
    small = jnp.log(trapezoid) + log_scale
    resolved = small + jnp.log1p(-alias * jnp.exp(-small))
    other = jnp.log1p(-jnp.exp(resolved))
    return jnp.where(right, resolved, other), jnp.where(right, other, resolved)


def tail_log_integral(logpdf, x, rate, toward_zero):
    """log of int_x^inf p (toward_zero False) or int_0^x p (True) for a log
    density that falls off like exp(-rate |t - x|) away from x, by
    Gauss-Laguerre in u = rate |t - x|: the integrand exp(u) p(t)/p(x) is
    then smooth and slowly varying."""
    u = jnp.asarray(_LAGUERRE_U, dtype=x.dtype).reshape((-1,) + (1,) * jnp.ndim(x))
    w = jnp.asarray(_LAGUERRE_W, dtype=x.dtype).reshape(u.shape)
    t = jnp.where(toward_zero, x - u / rate, x + u / rate)
    inside = t > 0
    lp = logpdf(jnp.where(inside, t, x))
    base = logpdf(x)
    logs = jnp.where(inside, jnp.log(w) + u + lp - base, -jnp.inf)
    top = jnp.max(logs, axis=0)
    return base - jnp.log(rate) + top + jnp.log(jnp.sum(jnp.exp(logs - top), axis=0))


def _log_cosh_real(y):
    a = jnp.abs(y)
    return a + jnp.log1p(jnp.exp(-2 * a)) - math.log(2.0)
