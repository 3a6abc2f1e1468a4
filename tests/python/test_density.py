"""vexol.logpdf / cdf / sf / mean / variance against the arbitrary-precision
reference of validation/pg_exact.py (computed here, at points chosen in every
representation the code switches between), the domain rules,
broadcasting, transformations, float32, derivatives, and draws of vexol's
exact samplers against the CDF."""

import math
import pathlib
import subprocess
import sys

import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy import stats

jax.config.update("jax_enable_x64", True)

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "validation"))
from pg_exact import exact_moments, log_cdf_sf_mp, log_density_mp  # noqa: E402

import vexol  # noqa: E402

# (x, h, z): small-x series (x <= 1.2 for small h), first-singularity
# expansion (just past the switch, where its truncation shows first),
# saddle-point contour (h >= 24 in the bulk), and large tilts.
DENSITY_POINTS = [
    (0.05, 0.05, 0.0),
    (1.15, 0.3, 0.5),  # series near its upper end
    (1.25, 0.3, 0.5),  # expansion near its lower end
    (0.3, 1.0, 0.0),
    (1.3, 1.0, 3.0),
    (0.7, 2.5, 0.0),
    (4.0, 2.5, 0.5),
    (1.2, 7.0, 0.0),
    (1.5, 7.0, 0.0),
    (3.3, 20.0, 0.0),
    (3.6, 20.0, 0.0),
    (9.0, 20.0, 3.0),
    (12.0, 75.0, 0.0),
    (20.0, 75.0, 0.0),
    (26.0, 75.0, 0.5),
    (70.0, 300.0, 0.0),
    (1e-3, 1.0, 20.0),
    (2e-3, 2.5, 100.0),
]

CDF_POINTS = [
    (0.05, 0.05, 0.0),
    (1.0, 0.3, 0.5),
    (2.0, 0.3, 0.0),
    (0.3, 1.0, 0.0),
    (1.3, 1.0, 3.0),
    (0.7, 2.5, 0.0),
    (3.0, 2.5, 0.5),
    (1.5, 7.0, 0.0),
    (3.3, 20.0, 0.0),
    (4.0, 20.0, 0.5),
    (14.0, 75.0, 0.0),
    (18.0, 75.0, 0.0),
    (25.0, 75.0, 0.0),
    (0.03, 1.0, 20.0),
]


def _rel(value, ref):
    """Absolute error where |ref| < 1, relative above."""
    return abs(value - ref) / max(1.0, abs(ref))


@pytest.fixture(scope="module")
def density_table():
    return [(x, h, z, float(log_density_mp(x, h, z))) for x, h, z in DENSITY_POINTS]


@pytest.fixture(scope="module")
def cdf_table():
    return [(x, h, z, *map(float, log_cdf_sf_mp(x, h, z))) for x, h, z in CDF_POINTS]


def test_logpdf_matches_the_reference_in_every_region(density_table):
    x, h, z, ref = map(np.array, zip(*density_table, strict=True))
    got = np.asarray(jax.jit(vexol.logpdf)(x, h, z))
    errors = [_rel(g, r) for g, r in zip(got, ref, strict=True)]
    worst = int(np.argmax(errors))
    assert errors[worst] < 1e-10, (density_table[worst], got[worst])
    np.testing.assert_allclose(np.asarray(vexol.pdf(x, h, z)), np.exp(ref), rtol=1e-10)


def test_cdf_and_sf_match_the_reference(cdf_table):
    x, h, z, ref_c, ref_s = map(np.array, zip(*cdf_table, strict=True))
    lc = np.asarray(vexol.logcdf(x, h, z))
    ls = np.asarray(vexol.logsf(x, h, z))
    # The smaller of the two to a relative 1e-11 (the tail it resolves),
    # both to 1e-12 absolute.
    small = np.where(ref_c < ref_s, lc, ls)
    ref_small = np.minimum(ref_c, ref_s)
    np.testing.assert_allclose(small, ref_small, rtol=0, atol=1e-11)
    np.testing.assert_allclose(np.asarray(vexol.cdf(x, h, z)), np.exp(ref_c), rtol=0, atol=1e-12)
    np.testing.assert_allclose(np.asarray(vexol.sf(x, h, z)), np.exp(ref_s), rtol=0, atol=1e-12)


