"""The law of PG(h, z) for large h by numerical inversion of its Laplace
transform along a contour through the saddle point.

Where the series of _density_series cancel (the bulk of PG(h, z) for large
h), the density and the CDF come from Bromwich integrals. With a = |z|/2 and
the variable w = a^2 + s/2 (s the Laplace variable of PG(h, z); w = u/2 for
the variable u of PG(h, 0), so the saddle point does not depend on z),

    p(x | h, z) = 1/(pi i) int exp(Phi(w)) dw,
    Phi(w) = 2 (w - a^2) x - h (log cosh sqrt(w) - log cosh a),

(Daniels 1954; Windle's thesis, 2013, for the PG saddle point). The
integrand is analytic off (-inf, -pi^2/4], so the contour may cross the real
axis anywhere right of -pi^2/4. It crosses at the saddle point w0 of Phi,
m(w0) = 4x/h with m(w) = tanh(sqrt w)/sqrt w, where the integrand is close
to a Gaussian of width sigma = Phi''(w0)^(-1/2) in the vertical direction.

On the vertical line through w0 the integrand falls off only like
(1 + y^2/(h sigma^2))^(-h/2) far out (a pole of order h at -pi^2/4 for the
right tail, exp(-h sqrt(y)) in the bulk), which cost 23 nodes for 1e-11 at
h = 24. The contour here is the parabola

    w(t) = w0 + sigma (i t - BEND t^2 / sqrt(h)),

which bends to the left, where exp(2 x w) makes the integrand decay like a
Gaussian, while near the saddle it stays close to the steepest descent line
(the bend adds a quartic term of order BEND^2/h there). The trapezoidal
rule in t then reaches 1e-13 with 11 nodes (t = k STEP, k = 1..11, and the
centre) from h = 16 to 10^4, over the whole range of x the contour serves.
The integrand is conjugate-symmetric, so only t >= 0 is summed.

The distribution function has the transform exp(Phi(w))/(w - a^2) (in w),
with a simple pole of residue 1 (the whole mass) at w = a^2: with the
contour right of the pole the integral is the CDF, left of it minus the
survival function. The trapezoidal sum of a simple pole of f(t) at t_p is
off by exactly 1/(e^(-2 pi i t_p/STEP) - 1) times its residue (Im t_p > 0;
minus 1/(e^(2 pi i t_p/STEP) - 1) below), which is subtracted for both
preimages t_p of the pole under the parabola.

Everything is formed as a difference to the values at w0, so that terms of
size h (h log cosh a and the tilt 2 a^2 x are of the size of h for the
tilts of the bulk) cancel analytically rather than in floating point: this
is what keeps float32 near its own precision for h up to 10^4.
"""

import math

import jax
import jax.numpy as jnp
import numpy as np

NODES = 12  # the centre and 11 nodes at t = k STEP
# The distribution function's contour may cross up to 2.6 widths off the
# saddle point (the pole's margin below), where the sum converges later.
CDF_NODES = 13
STEP = 0.65  # trapezoid step in t (units of sigma)
BEND = 0.4  # the parabola's curvature is BEND / sqrt(h) in units of sigma
NEWTON_STEPS = 3
POLE_SIGMAS = 12.0
LAGUERRE_NODES = 24
_LAGUERRE_U, _LAGUERRE_W = np.polynomial.laguerre.laggauss(LAGUERRE_NODES)
W_POLE = -(math.pi**2) / 4  # the first singularity in w
_MIN_POLE_STEPS = 2.0
SINGULARITY_SIGMAS = 6.0


def _tan(t):
    """tan t as sin t / cos t: XLA's float64 tan costs about twice the pair."""
    return jnp.sin(t) / jnp.cos(t)


def _arg(y, x):
    """atan2(y, x) from atan, which XLA vectorises (its atan2 costs about
    30 times as much in float64 and was the largest cost of a node)."""
    base = jnp.arctan(y / x)
    return jnp.where(x < 0, base + jnp.where(y >= 0, math.pi, -math.pi), base)


