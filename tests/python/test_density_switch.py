"""The density functions where their representations hand over and at the
edges of the argument range: the small-x series' switch for large h (it must
stop where its fixed number of terms has converged), tilts up to |z| = 1e308,
and the point mass of |z| = inf at x = 0. Reference values come from the
arbitrary-precision series of validation/pg_exact.py, computed here.

Every JAX evaluation goes through one jitted function on one padded shape, so
the file compiles the distribution function once."""

import math
import pathlib
import sys

import jax
import jax.numpy as jnp
import mpmath
import numpy as np
import pytest
from scipy.optimize import brentq

jax.config.update("jax_enable_x64", True)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "validation"))
from pg_exact import log_cdf_sf_mp, log_density_mp  # noqa: E402

import vexol  # noqa: E402
from vexol import _density_series as series  # noqa: E402

WIDTH = 128


@jax.jit
def _all(x, h, z):
    return vexol.logpdf(x, h, z), vexol.logcdf(x, h, z), vexol.logsf(x, h, z)


def evaluate(points):
    """(logpdf, logcdf, logsf) at a list of (x, h, z), padded to WIDTH."""
    pts = np.array(points, dtype=np.float64).reshape(-1, 3)
    n = len(pts)
    assert n <= WIDTH
    pad = np.concatenate([pts, np.tile([[1.0, 1.0, 0.0]], (WIDTH - n, 1))])
    out = _all(*(jnp.asarray(pad[:, i]) for i in range(3)))
    return [np.asarray(o)[:n] for o in out]


def _old_limit(h):
    return max(1.2, 1.2 * (1 + h) / (2 * math.log(2 * (2 + h))))


def _new_limit(h):
    return float(series.small_x_converged_limit(jnp.float64(h)))


def _series_tail(x, h, terms):
    """|sum of the density series' terms from `terms` on| over |the whole
    sum|, in mpmath (terms relative to the first)."""
    with mpmath.workdps(60):
        x, h = mpmath.mpf(x), mpmath.mpf(h)
        total = mpmath.mpf(0)
        tail = mpmath.mpf(0)
        w = mpmath.mpf(1)
        for n in range(400):
            t = w * (2 * n + h) / h * mpmath.exp(-n * (n + h) / (2 * x))
            total += -t if n & 1 else t
            if n >= terms:
                tail += -t if n & 1 else t
            w = w * (n + h) / (n + 1)
        return float(abs(tail / total))


def test_small_x_switch_is_where_the_series_has_converged():
    for h in np.geomspace(24.0, 1e5, 17):
        x = min(_old_limit(h), _new_limit(h))
        assert _series_tail(x, h, series.SMALL_X_TERMS) < 1e-16, h
    # Where the first-singularity expansion takes over (h < 35) the switch
    # did not move: the convergence bound is looser than the old one there.
    for h in (0.05, 1.0, 7.0, 20.0, 30.0):
        assert _new_limit(h) >= _old_limit(h), h
    # The old switch, for scale: there the left-out terms were 7e-8 at
    # h = 1000 (the fault this guards against).
    assert _series_tail(_old_limit(1000.0), 1000.0, series.SMALL_X_TERMS) > 1e-8


def _tilt_with_mean(x, h):
    """|z| at which E X = h tanh(z/2)/(2z) equals x (x < h/4)."""
    return brentq(lambda z: h * math.tanh(z / 2) / (2 * z) - x, 1e-6, 4 * h / x + 10)


@pytest.fixture(scope="module")
def switch_points():
    pts = [(78.9961, 1000.0, 6.3064), (_old_limit(2000.0) * 0.999, 2000.0, 7.0)]
    for h in (50.0, 100.0, 300.0, 500.0, 1000.0, 2000.0):
        new, old = _new_limit(h), _old_limit(h)
        for x in (new * (1 - 1e-9), new * (1 + 1e-9), 0.5 * (new + old), old * 0.999):
            # At the mean (the bulk, where the series' terms are all needed)
            # and with no tilt (the far left tail).
            pts += [(x, h, _tilt_with_mean(x, h)), (x, h, 0.0)]
    refs = [
        (float(log_density_mp(x, h, z)), *map(float, log_cdf_sf_mp(x, h, z))) for x, h, z in pts
    ]
    return pts, np.array(refs)