def test_far_tails_follow_the_leading_terms():
    # x -> 0: log p = -h^2/(8x) + O(log x); x -> inf: the first singularity,
    # log p = (h-1) log x - (pi^2 + z^2) x/2 + log((2 pi)^h cosh^h(z/2)/Gamma(h)) + O(1/x).
    h, z = 2.5, 3.0
    x = 1e-300
    lp = float(vexol.logpdf(x, h, z))
    lead = -h * h / (8 * x) - 1.5 * math.log(x)
    assert lp == pytest.approx(lead, rel=1e-12)
    assert math.isfinite(lp) and float(vexol.logcdf(x, h, z)) == pytest.approx(lp, rel=1e-12)
    x = 1e300
    lead = (
        (h - 1) * math.log(x)
        - (math.pi**2 + z * z) * x / 2
        + h * (math.log(2 * math.pi) + math.log(math.cosh(z / 2)))
        - math.lgamma(h)
    )
    assert float(vexol.logpdf(x, h, z)) == pytest.approx(lead, rel=1e-14)
    assert float(vexol.logsf(x, h, z)) == pytest.approx(lead, rel=1e-14)
    for big in (1e300, 3000.0):
        assert float(vexol.logpdf(big, 1000.0, 0.5)) < -1e3
        assert math.isfinite(float(vexol.logsf(big, 1000.0, 0.5)))


def test_domain_rules():
    f64 = jnp.float64
    x = jnp.array([-1.0, 0.0, jnp.inf, jnp.nan, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0], f64)
    h = jnp.array([1.0, 1.0, 1.0, 1.0, 0.0, -2.0, jnp.nan, jnp.inf, 1.0, 1.0], f64)
    z = jnp.array([0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, jnp.inf, -jnp.inf], f64)
    nan = np.nan
    np.testing.assert_array_equal(
        np.asarray(vexol.logpdf(x, h, z)),
        [-np.inf, -np.inf, -np.inf, nan, nan, nan, nan, nan, -np.inf, -np.inf],
    )
    np.testing.assert_array_equal(
        np.asarray(vexol.cdf(x, h, z)), [0, 0, 1, nan, nan, nan, nan, nan, 1, 1]
    )
    np.testing.assert_array_equal(
        np.asarray(vexol.sf(x, h, z)), [1, 1, 0, nan, nan, nan, nan, nan, 0, 0]
    )
    np.testing.assert_array_equal(np.asarray(vexol.pdf(x, h, z))[[0, 1, 2, 8]], 0.0)
    assert np.isnan(float(vexol.logpdf(1.0, 1.0, jnp.nan)))
    np.testing.assert_array_equal(
        np.asarray(vexol.mean(jnp.array([0.0, jnp.nan, 2.0]), jnp.array([1.0, 1.0, jnp.inf]))),
        [nan, nan, 0.0],
    )
    # Nothing NaN or infinite for valid finite arguments, from 1e-300 to 1e300.
    xs = jnp.logspace(-300, 300, 61)
    for hv in (0.05, 1.0, 7.0, 75.0, 1000.0):
        for zv in (0.0, 3.0, 100.0):
            lp = vexol.logpdf(xs, hv, zv)
            lc, ls = vexol.logcdf(xs, hv, zv), vexol.logsf(xs, hv, zv)
            assert bool(jnp.all(jnp.isfinite(lp))), (hv, zv)
            assert bool(jnp.all(jnp.isfinite(lc) | (ls == 0))), (hv, zv)
            assert bool(jnp.all(jnp.isfinite(ls) | (lc == 0))), (hv, zv)