def _sinh(y):
    """sinh y to its relative precision from expm1 (half XLA's sinh)."""
    e = jnp.expm1(y)
    return 0.5 * (e + e / (1 + e))


def _m_and_slope(w):
    """m(w) = tanh(sqrt w)/sqrt w (continued to w < 0 as tan) and dm/dw."""
    near = jnp.abs(w) < 0.1
    pos = w > 0.1
    neg = w < -0.1
    r = jnp.sqrt(jnp.where(pos, w, 1.0))
    tr = jnp.tanh(r)
    m_pos = tr / r
    d_pos = (1 - tr * tr) / (2 * r * r) - tr / (2 * r**3)
    t = jnp.sqrt(jnp.where(neg, -w, 1.0))
    tt = _tan(t)
    m_neg = tt / t
    d_neg = -(1 + tt * tt) / (2 * t * t) + tt / (2 * t**3)
    wn = jnp.where(near, w, 0.0)
    # tanh(r)/r = 1 - w/3 + 2w^2/15 - 17w^3/315 + 62w^4/2835 - 1382w^5/155925
    m_near = 1 + wn * (
        -1 / 3 + wn * (2 / 15 + wn * (-17 / 315 + wn * (62 / 2835 - wn * 1382 / 155925)))
    )
    d_near = -1 / 3 + wn * (4 / 15 + wn * (-17 / 105 + wn * (248 / 2835 - wn * 1382 / 31185)))
    m = jnp.where(pos, m_pos, jnp.where(neg, m_neg, m_near))
    d = jnp.where(pos, d_pos, jnp.where(neg, d_neg, d_near))
    return m, d


def saddle_point(x, h):
    """(w0, sigma): the saddle point of Phi, m(w0) = 4x/h, and the width
    Phi''(w0)^(-1/2) = (-h m'(w0)/2)^(-1/2) of the integrand there.

    Newton's method on g = 1/m = sqrt(w)/tanh(sqrt w), which is concave and
    increasing from g(-pi^2/4) = 0, from a start within about 1% of the
    root: w ~ -pi^2/4 + 2T + (pi^2/4 - 2) T^2 for T = h/(4x) <= 1 (exact at
    both ends and at the slope of T = 0), w ~ (T^2 - 1)(1 + 1/(2 T^2))
    above (w ~ 3(T - 1) near T = 1, T^2 for large T). Newton's iterates on a
    concave function stay left of the root after the first step; a step
    that would cross the singularity is halved towards it instead. Any
    crossing point right of -pi^2/4 gives the same integral: the saddle
    point only makes the integrand narrow and smooth, so three steps
    (quadratic from 1%) are plenty."""
    target = h / (4 * x)
    low = W_POLE + target * (2 + (-W_POLE - 2) * target)
    t2 = target * target
    high = (t2 - 1) * (1 + 0.5 / t2)
    w = jnp.where(target <= 1, low, high)
    for _ in range(NEWTON_STEPS):
        m, d = _m_and_slope(w)
        g = 1 / m
        new = w + (target - g) / (-d * g * g)
        w = jnp.where(new > W_POLE, new, 0.5 * (w + W_POLE))
    _, d = _m_and_slope(w)
    sigma = 1 / jnp.sqrt(-0.5 * h * d)
    return w, sigma


def _log_cosh(y):
    """log cosh y to its own relative precision: near 0 from cosh y - 1 =
    2 sinh^2(y/2), where y + log1p(e^(-2y)) - log 2 would cancel."""
    a = jnp.abs(y)
    near = a < 1
    an = jnp.where(near, a, 0.0)
    af = jnp.where(near, 1.0, a)
    return jnp.where(
        near,
        jnp.log1p(2 * jnp.sinh(0.5 * an) ** 2),
        af + jnp.log1p(jnp.exp(-2 * af)) - math.log(2.0),
    )


_W_NEAR = 1e-4


