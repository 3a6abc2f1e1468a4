"""vexol's law of PG(h, z) for large h, where the bulk comes from the Laplace
transform inverted along a contour through the saddle point (h >= 24 in
float64, h >= 12 in float32), against the arbitrary-precision reference of
validation/pg_exact.py: at the points where an outside review found the
contour off (22 <= h <= 30 at z = 0, around the mean), on both sides of
every switch the representations make there, and in the bulk up to
h = 1000; in float64 (logpdf within 2e-12, cdf and sf within 1e-13
absolute) and float32 (1e-5 relative). One jitted call per function and
dtype evaluates all the points."""

import math
import pathlib
import sys

import jax
import jax.numpy as jnp
import numpy as np
import pytest

jax.config.update("jax_enable_x64", True)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "validation"))
from pg_exact import exact_moments, log_cdf_sf_mp, log_density_mp  # noqa: E402

import vexol  # noqa: E402
from vexol import _density  # noqa: E402

# (x, h, z, log cdf, log sf) from pg_exact.log_cdf_sf_mp (the CDF series
# summed in mpmath, the Bromwich integral deep in the right tail), which
# takes about 5 minutes for these points: `python
# tests/python/test_density_large_h.py` prints the table anew. Every x, h
# and z is a float32 number, so the same references serve both precisions.
# The points, in order: the review's (h = 22 to 30 at the mean, z = 0);
# both sides of the contour's pole margin at h = 24 (where its crossing
# point moves to the other side of the pole); both sides of h = 24 (contour
# against the first-singularity expansion) at x = 5 and 8; both sides of
# the far-tail switch (POLE_SIGMAS widths between saddle point and pole);
# both sides of x = 0.05 h^2 at h = 24 (contour against the expansion); the
# bulk (mean - 3, + 0, + 2 standard deviations, z = 0.5, and -1, +1 at
# z = 3).
CDF_TABLE = [
    (5.5, 22.0, 0.0, -0.6390681117345037, -0.7503188359511875),
    (6.0, 24.0, 0.0, -0.6413124738161533, -0.7478163151063051),
    (6.5, 26.0, 0.0, -0.6432967436582044, -0.7456136647299603),
    (7.5, 30.0, 0.0, -0.6466610981588763, -0.7419000195020643),
    (7.226658821105957, 24.0, 0.0, -0.1213079900344056, -2.169463514178654),
    (7.372652053833008, 24.0, 0.0, -0.09634191935781068, -2.387636004589767),
    (5.0, 23.998046875, 0.0, -1.8526188406950133, -0.17058184875651908),
    (5.0, 24.0, 0.0, -1.853413373928989, -0.1704341393716934),
    (8.0, 23.998046875, 0.0, -0.03287760125602693, -3.4313574279618924),
    (8.0, 24.0, 0.0, -0.032911374780994165, -3.4303474991302374),
    (17.869108200073242, 24.0, 0.0, -9.892486229983935e-15, -32.24700089259945),
    (18.04869842529297, 24.0, 0.0, -5.19637774929578e-15, -32.89081459872642),
    (38.821861267089844, 75.0, 0.5, -7.987571637211002e-19, -41.67122997855852),
    (39.21202850341797, 75.0, 0.5, -2.492933053864807e-19, -42.835656816350294),
    (32.55514907836914, 300.0, 0.5, -138.95129898474326, 0.0),
    (32.8823356628418, 300.0, 0.5, -135.6973089260273, 0.0),
    (114.24785614013672, 300.0, 0.5, -1.9210918456900127e-23, -52.30656344482445),
    (115.39607238769531, 300.0, 0.5, -1.7411327927968088e-24, -54.70750630011599),
    (168.6414337158203, 1000.0, 0.5, -102.34036042237584, 0.0),
    (170.33633422851562, 1000.0, 0.5, -97.21523644386463, 0.0),
    (318.8511657714844, 1000.0, 0.5, -2.123788028178592e-26, -59.114011117855014),
    (322.0556945800781, 1000.0, 0.5, -2.38728605144e-28, -63.602225426438224),
    (28.742399215698242, 24.0, 0.0, -4.4429352376713224e-33, -74.4939928212172),
    (28.85759925842285, 24.0, 0.0, -2.7676597849868113e-33, -74.96730594865026),
    (13.194890975952148, 75.0, 0.5, -7.948025292724227, -0.00035342170331438864),
    (18.368900299072266, 75.0, 0.5, -0.6635251293627763, -0.7236735536863578),
    (21.818239212036133, 75.0, 0.5, -0.028901952151634377, -3.5582623088454244),
    (63.12758255004883, 300.0, 0.5, -7.1765588405587915, -0.0007645855985769336),
    (73.47560119628906, 300.0, 0.5, -0.6782267119693502, -0.708293645764968),
    (80.37427520751953, 300.0, 0.5, -0.026049303831997724, -3.6607606139223274),
    (43.380523681640625, 300.0, 3.0, -1.8418790442332997, -0.17259217867329035),
    (47.134300231933594, 300.0, 3.0, -0.1726047023624399, -1.8418125663475413),
    (226.02584838867188, 1000.0, 0.5, -6.899506211735754, -0.001008791843983087),
    (244.9186553955078, 1000.0, 0.5, -0.684948622124789, -0.7014135113740801),
    (257.51385498046875, 1000.0, 0.5, -0.02469792538026009, -3.7133595782505484),
    (147.4313201904297, 1000.0, 3.0, -1.841277310534384, -0.1727055746260436),
    (154.28475952148438, 1000.0, 3.0, -0.17270801691409884, -1.841264355307014),
    # Saddle points just left of the pole at h = 24 and 30, whose crossing
    # point moves right across it, away from the singularity at -pi^2/4.
    (6.25, 24.0, 0.0, -0.47374563336257497, -0.9746235291688664),
    (6.75, 24.0, 0.0, -0.24491142092528523, -1.5268164060591731),
    (7.75, 30.0, 0.0, -0.49372352662312197, -0.9425051087197861),
]