def test_broadcasting_dtypes_jit_and_vmap():
    x = jnp.linspace(0.05, 2.0, 4).reshape(4, 1)
    h = jnp.array([0.5, 1.0, 30.0])
    got = vexol.logpdf(x, h, 0.5)
    assert got.shape == (4, 3) and got.dtype == jnp.float64
    loop = np.array([[float(vexol.logpdf(xi, hj, 0.5)) for hj in h] for xi in x[:, 0]])
    np.testing.assert_allclose(np.asarray(got), loop, rtol=1e-14)
    np.testing.assert_allclose(np.asarray(jax.jit(vexol.logpdf)(x, h, 0.5)), loop, rtol=1e-14)
    per_row = jax.vmap(lambda xi: vexol.cdf(xi, h, 0.5))(x[:, 0])
    np.testing.assert_allclose(np.asarray(per_row), np.asarray(vexol.cdf(x, h, 0.5)), rtol=1e-14)
    # Integer and Python inputs become the default float; float32 stays.
    assert vexol.logpdf(1, 2, 0).dtype == jnp.float64
    assert vexol.cdf(jnp.float32(1), jnp.float32(2), jnp.float32(0)).dtype == jnp.float32
    assert vexol.variance(jnp.float32(2), 1).dtype == jnp.float32
    assert vexol.mean(jnp.ones((2, 1)), jnp.zeros(3)).shape == (2, 3)


def test_float32_within_1e5_relative(density_table, cdf_table):
    x, h, z, ref = map(np.array, zip(*density_table, strict=True))
    f32 = [jnp.asarray(a, jnp.float32) for a in (x, h, z)]
    got = np.asarray(vexol.logpdf(*f32), dtype=np.float64)
    # The reference at the float32-rounded arguments, to first order.
    x32 = np.asarray(f32[0], dtype=np.float64)
    slope = np.asarray(jax.vmap(jax.grad(vexol.logpdf))(x, h, z))
    errors = np.abs(got - (ref + slope * (x32 - x))) / np.maximum(1, np.abs(ref))
    assert errors.max() < 1e-5, DENSITY_POINTS[int(errors.argmax())]
    xc, hc, zc, ref_c, _ = map(np.array, zip(*cdf_table, strict=True))
    c32 = np.asarray(vexol.cdf(*(jnp.asarray(a, jnp.float32) for a in (xc, hc, zc))))
    dens = np.asarray(vexol.pdf(xc, hc, zc)) * (np.float32(xc).astype(np.float64) - xc)
    np.testing.assert_allclose(c32, np.exp(ref_c) + dens, rtol=1e-5, atol=1e-7)


def test_float32_without_64_bit_types():
    code = (
        "import jax, jax.numpy as jnp, vexol\n"
        "x = jnp.array([0.3, 1.5, 20.0]); h = jnp.array([1.0, 7.0, 75.0])\n"
        "lp = vexol.logpdf(x, h, 0.5); c = vexol.cdf(x, h, 0.5)\n"
        "assert lp.dtype == jnp.float32 and c.dtype == jnp.float32\n"
        "print(*[float(v) for v in lp], *[float(v) for v in c])\n"
    )
    root = pathlib.Path(__file__).resolve().parents[2]
    done = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": str(root / "python"), "JAX_ENABLE_X64": "0", "PATH": "/usr/bin"},
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    got = np.array(done.stdout.split(), dtype=np.float64)
    x, h = np.array([0.3, 1.5, 20.0]), np.array([1.0, 7.0, 75.0])
    want = np.concatenate([np.asarray(vexol.logpdf(x, h, 0.5)), np.asarray(vexol.cdf(x, h, 0.5))])
    np.testing.assert_allclose(got, want, rtol=1e-5)