def _log_peak(x, h, a, w0):
    """Phi(w0) = 2 (w0 - a^2) x - h D, D = log cosh sqrt(w0) - log cosh a,
    the log of the integrand at the real axis, with D formed to its own
    relative precision. For w0 > 0, with r = sqrt(w0) and e = r - a =
    (w0 - a^2)/(r + a),

        cosh(r)/cosh(a) - 1 = expm1(e) (1 - e^(-(r + a)))/(1 + e^(-2a)),

    a product of accurate factors (no overflow for large a either); for
    w0 < 0 (right of the mean of PG(h, 0)) log cos sqrt(-w0) =
    log1p(-2 sin^2(sqrt(-w0)/2)) and -log cosh a have one sign; near w0 = 0
    the Taylor series of log cosh sqrt(w0), which keeps the derivative in
    w0 right there (it enters the derivatives in x and h through w0). What
    remains of the cancellation between the two terms of Phi costs
    eps h |w0 - a^2|, of the order of eps sqrt(h) times the distance from
    the mean in standard deviations."""
    dw = w0 - a * a
    log_cosh_a = _log_cosh(a)
    pos = w0 > _W_NEAR
    neg = w0 < -_W_NEAR
    r = jnp.sqrt(jnp.where(pos, w0, 1.0))
    e = jnp.where(pos, dw, 0.0) / (r + a)
    big = e > 20
    # Far below the tilt's a (r < a - 1: x far right of the mass under a
    # large tilt) the product above is -1 plus e^(r - a) and rounds to -1
    # once a - r > 37, which made D = -inf and the density +inf; there
    # cosh(r)/cosh(a) = e^(r - a) (1 + e^(-2r))/(1 + e^(-2a)) has no
    # cancellation left worth a factor of 2.
    low = e < -1
    factor = -jnp.expm1(-(r + a)) / (1 + jnp.exp(-2 * a))
    e_mid = jnp.where(big | low, 0.0, e)
    diff_pos = jnp.where(
        big,
        jnp.where(big, e, 0.0) + jnp.log(factor),
        jnp.where(
            low,
            e + jnp.log1p(jnp.exp(-2 * r)) - jnp.log1p(jnp.exp(-2 * a)),
            jnp.log1p(jnp.expm1(e_mid) * factor),
        ),
    )
    rho = jnp.sqrt(jnp.where(neg, -w0, 1.0))
    diff_neg = jnp.log1p(-2 * jnp.sin(0.5 * rho) ** 2) - log_cosh_a
    wn = jnp.where(pos | neg, 0.0, w0)
    # log cosh sqrt(w) = w/2 - w^2/12 + w^3/45 - 17 w^4/2520 + ...
    diff_near = wn * (0.5 + wn * (-1 / 12 + wn * (1 / 45 - wn * 17 / 2520))) - log_cosh_a
    diff = jnp.where(pos, diff_pos, jnp.where(neg, diff_neg, diff_near))
    return 2 * dw * x - h * diff