def test_large_h_around_the_switch_matches_the_reference(switch_points):
    pts, ref = switch_points
    lp, lc, ls = evaluate(pts)
    err_lp = np.abs(lp - ref[:, 0]) / np.maximum(1, np.abs(ref[:, 0]))
    assert err_lp.max() < 2e-12, pts[int(err_lp.argmax())]
    # cdf and sf to 1e-12 absolute (the contour side at h = 2000 is off by
    # 5e-13; the series at the old switch was off by 1e-8 to 3e-8), the
    # smaller of the two to 3e-11 relative in its log (relative error of the
    # tail itself while that is above e^-1).
    cdf_err = np.maximum(
        np.abs(np.exp(lc) - np.exp(ref[:, 1])), np.abs(np.exp(ls) - np.exp(ref[:, 2]))
    )
    assert cdf_err.max() < 1e-12, pts[int(cdf_err.argmax())]
    small = np.where(ref[:, 1] < ref[:, 2], lc, ls)
    ref_small = np.minimum(ref[:, 1], ref[:, 2])
    tail = np.abs(small - ref_small) / np.maximum(1, np.abs(ref_small))
    assert tail.max() < 3e-11, pts[int(tail.argmax())]


def test_huge_tilts_are_finite_and_right():
    # PG(h, z) for large |z| sits at h/(2|z|) with sd sqrt(h/(2|z|^3)).
    pts = []
    for h in (0.05, 1.0, 300.0):
        for z in (4.5e4, 8.9e4, 1.4e5, 1e10, 1e154, 1e200, 1e308):
            m = h / (2 * z)
            for x in (0.5 * m, m, 2 * m, 1.0, 50.0):
                pts.append((x, h, z if x != m else -z))
    lp, lc, ls = evaluate(pts)
    for name, v in (("logpdf", lp), ("logcdf", lc), ("logsf", ls)):
        assert not np.isnan(v).any(), (name, [pts[i] for i in np.where(np.isnan(v))[0]])
    assert np.all(lc <= 0) and np.all(ls <= 0)
    # The two tails add up to 1 wherever both are representable, at the
    # rounded mean of laws far narrower than the rounding of x included:
    # there the CDF at the rounded x is 0, 1 or in between depending on the
    # rounding, but logcdf and logsf must give the same answer (they once
    # formed |z|x - h/2 from a rounded product that XLA fused differently in
    # the two, and added up to 1.5 at |z| = 1e200).
    both = np.isfinite(lc) & np.isfinite(ls)
    np.testing.assert_allclose(np.exp(lc[both]) + np.exp(ls[both]), 1.0, rtol=0, atol=1e-13)
    # Far right of the mass: the CDF is 1.
    far = np.array([x > 10 * h / (2 * abs(z)) for x, h, z in pts])
    assert np.max(np.abs(lc[far])) < 1e-300


def test_huge_tilt_against_the_reference():
    pts = []
    for h, z in ((0.05, 1e5), (1.0, 8.9e4), (1.0, 1.4e5), (300.0, 1e5)):
        m, sd = h / (2 * z), math.sqrt(h / (2 * z**3))
        pts += [(m - sd, h, z), (m, h, z), (m + 2 * sd, h, z), (m + 6 * sd, h, z)]
    lp, lc, ls = evaluate(pts)
    for i, (x, h, z) in enumerate(pts):
        rl = float(log_density_mp(x, h, z))
        rc, rs = map(float, log_cdf_sf_mp(x, h, z))
        assert abs(lp[i] - rl) <= 1e-9 * max(1, abs(rl)), (x, h, z, lp[i], rl)
        assert abs(lc[i] - rc) <= 1e-9 * max(1, abs(rc)), (x, h, z, lc[i], rc)
        assert abs(ls[i] - rs) <= 1e-9 * max(1, abs(rs)), (x, h, z, ls[i], rs)


def test_moments_at_huge_tilts():
    z = np.array([1e5, 1e154, 1e300, 1e308])
    m = np.asarray(vexol.mean(1.0, z))
    v = np.asarray(vexol.variance(1.0, z))
    np.testing.assert_allclose(m, 1 / (2 * z), rtol=1e-14)
    assert np.all(np.isfinite(v)) and np.all(v >= 0)
    assert v[0] == pytest.approx(1 / (2 * 1e5**3), rel=1e-9)