# cdf(6, 24, 0) as the review gave it: two independent references agreeing.
REVIEW_CDF = (6.0, 24.0, 0.0, 0.52660082049808699)


def _f32(v):
    return float(np.float32(v))


def _density_points():
    """The CDF points, and for the density alone (its reference is quick
    enough to compute here) both sides of h = 12 (where float32 switches to
    the contour) and of x = 0.05 h^2 at h = 75, in float32 numbers."""
    pts = [row[:3] for row in CDF_TABLE]
    for h in (11.998046875, 12.0):
        pts += [(4.0, h, 0.5), (6.0, h, 0.0)]
    pts += [(_f32(281.25 * (1 - 2e-3)), 75.0, 0.0), (_f32(281.25 * (1 + 2e-3)), 75.0, 0.0)]
    return pts


def _series_switch_points():
    """Both sides of the small-x series' upper limit, where the contour's
    range begins for h >= 24 (the relative offsets survive the rounding to
    float32)."""
    pts = []
    for h in (24.0, 75.0, 300.0, 1000.0):
        limit = float(_density._small_x_limit(jnp.float64(h)))
        pts += [(_f32(limit * (1 - 1e-4)), h, 0.5), (_f32(limit * (1 + 1e-4)), h, 0.5)]
    return pts


@pytest.fixture(scope="module")
def density_table():
    return [(x, h, z, float(log_density_mp(x, h, z))) for x, h, z in _density_points()]


@pytest.fixture(scope="module")
def series_switch_table():
    return [(x, h, z, float(log_density_mp(x, h, z))) for x, h, z in _series_switch_points()]


def _columns(rows, dtype):
    return [jnp.asarray(np.array(col, dtype=np.float64), dtype) for col in zip(*rows, strict=True)]


def _logpdf_errors(table, dtype):
    x, h, z = _columns([row[:3] for row in table], dtype)
    ref = np.array([row[3] for row in table])
    got = np.asarray(vexol.logpdf(x, h, z), dtype=np.float64)
    # Absolute below 1, relative above.
    return np.abs(got - ref) / np.maximum(1.0, np.abs(ref))


def _cdf_errors(dtype):
    x, h, z = _columns([row[:3] for row in CDF_TABLE], dtype)
    lc = np.asarray(vexol.logcdf(x, h, z), dtype=np.float64)
    ls = np.asarray(vexol.logsf(x, h, z), dtype=np.float64)
    ref_c = np.array([row[3] for row in CDF_TABLE])
    ref_s = np.array([row[4] for row in CDF_TABLE])
    absolute = np.maximum(np.abs(np.exp(lc) - np.exp(ref_c)), np.abs(np.exp(ls) - np.exp(ref_s)))
    # The smaller of the two through its log, as docs/density_validation.md
    # measures it: relative error of the tail where its log is above -1,
    # relative error of the log below.
    use_c = ref_c < ref_s
    small = np.where(use_c, lc, ls)
    ref_small = np.where(use_c, ref_c, ref_s)
    tail = np.abs(small - ref_small) / np.maximum(1.0, np.abs(ref_small))
    return absolute, tail


def _worst(errors, rows):
    i = int(np.argmax(errors))
    return f"{errors[i]:.2e} at (x, h, z) = {tuple(rows[i][:3])}"


def test_float64_logpdf_within_2e12(density_table):
    errors = _logpdf_errors(density_table, jnp.float64)
    assert errors.max() < 2e-12, _worst(errors, density_table)


@pytest.mark.parametrize("dtype,bound", [(jnp.float64, 2e-12), (jnp.float32, 1e-5)])
def test_logpdf_at_the_series_switch(series_switch_table, dtype, bound):
    errors = _logpdf_errors(series_switch_table, dtype)
    assert errors.max() < bound, _worst(errors, series_switch_table)