def _nodes(x, h, w0, sigma, count, bend=None):
    """The integrand exp(Phi(w) - Phi(w0)) times dw/(i sigma dt) at the
    nodes w(t_k), t_k = k STEP, k = 1..count-1 (stacked first), as its real
    and imaginary parts, and w(t_k) - w0 likewise. With q = sqrt(w),
    q0 = sqrt(w0), dq = q - q0 = (w - w0)/(q + q0),

        cosh(q)/cosh(q0) = 1 + 2 sinh^2(dq/2) + tanh(q0) sinh(dq),

    which is close to 1 near the saddle. Its parts are formed from real
    functions of the halves of dq = u + iv: 2 sinh^2(dq/2) = cosh dq - 1 =
    2 sinh^2(u/2) cos v - 2 sin^2(v/2) + i sinh u sin v (a complex sinh of a
    small argument is a difference of exponentials, off by eps/|dq| in
    relative terms, which h then multiplies), and tanh(q0) = i tan(sqrt(-w0))
    for w0 < 0. Everything is in real arithmetic: XLA's complex square root,
    division and exponential cost several real ones each."""
    k = jnp.arange(1, count, dtype=x.dtype).reshape((count - 1,) + (1,) * jnp.ndim(x))
    t = k * STEP
    bend = BEND / jnp.sqrt(h) if bend is None else bend
    dw_re = -sigma * bend * t * t
    dw_im = sigma * t
    # q = sqrt(w0 + dw), principal branch; Im w = sigma t > 0 at every node.
    w_re = w0 + dw_re
    modulus = jnp.sqrt(w_re * w_re + dw_im * dw_im)
    right = w_re >= 0
    big = jnp.sqrt(0.5 * (modulus + jnp.abs(w_re)))
    small = dw_im / (2 * big)
    q_re = jnp.where(right, big, small)
    q_im = jnp.where(right, small, big)
    r0 = jnp.sqrt(jnp.abs(w0))
    pos = w0 >= 0
    # dq = dw/(q + q0), q0 = r0 (w0 >= 0) or i r0.
    c_re = q_re + jnp.where(pos, r0, 0.0)
    c_im = q_im + jnp.where(pos, 0.0, r0)
    c2 = c_re * c_re + c_im * c_im
    u = (dw_re * c_re + dw_im * c_im) / c2
    v = (dw_im * c_re - dw_re * c_im) / c2
    sh = _sinh(0.5 * u)
    ch = jnp.sqrt(1 + sh * sh)
    sn = jnp.sin(0.5 * v)
    cs = jnp.cos(0.5 * v)
    sinh_u, cosh_u = 2 * sh * ch, 1 + 2 * sh * sh
    sin_v, cos_v = 2 * sn * cs, 1 - 2 * sn * sn
    tanh0 = jnp.where(pos, jnp.tanh(r0), _tan(r0))
    # tanh(q0) sinh(dq), with tanh(q0) real (w0 >= 0) or imaginary.
    s_re, s_im = sinh_u * cos_v, cosh_u * sin_v
    t_re = jnp.where(pos, tanh0 * s_re, -tanh0 * s_im)
    t_im = jnp.where(pos, tanh0 * s_im, tanh0 * s_re)
    ratio_re = 2 * sh * sh * cos_v - 2 * sn * sn + t_re
    ratio_im = sinh_u * sin_v + t_im
    log_re = 0.5 * jnp.log1p(2 * ratio_re + ratio_re * ratio_re + ratio_im * ratio_im)
    log_im = _arg(ratio_im, 1 + ratio_re)
    e_re = 2 * x * dw_re - h * log_re
    e_im = 2 * x * dw_im - h * log_im
    mag = jnp.exp(e_re)
    value_re, value_im = mag * jnp.cos(e_im), mag * jnp.sin(e_im)
    # times dw/(i sigma dt) = 1 + 2 i bend t
    slope = 2 * bend * t
    return (value_re - slope * value_im, value_im + slope * value_re), (dw_re, dw_im)


def _crossing(x, h):
    """saddle_point(x, h) held constant for differentiation. The integrals
    do not depend on where the contour crosses the axis nor on its width
    (Cauchy), only on x, h and z through the integrand: derivatives along a
    fixed contour are theirs. Differentiated through, the crossing's
    sqrt(w0) has an infinite derivative at w0 = 0 (x = h/4 exactly, and the
    placeholder x of lanes another region serves), which made gradients NaN
    there and, through the sum, for a whole batch sharing h."""
    return jax.lax.stop_gradient(saddle_point(x, h))


def contour_logpdf(x, h, z):
    """log p(x | h, z) from the contour through the saddle point."""
    a = 0.5 * jnp.abs(z)
    w0, sigma = _crossing(x, h)
    (value, _), _ = _nodes(x, h, w0, sigma, NODES)
    total = 0.5 + jnp.sum(value, axis=0)
    return _log_peak(x, h, a, w0) + jnp.log(2 * STEP * sigma * total / math.pi)