@pytest.mark.parametrize(
    "x,h,z",
    [(0.4, 1.0, 0.5), (2.0, 2.5, 1.0), (3.3, 20.0, 0.0), (20.0, 75.0, 2.0), (0.02, 3.0, 20.0)],
)
def test_derivatives_against_finite_differences(x, h, z):
    args = jnp.array([x, h, z])

    def lp(a):
        return vexol.logpdf(a[0], a[1], a[2])

    grad = np.asarray(jax.grad(lp)(args))
    for i in range(3):
        step = 1e-5 * max(abs(float(args[i])), 1e-2)
        e = np.zeros(3)
        e[i] = step
        fd = (float(lp(args + e)) - float(lp(args - e))) / (2 * step)
        assert grad[i] == pytest.approx(fd, rel=2e-6, abs=1e-8), i
    # The CDF's x-derivative is the density.
    dcdf = float(jax.grad(vexol.cdf)(x, h, z))
    assert dcdf == pytest.approx(float(vexol.pdf(x, h, z)), rel=1e-8)
    # Symmetric in z: the derivative at z = 0 is 0.
    assert float(jax.grad(vexol.logpdf, argnums=2)(x, h, 0.0)) == 0.0


def test_mean_and_variance_against_the_laplace_transform():
    # log E exp(-s X) = h log cosh(z/2) - h log cosh(sqrt(z^2/4 + s/2)):
    # mean = -K'(0), variance = K''(0), by autodiff of the transform itself.
    def cumulant(s, h, z):
        return h * jnp.log(jnp.cosh(z / 2)) - h * jnp.log(jnp.cosh(jnp.sqrt(z * z / 4 + s / 2)))

    for h in (0.3, 1.0, 75.0):
        for z in (0.5, 1.5, 3.0, 20.0):
            m = -jax.grad(cumulant)(0.0, h, z)
            v = jax.grad(jax.grad(cumulant))(0.0, h, z)
            assert float(vexol.mean(h, z)) == pytest.approx(float(m), rel=1e-13)
            assert float(vexol.variance(h, z)) == pytest.approx(float(v), rel=1e-12)
    # Small tilts: the Taylor series h (1/4 - z^2/48 + ...) and
    # h (1/24 - z^2/120 + 17 z^4/13440 - ...), the corrected reference, and
    # no step where the variance switches from its series to the closed form.
    z = np.array([0.0, 1e-4, 1e-2, 1 - 1e-12, 1 + 1e-12])
    v = np.asarray(vexol.variance(2.0, z))
    taylor = 2 * (1 / 24 - z**2 / 120 + 17 * z**4 / 13440)
    np.testing.assert_allclose(v[:3], taylor[:3], rtol=1e-14)
    assert v[3] == pytest.approx(v[4], rel=1e-11)
    em, ev = exact_moments(2.0, z[:3])
    np.testing.assert_allclose(np.asarray(vexol.mean(2.0, z[:3])), em, rtol=1e-13)
    # (the reference uses the closed form from z = 1e-3, where sinh z - z
    # cancels to about 1e-11)
    np.testing.assert_allclose(v[:3], ev, rtol=1e-10)
    assert float(vexol.variance(1.0, 1e-4)) < 1 / 24  # the variance falls with |z|
    # Exact far out too: no overflow of sinh/cosh.
    assert float(vexol.variance(1.0, 1000.0)) == pytest.approx(1 / (2 * 1000.0**3), rel=1e-12)


@pytest.mark.parametrize("h,z,seed", [(1.0, 0.0, 11), (1.0, 2.0, 12), (2.5, 1.0, 13)])
def test_exact_samplers_draw_from_this_law(h, z, seed):
    draws = np.asarray(vexol.sample(jnp.full(4000, h), z, seed))
    result = stats.kstest(draws, lambda t: np.asarray(vexol.cdf(t, h, z)))
    assert result.pvalue > 1e-3, result