def test_float64_cdf_and_sf_within_1e13():
    absolute, tail = _cdf_errors(jnp.float64)
    assert absolute.max() < 1e-13, _worst(absolute, CDF_TABLE)
    assert tail.max() < 3e-11, _worst(tail, CDF_TABLE)
    x, h, z, want = REVIEW_CDF
    assert abs(float(vexol.cdf(x, h, z)) - want) < 1e-13


def test_float32_within_1e5_relative(density_table):
    errors = _logpdf_errors(density_table, jnp.float32)
    assert errors.max() < 1e-5, _worst(errors, density_table)
    absolute, tail = _cdf_errors(jnp.float32)
    assert tail.max() < 1e-5, _worst(tail, CDF_TABLE)
    assert absolute.max() < 1e-5, _worst(absolute, CDF_TABLE)


def test_the_reference_table_is_current():
    """Three rows of CDF_TABLE recomputed (the quick ones): a stale or
    mistyped table would otherwise pass or fail for the wrong reason."""
    for row in (CDF_TABLE[1], CDF_TABLE[7], CDF_TABLE[30]):
        lc, ls = log_cdf_sf_mp(*row[:3])
        assert float(lc) == pytest.approx(row[3], rel=1e-14, abs=1e-300)
        assert float(ls) == pytest.approx(row[4], rel=1e-14, abs=1e-300)


def _table_points():
    """The x, h, z of CDF_TABLE, located with the contour's own saddle point
    and constants (for regenerating the table)."""
    from vexol import _density_contour as contour

    def offset(x, h, z):
        w0, sigma = contour.saddle_point(jnp.float64(x), jnp.float64(h))
        return (float(w0) - z * z / 4) / float(sigma)

    def solve(h, z, target):  # the offset falls as x grows
        lo, hi = 0.5, 0.2 * h * h
        for _ in range(200):
            mid = math.sqrt(lo * hi)
            lo, hi = (mid, hi) if offset(mid, h, z) > target else (lo, mid)
        return mid

    pts = [(5.5, 22.0, 0.0), (6.0, 24.0, 0.0), (6.5, 26.0, 0.0), (7.5, 30.0, 0.0)]
    t = solve(24.0, 0.0, -contour._MIN_POLE_STEPS * contour.STEP)
    pts += [(_f32(t * 0.99), 24.0, 0.0), (_f32(t * 1.01), 24.0, 0.0)]
    for x in (5.0, 8.0):
        pts += [(x, 23.998046875, 0.0), (x, 24.0, 0.0)]
    far_switches = [(24.0, 0.0, (-1,)), (75.0, 0.5, (-1,))]
    far_switches += [(300.0, 0.5, (1, -1)), (1000.0, 0.5, (1, -1))]
    for h, z, sides in far_switches:
        for side in sides:
            t = solve(h, z, side * contour.POLE_SIGMAS)
            pts += [(_f32(t * 0.995), h, z), (_f32(t * 1.005), h, z)]
    pts += [(_f32(28.8 * 0.998), 24.0, 0.0), (_f32(28.8 * 1.002), 24.0, 0.0)]
    for h in (75.0, 300.0, 1000.0):
        for z, ks in ((0.5, (-3, 0, 2)), (3.0, (-1, 1))):
            if h == 75.0 and z == 3.0:
                continue
            m, v = exact_moments(h, z)
            pts += [(_f32(float(m) + k * math.sqrt(float(v))), h, z) for k in ks]
    pts += [(6.25, 24.0, 0.0), (6.75, 24.0, 0.0), (7.75, 30.0, 0.0)]
    return pts


if __name__ == "__main__":
    print("CDF_TABLE = [")
    for x, h, z in _table_points():
        lc, ls = log_cdf_sf_mp(x, h, z)
        print(f"    ({x!r}, {h!r}, {z!r}, {float(lc)!r}, {float(ls)!r}),", flush=True)
    print("]")


def test_float32_far_right_tail_at_large_h():
    # x >= h^2/20, where the first-singularity expansion takes over: its
    # coefficients grow like (h/(4 pi^2))^j/j!, which overflowed float32 for
    # h >= 100 and made logpdf and logsf NaN. References from the Bromwich
    # integrals of pg_exact.reference (z = 0, 0 and 3).
    points = [(1125.0, 150.0, 0.0), (20000.0, 1000.0, 0.0), (1500.0, 100.0, 3.0)]
    from pg_exact import reference

    ref = np.array([[float(v) for v in reference(*p)] for p in points])
    x, h, z = (jnp.asarray(np.array(c, np.float32)) for c in zip(*points, strict=True))
    lp = np.asarray(vexol.logpdf(x, h, z), np.float64)
    ls = np.asarray(vexol.logsf(x, h, z), np.float64)
    np.testing.assert_allclose(lp, ref[:, 0], rtol=1e-5)
    np.testing.assert_allclose(ls, ref[:, 2], rtol=1e-5)