def _pole_alias(d, bend, log_scale):
    """The trapezoid's error for the pole of residue 1 at w = a^2, where
    d = (w0 - a^2)/sigma: its preimages under the parabola solve
    bend t^2 - i t - d = 0, t = 2 i d/(1 + S) and i (1 + S)/(2 bend) with
    S = sqrt(1 - 4 bend d) (a conjugate-symmetric pair when 4 bend d > 1).
    Returned times e^(-log_scale), with the exponents added first: both the
    error and the tail it is held against can be far below the float range."""
    s = jnp.sqrt((1 - 4 * bend * d).astype(jnp.result_type(d, 1j)))
    roots = (2j * d / (1 + s), 1j * (1 + s) / (2 * bend))
    total = 0.0
    for tp in roots:
        up = jnp.imag(tp) > 0
        # 1/(e^(-2 pi i t/STEP) - 1) above the axis, -1/(e^(2 pi i t/STEP) - 1)
        # below. Re(arg) = 2 pi |Im t|/STEP > 0 on both sides, so 1/(e^arg - 1)
        # = e^-arg/(1 - e^-arg) goes to 0 for far preimages without overflow.
        arg = jnp.where(up, -2j * math.pi * tp / STEP, 2j * math.pi * tp / STEP)
        term = jnp.exp(-arg - log_scale) / -jnp.expm1(-arg)
        total = total + jnp.where(up, term, -term)
    return jnp.real(total)


def contour_log_cdf_sf(x, h, z):
    """(log cdf, log sf) of PG(h, z) near the bulk: the one of the two that
    is small is computed directly (the CDF with the pole left of the
    contour, the survival function with it right of it); the other is its
    complement. Valid while the pole is within POLE_SIGMAS widths of the
    saddle point: further out the aliasing terms of the pole outgrow the
    integral (the residue is about exp(d^2/2) times the peak), and the
    tails are integrated from the density instead (tail_log_integral)."""
    a = 0.5 * jnp.abs(z)
    a2 = a * a
    w0, sigma = _crossing(x, h)
    step = STEP * sigma
    # Keep the pole at least two steps from the crossing point: its aliasing
    # term is then below 4e-6 of the residue, and it is subtracted exactly.
    # A saddle point closer than that moves away from the pole on its own
    # side, so that the tail on that side is resolved directly -- unless that
    # brings the crossing within SINGULARITY_SIGMAS widths of the singularity
    # at -pi^2/4 (at h = 24 it is only five widths left of the saddle point
    # of the mean, and a crossing moved towards it costs the trapezoid 1e-9):
    # then it moves right, and the survival function, not small there, is
    # the complement.
    margin = _MIN_POLE_STEPS * step
    left_ok = a2 - margin - W_POLE > SINGULARITY_SIGMAS * sigma
    right = (w0 >= a2) | ((w0 >= a2 - margin) & ~left_ok)
    # The moved crossing is held constant for differentiation as well (see
    # _crossing): where it is not moved it is w0 itself, and the derivative
    # that passes the max/min (zero, but not known to be) would meet
    # sqrt(w0)'s infinite one at w0 = 0 and make the gradient NaN.
    w0 = jax.lax.stop_gradient(
        jnp.where(right, jnp.maximum(w0, a2 + margin), jnp.minimum(w0, a2 - margin))
    )
    (v_re, v_im), (dw_re, dw_im) = _nodes(x, h, w0, sigma, CDF_NODES)
    d = (w0 - a2) / sigma
    # Re of value / (d + dw/sigma)
    p_re, p_im = d + dw_re / sigma, dw_im / sigma
    terms = (v_re * p_re + v_im * p_im) / (p_re * p_re + p_im * p_im)
    trapezoid = STEP / math.pi * (0.5 / d + jnp.sum(terms, axis=0))
    sign = jnp.where(right, 1.0, -1.0)
    bend = BEND / jnp.sqrt(h)
    # In units of the residue (1): the peak exp(Phi(w0)).
    small = jnp.log(trapezoid * sign) + _log_peak(x, h, a, w0)
    resolved = small + jnp.log1p(-_pole_alias(d, bend, small) * sign)
    other = _log1mexp(resolved)
    return jnp.where(right, resolved, other), jnp.where(right, other, resolved)


def _log1mexp(d):
    near = d > -math.log(2.0)
    dn = jnp.where(near & (d < 0), d, -1.0)
    df = jnp.where(near, -1.0, d)
    out = jnp.where(near, jnp.log(-jnp.expm1(dn)), jnp.log1p(-jnp.exp(df)))
    return jnp.where(d < 0, out, -jnp.inf)


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