def test_large_calls_are_evaluated_in_blocks_without_changing_a_value():
    # Calls above one block run block by block (padded with the last
    # element); each element must come out as when evaluated alone (under
    # vmap every call sees one element, so no blocks; to a few ulps: XLA's
    # vector and remainder loops may round differently), whatever the shape
    # of h (shared scalar or one per element), and so must the gradient in
    # a shared h.
    from vexol._density import BLOCK

    n = 2 * BLOCK + 37
    rng = np.random.default_rng(3)
    h = rng.choice([0.5, 3.0, 30.0, 300.0], n)
    x = np.asarray(vexol.sample(h, 1.5, 11))
    functions = (vexol.logpdf, vexol.logcdf, vexol.logsf)

    def all_three(x, h):
        return [f(x, h, 1.5) for f in functions]

    alone = jax.jit(jax.vmap(all_three))  # one program for both cases
    for hh in (h, 30.0):
        whole = all_three(x.reshape(1, n), np.reshape(hh, (1, -1)) if np.ndim(hh) else hh)
        alone_values = alone(x, np.broadcast_to(hh, x.shape))
        for f, w, a in zip(functions, whole, alone_values, strict=True):
            np.testing.assert_allclose(
                np.asarray(w)[0], np.asarray(a), rtol=1e-13, err_msg=f.__name__
            )
    grad = jax.grad(lambda hh: jnp.sum(vexol.logpdf(x, hh, 1.5)))(30.0)
    parts = jax.jit(jax.vmap(jax.grad(lambda v, hh: vexol.logpdf(v, hh, 1.5), 1), (0, None)))(
        x, 30.0
    )
    assert float(grad) == pytest.approx(float(np.sum(parts)), rel=1e-12)


def test_gradients_at_the_contour_crossing_zero():
    # At x = h/4 exactly (the mean of PG(h, 0)) the contour crosses the
    # axis at w0 = 0, where sqrt(w0) has an infinite derivative; so does the
    # placeholder x = h/4 of lanes that another representation serves, which
    # made the gradient in a shared h NaN for any batch mixing the contour's
    # region with another. The tails' crossing, moved off the pole, is w0 = 0
    # itself when the pole is far (|z| = 2.6 and 3 below). Reverse mode
    # against central differences.
    points = jnp.array(
        [
            (7.5, 30.0, 0.0),
            (7.5, 30.0, 1.5),
            (7.5, 30.0, -2.6),
            (75.0, 300.0, 0.0),
            (25.0, 100.0, 3.0),
        ]
    )

    functions = (vexol.logpdf, vexol.logcdf, vexol.logsf)

    def lp(a):
        x, h, z = a[..., 0], a[..., 1], a[..., 2]
        return jnp.stack([f(x, h, z) for f in functions], -1)

    # One program for every check: the functions' reverse-mode gradients of
    # a batch of three under a shared h and z. Three copies of one point:
    # each element's x-partial is the point's, the shared h's and z's three
    # times the point's.
    jac = jax.jit(
        jax.jacrev(lambda xs, h, z: jnp.stack([jnp.sum(f(xs, h, z)) for f in functions]), (0, 1, 2))
    )

    def alone(x, h, z):
        gx, gh, gz = (np.asarray(g) for g in jac(np.full(3, x), h, z))
        return np.stack([gx[:, 0], gh / 3, gz / 3], -1)

    grads = np.stack([alone(*map(float, p)) for p in points])
    for i in range(3):
        e = np.zeros(points.shape)
        e[:, i] = 1e-6 * np.maximum(np.abs(points[:, i]), 1.0)
        fd = (np.asarray(lp(points + e)) - np.asarray(lp(points - e))) / (2 * e[:, i, None])
        np.testing.assert_allclose(grads[:, :, i], fd, rtol=2e-6, atol=1e-9, err_msg=str(i))
    # One batch over three representations (small-x series, contour, large-x
    # expansion at h = 30) under a shared h, against the elements alone.
    x = jnp.array([0.5, 7.6, 90.0])
    g = np.asarray(jac(x, 30.0, 1.5)[1])
    parts = sum(alone(float(v), 30.0, 1.5)[:, 1] for v in x)
    np.testing.assert_allclose(g, parts, rtol=1e-12)
    assert np.all(np.isfinite(g))