def test_infinite_tilt_is_the_point_mass_at_zero():
    pts = [
        (x, h, z) for x in (-1.0, 0.0, 1e-300, 2.0) for h in (0.3, 75.0) for z in (np.inf, -np.inf)
    ]
    lp, lc, ls = evaluate(pts)
    x = np.array([p[0] for p in pts])
    # P(X <= x) = 1 from x = 0 on (0 included), 0 below; no density anywhere.
    np.testing.assert_array_equal(lc, np.where(x >= 0, 0.0, -np.inf))
    np.testing.assert_array_equal(ls, np.where(x >= 0, -np.inf, 0.0))
    np.testing.assert_array_equal(lp, -np.inf)
    # A finite tilt keeps cdf(0) = 0.
    _, lc0, ls0 = evaluate([(0.0, 0.3, 1e308), (0.0, 0.3, 0.0)])
    np.testing.assert_array_equal(lc0, -np.inf)
    np.testing.assert_array_equal(ls0, 0.0)


def test_contour_far_left_cdf_at_h_150():
    # The lower switch routes x = 13.2 to 14.5 at h = 150, z = 0 (about 10 sd
    # below the mean) to the contour's left-tail integral.
    pts = [(x, 150.0, 0.0) for x in (13.24, 13.9, 14.56)]
    _, lc, _ = evaluate(pts)
    ref = np.array([float(log_cdf_sf_mp(*p)[0]) for p in pts])
    np.testing.assert_allclose(lc, ref, rtol=3e-13)


def _middle_at_huge_tilts():
    """x in the contour's range (h >= 24, between the small-x series' limit
    and 0.05 h^2) far right of the mass, h/(2|z|), under large tilts: where
    log cosh sqrt(w0) - log cosh(|z|/2) was formed as log1p of a product
    that rounds to -1 once |z|/2 - sqrt(w0) > 37, so that the density was
    +inf and the tails NaN (from z = 80 on at h = 24). Every value is a
    float32 number."""
    return [
        (5.0, 24.0, 100.0),
        (20.0, 24.0, 45000.0),
        (10.0, 75.0, 1000.0),
        (23.25, 300.0, 100.0),
        (50.0, 300.0, 45000.0),
        (50.0, 300.0, 1e10),
        (130.0, 2000.0, 1e5),
        (2000.0, 2000.0, 1000.0),
    ]


@pytest.fixture(scope="module")
def huge_tilt_table():
    from pg_exact import reference

    pts = _middle_at_huge_tilts()
    return pts, np.array([[float(v) for v in reference(*p)] for p in pts])


def evaluate32(points):
    """evaluate() in float32: one more program, on the same padded shape."""
    pts = np.array(points, dtype=np.float32).reshape(-1, 3)
    n = len(pts)
    pad = np.concatenate([pts, np.tile(np.float32([[1.0, 1.0, 0.0]]), (WIDTH - n, 1))])
    out = _all(*(jnp.asarray(pad[:, i]) for i in range(3)))
    assert out[0].dtype == jnp.float32
    return [np.asarray(o, np.float64)[:n] for o in out]


def test_contour_at_huge_tilts_against_the_reference(huge_tilt_table):
    pts, ref = huge_tilt_table
    # log sf is about -z^2 x/2 here (down to -2.5e21): relative errors.
    for evaluator, bound in ((evaluate, 1e-13), (evaluate32, 2e-6)):
        lp, lc, ls = evaluator(pts)
        for name, got, want in (("logpdf", lp, ref[:, 0]), ("logsf", ls, ref[:, 2])):
            err = np.abs(got - want) / np.maximum(1, np.abs(want))
            assert err.max() < bound, (evaluator.__name__, name, pts[int(err.argmax())])
        # The CDF is 1 to every digit (1 - e^-25 and less).
        np.testing.assert_array_equal(lc, 0.0)


def test_contour_finite_at_every_tilt_in_float32():
    # In float32 z^2 overflows from |z| = 1.8e19 on, and the cap on
    # z^2 x/2 (1e300 in float64) has to be one float32 can hold.
    pts = [
        (x, h, s * z)
        for h in (24.0, 300.0)
        for x in (0.3 * h, 0.01 * h * h)
        for z in (1e3, 1e10, 1e18, 1e19, 1e20, 3e38)
        for s in (1, -1)
    ]
    lp, lc, ls = evaluate32(pts)
    for name, v in (("logpdf", lp), ("logcdf", lc), ("logsf", ls)):
        bad = np.isnan(v) | (v == np.inf)
        assert not bad.any(), (name, [pts[i] for i in np.where(bad)[0]])
    np.testing.assert_array_equal(lc, 0.0)
    assert np.all(ls < -1e3)
