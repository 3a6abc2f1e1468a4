"""The pure-JAX sampler (vexol._jax.draw): its law in every exact regime
against the exact law (Laplace transform, moments, KS distance to
vexol.cdf), its approximate regimes against the C++ path's draws, the
value rules, and the transformation and PRNG contracts.

Each dtype draws all its law cases in one jitted call (one compilation), and
the contract tests share one small input, so the file stays within a CI
minute."""

import functools
import math

import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy import stats

import vexol
from jax_releases import x64_disabled
from vexol._jax import draw

N = 100_000
N_EXACT_SUMS = 20_000
DTYPES = ["float32", "float64"]

# (h, z): every exact regime of the default dispatch.
EXACT = [
    (1.0, 0.0),  # Devroye, h = 1
    (1.0, 2.5),
    (1.0, -30.0),  # large tilt, sign ignored
    (2.0, 0.5),  # sums of Devroye draws, |z| <= 1
    (3.0, -1.0),
    (4.0, 0.2),
    (2.0, 3.0),  # integer h, |z| > 1: alternate
    (1.5, 0.0),  # alternate, non-integer
    (2.5, 1.0),
    (3.7, 6.0),
    (4.5, 1.0),  # pieces: 3 + 1.5
    (6.0, 0.0),  # 4 + 2
    (7.3, 4.0),  # 4 + 3.3
]
# Approximate regimes, judged against the C++ path.
APPROX = [
    (8.0, 0.0),  # saddle point
    (20.0, 1.0),
    (50.0, 5.0),
    (30.0, 300.0),
    (60.0, 1.0),  # normal approximation
    (200.0, 0.5),
    (0.5, 1.0),  # gamma series
    (0.1, 0.0),
    (0.3, 10.0),
]
CASES = EXACT + APPROX
# method="exact" for 8 <= h < 16 (sums of exact pieces), from 16 on (the
# saddle point's proposal corrected by the law's density) and h < 1
# (inversion of the CDF, about a millisecond per draw: a small sample).
EXACT_METHOD = [(10.0, 1.0), (12.5, 3.0), (50.0, 1.0), (1000.0, 0.0)]
EXACT_INVERSION = [(0.5, 1.0), (0.05, 0.0)]
# Below h = 0.1, and above |z| = 50 under h = 1, the default inverts too.
DEFAULT_INVERSION = [(0.001, 0.0), (0.01, 1000.0), (0.5, 300.0)]
N_INVERSION = 3_000


def _input(cases, n, dtype):
    h = np.repeat([c[0] for c in cases], n)
    z = np.repeat([c[1] for c in cases], n)
    return jnp.asarray(h, dtype), jnp.asarray(z, dtype)


def _draw_groups(fn, key, groups, dtype):
    """fn(key, h, z) on the cases of every (cases, n) group at once, one
    program; per group, the draws as an array of one row per case."""
    inputs = [_input(cases, n, dtype) for cases, n in groups]
    out = fn(key, *(jnp.concatenate(a) for a in zip(*inputs, strict=True)))
    assert out.dtype == jnp.dtype(dtype)
    sizes = np.cumsum([len(cases) * n for cases, n in groups])[:-1]
    return [
        part.reshape(len(cases), n)
        for part, (cases, n) in zip(
            np.split(np.asarray(out, np.float64), sizes), groups, strict=True
        )
    ]


# Each compiled program draws for several tests (a program of the sampler
# compiles in 7 to 14 s): the default's law cases and its inversion cases,
# the exact method's sums and its inversion (a few hundred microseconds per
# draw: small samples).
@functools.cache
def _law_draws(dtype):
    return _draw_groups(
        jax.jit(draw),
        jax.random.key(20261207),
        [(CASES, N), (DEFAULT_INVERSION, N_INVERSION)],
        dtype,
    )


@functools.cache
def _exact_method_draws(dtype):
    return _draw_groups(
        jax.jit(functools.partial(draw, method="exact")),
        jax.random.key(7),
        [(EXACT_METHOD, N_EXACT_SUMS), (EXACT_INVERSION, N_INVERSION)],
        dtype,
    )


def test_exact_method_inversion_follows_the_law():
    draws = _exact_method_draws("float64")[1]
    for (h, z), x in zip(EXACT_INVERSION, draws, strict=True):
        _check_exact_law(x, h, z)


def test_the_default_inverts_where_the_gamma_series_is_off():
    # Below h = 0.1, and above |z| = 50 under h = 1, the gamma series was
    # visibly off (KS distance 0.55 at h = 0.001, 0.08 at h = 0.01); the
    # default draws there by inversion, as the CPU path does.
    draws = _law_draws("float64")[1]
    for (h, z), x in zip(DEFAULT_INVERSION, draws, strict=True):
        _check_exact_law(x, h, z)


def test_exact_method_hands_over_where_the_cpu_path_does():
    # Exact pieces cost time linear in h (they once ran for every h, with
    # the count cast to int32): from 16 on "exact" draws by the corrected
    # saddle point, whose cost does not grow with h, and beyond 1e12 by the
    # concentrated law's sampler, where "saddle" draws as the default does.
    key = jax.random.key(3)
    h = jnp.array([2e6, 5e8, 1e13, 3e15])
    z = jnp.array([0.5, 2.0, 1.0, 0.0])
    exact = np.asarray(draw(key, h, z, method="exact"))
    saddle = np.asarray(draw(key, h, z, method="saddle"))
    np.testing.assert_array_equal(saddle[2:], np.asarray(draw(key, h, z))[2:])
    assert not np.any(exact[2:] == saddle[2:])
    # Every draw at the law's mean, to its spread (sd/mean < 0.8/sqrt(h)).
    mean = np.asarray(vexol.mean(h, z))
    assert np.all(np.abs(exact / mean - 1) < 6 / np.sqrt(np.asarray(h)))


def _cdf(h, z):
    return lambda x: np.asarray(vexol.cdf(jnp.asarray(x, jnp.float64), h, z))


def _log_laplace(h, z, t):
    """ln E[exp(-t w)] = h (ln cosh(z/2) - ln cosh(sqrt(z^2/4 + t/2)))."""

    def log_cosh(x):
        return x + math.log1p(math.exp(-2 * x)) - math.log(2)

    return h * (log_cosh(abs(z) / 2) - log_cosh(math.sqrt(z * z / 4 + t / 2)))


def _check_exact_law(x, h, z):
    n = x.size
    mean = float(vexol.mean(jnp.float64(h), jnp.float64(z)))
    var = float(vexol.variance(jnp.float64(h), jnp.float64(z)))
    assert abs(x.mean() - mean) < 4.5 * math.sqrt(var / n), (x.mean(), mean)
    centred = (x - mean) ** 2
    assert abs(centred.mean() - var) < 4.5 * centred.std() / math.sqrt(n), (centred.mean(), var)
    # The Laplace transform at t of a fraction, one and several times 1/mean.
    for c in (0.3, 1.0, 4.0):
        t = c / mean
        e = np.exp(-t * x)
        expected = math.exp(_log_laplace(h, z, t))
        assert abs(e.mean() - expected) < 4.5 * e.std() / math.sqrt(n) + 1e-12, (
            t,
            e.mean(),
            expected,
        )
    ks = stats.kstest(x, _cdf(h, z))
    assert ks.pvalue > 1e-4, ks


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("case", range(len(EXACT)), ids=[f"h={h},z={z}" for h, z in EXACT])
def test_exact_regimes_follow_the_law(dtype, case):
    h, z = EXACT[case]
    _check_exact_law(_law_draws(dtype)[0][case], h, z)


@pytest.mark.parametrize("dtype", DTYPES)
def test_exact_method_sums_follow_the_law(dtype):
    draws = _exact_method_draws(dtype)[0]
    for (h, z), x in zip(EXACT_METHOD, draws, strict=True):
        _check_exact_law(x, h, z)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "case", range(len(EXACT), len(CASES)), ids=[f"h={h},z={z}" for h, z in APPROX]
)
def test_approximate_regimes_match_the_cpp_path(dtype, case):
    """Same approximation as the C++ sampler: the two samples' KS distances
    to the exact law agree within the two-sample KS bound, and the samples
    themselves pass the two-sample test."""
    h, z = CASES[case]
    x = _law_draws(dtype)[0][case]
    hh, zz = _input([(h, z)], N, dtype)
    ref = np.asarray(vexol.sample(hh, zz, 99 + case, dtype=jnp.dtype(dtype)), np.float64)
    cdf = _cdf(h, z)
    d_jax = stats.kstest(x, cdf).statistic
    d_cpp = stats.kstest(ref, cdf).statistic
    bound = 2.23 * math.sqrt(2.0 / N)  # two-sample KS at p = 1e-4
    assert abs(d_jax - d_cpp) < bound, (d_jax, d_cpp)
    assert stats.ks_2samp(x, ref).pvalue > 1e-4


# ---------------------------------------------------------------------------
# Value rules and termination
# ---------------------------------------------------------------------------

H_EDGE = [0.0, -0.0, 5e-324, 1e-30, 0.5, 1.0, 2.0, 2.5, 4.0, 4.5, 7.99, 8.0, 50.0, 51.0, 1e300]
Z_EDGE = [0.0, -0.0, 5e-324, 1e-300, 1.0, -1.0, 3.0, 1e10, -2e10, 1e300, np.inf, -np.inf, np.nan]


def _grid(dtype):
    h, z = np.meshgrid([*H_EDGE, np.nan, np.inf, -np.inf, -1.0, -2.5], Z_EDGE, indexing="ij")
    with np.errstate(over="ignore"):
        return h.ravel().astype(dtype), z.ravel().astype(dtype)


@functools.cache
def _grid_draws(dtype):
    h, z = _grid(dtype)
    out = jax.jit(draw)(jax.random.key(3), jnp.asarray(h), jnp.asarray(z))
    return h, z, np.asarray(out)


@pytest.mark.parametrize("dtype", DTYPES)
def test_value_rules(dtype):
    h, z, out = _grid_draws(dtype)
    floor = np.nextafter(np.float32(1e-12), np.float32(1)) if dtype == "float32" else 1e-12
    assert out.dtype == np.dtype(dtype)
    assert float(floor) >= 1e-12
    finite = np.isfinite(h) & (h >= 0) & np.isfinite(z)
    # Every loop ended (we are here) and every finite input gave a finite
    # draw of at least the floor.
    assert np.all(np.isfinite(out[finite])) and np.all(out[finite] >= floor)
    assert np.all(np.isnan(out) | (out >= floor))
    # h = 0 (and -0.0) is the floor for every z, NaN included; so is a
    # subnormal h, which XLA's CPU arithmetic flushes to 0.
    zero = np.abs(h) < np.finfo(dtype).tiny
    assert np.all(out[zero] == floor)
    # NaN or infinite h: NaN.
    assert np.all(np.isnan(out[~np.isfinite(h)]))
    # Infinite z: the floor.
    inf_z = np.isinf(z) & np.isfinite(h) & (h >= 0)
    assert np.all(out[inf_z] == floor)
    # NaN z: NaN where the tilt is used directly (h < 1, h = 1, h > 50),
    # a draw of PG(h, 0) elsewhere.
    nan_z = np.isnan(z) & np.isfinite(h) & ~zero & (h > 0)
    direct = (h < 1) | (h == 1) | (h > 50)
    assert np.all(np.isnan(out[nan_z & direct]))
    assert np.all(out[nan_z & ~direct] >= floor)


@pytest.mark.parametrize("dtype", DTYPES)
def test_sign_of_z_never_matters(dtype):
    h, z = _grid(dtype)
    key = jax.random.key(3)
    a = np.asarray(jax.jit(draw)(key, jnp.asarray(h), jnp.asarray(z)))
    b = np.asarray(jax.jit(draw)(key, jnp.asarray(h), jnp.asarray(-z)))
    np.testing.assert_array_equal(a, b)


def test_empty_and_scalar_shapes_and_unknown_methods():
    assert draw(jax.random.key(0), jnp.zeros((0, 3)), jnp.zeros((0, 3))).shape == (0, 3)
    scalar = draw(jax.random.key(0), jnp.float32(1.0), jnp.float32(0.0))
    assert scalar.shape == () and scalar.dtype == jnp.float32 and float(scalar) > 0
    with pytest.raises(ValueError):
        draw(jax.random.key(0), jnp.ones(2), jnp.ones(2), method="gibbs")


# ---------------------------------------------------------------------------
# Transformations and PRNG implementations
# ---------------------------------------------------------------------------

MIXED_H = np.array([0.3, 1.0, 2.0, 2.5, 3.0, 4.5, 6.0, 9.0, 30.0, 80.0, 1.0, 3.7])
MIXED_Z = np.array([1.0, 2.0, 0.5, 1.0, 4.0, 0.0, 2.0, 1.0, 3.0, 1.0, 0.0, -2.0])


def test_jit_equals_eager():
    h, z = jnp.asarray(MIXED_H), jnp.asarray(MIXED_Z)
    key = jax.random.key(11)
    np.testing.assert_array_equal(np.asarray(jax.jit(draw)(key, h, z)), np.asarray(draw(key, h, z)))


@pytest.mark.parametrize(("dtype", "z"), [("float32", 3.0), ("float64", 39.0)])
def test_jit_equals_eager_with_constant_inputs(dtype, z):
    # Python numbers are constants of a jitted program, which XLA folded
    # with the host's libm: the normal approximation drew 1 ulp off the
    # eager draws at h = 75 (every draw at these tilts).
    def f(key):
        return vexol.polya_gamma(key, 75.0, z, shape=(500,), dtype=dtype, implementation="jax")

    key = jax.random.key(11)
    np.testing.assert_array_equal(np.asarray(jax.jit(f)(key)), np.asarray(f(key)))


def test_vmap_over_keys_equals_per_key_calls():
    h, z = jnp.asarray(MIXED_H), jnp.asarray(MIXED_Z)
    keys = jax.random.split(jax.random.key(5), 3)
    f = jax.jit(draw)
    batched = np.asarray(jax.jit(jax.vmap(draw, in_axes=(0, None, None)))(keys, h, z))
    for i in range(3):
        np.testing.assert_array_equal(batched[i], np.asarray(f(keys[i], h, z)))


def test_vmap_over_h_and_z_equals_a_loop_with_the_same_key():
    # Rows of the mixed inputs' length: the loop's calls are the program
    # test_jit_equals_eager compiles.
    h = jnp.asarray(np.stack([np.roll(MIXED_H, k) for k in range(3)]))
    z = jnp.asarray(np.stack([np.roll(MIXED_Z, k) for k in range(3)]))
    key = jax.random.key(8)
    f = jax.jit(draw)
    batched = np.asarray(jax.jit(jax.vmap(draw, in_axes=(None, 0, 0)))(key, h, z))
    for i in range(3):
        np.testing.assert_array_equal(batched[i], np.asarray(f(key, h[i], z[i])))


@pytest.mark.parametrize("impl", ["rbg", "unsafe_rbg"])
def test_other_prng_implementations(impl):
    """Each key implementation runs the whole dispatch, keeps the value rules
    and draws the right law (PG(1, 0), mean 1/4, sd 1/sqrt(24))."""
    # One program: the value rules' grid, then n lanes of PG(1, 0).
    grid_h, grid_z = _grid("float64")
    n = 20_000
    h = np.concatenate([grid_h, np.ones(n)])
    z = np.concatenate([grid_z, np.zeros(n)])
    out = np.asarray(jax.jit(draw)(jax.random.key(1, impl=impl), jnp.asarray(h), jnp.asarray(z)))
    grid, x = out[: grid_h.size], out[grid_h.size :]
    finite = np.isfinite(grid_h) & (grid_h >= 0) & np.isfinite(grid_z)
    assert np.all(np.isfinite(grid[finite])) and np.all(grid[finite] >= 1e-12)
    assert abs(x.mean() - 0.25) < 4.5 * math.sqrt(1 / 24 / n)


def test_float32_program_needs_no_x64():
    with x64_disabled():
        h = jnp.asarray(MIXED_H, jnp.float32)
        z = jnp.asarray(MIXED_Z, jnp.float32)
        text = str(jax.make_jaxpr(draw)(jax.random.key(2), h, z))
        out = jax.jit(draw)(jax.random.key(2), h, z)
    assert "f64" not in text
    assert out.dtype == jnp.float32 and bool(jnp.all(out >= 1e-12))


def test_large_batches_draw_every_block_from_its_own_key():
    """Past one block of a method's lanes the dispatch gathers them and works
    through them block by block: each block draws from its own key
    (identical inputs would otherwise repeat a block's draws), lanes of two
    methods interleaved each get their own law, and a count that is not a
    multiple of the block keeps every lane, with the law intact in the last,
    partly filled block."""
    from vexol._jax import _common

    per_method = 2 * _common.BLOCK + 4000
    h = np.tile([1.0, 2.5], per_method)
    x = np.asarray(jax.jit(draw)(jax.random.key(3), jnp.asarray(h), jnp.full(h.size, 0.5)))
    assert np.all(np.isfinite(x)) and np.all(x > 0)
    for hv in (1.0, 2.5):
        xs = x[h == hv]
        parts = [xs[i * _common.BLOCK : (i + 1) * _common.BLOCK] for i in range(3)]
        m = len(parts[-1])
        assert m == 4000
        for i in range(3):
            for j in range(i + 1, 3):
                assert np.mean(parts[i][:m] == parts[j][:m]) < 0.01, (hv, i, j)
        mean, sd = float(vexol.mean(hv, 0.5)), math.sqrt(float(vexol.variance(hv, 0.5)))
        assert abs(parts[-1].mean() - mean) < 5 * sd / math.sqrt(m), hv
        assert abs(xs.mean() - mean) < 5 * sd / math.sqrt(xs.size), hv


@pytest.mark.parametrize("dtype", DTYPES)
def test_shared_setup_draws_as_the_per_lane_setup(dtype):
    """When every lane of a method has the same (h, z) its set-up runs once
    and is broadcast; it must give the draws the per-lane set-up gives. One
    lane's h or z changed by a little (the same method) sends every lane through the
    per-lane set-up, and the rounds then draw the other lanes exactly as
    before: they are bit-identical. The lane count is not a multiple of
    the set-up's chunk (the last chunk overlaps). Lanes whose arguments
    differ each keep their own set-up and law."""
    n = 3000
    f = jax.jit(draw)
    # (h, z, which argument the last lane changes)
    for hv, zv, arg in [(20.0, 1.0, 1), (8.0, 0.0, 0), (2.5, 1.0, 0), (3.7, 6.0, 1), (6.0, 2.0, 0)]:
        h = jnp.full(n, hv, dtype)
        z = jnp.full(n, zv, dtype)
        shared = np.asarray(f(jax.random.key(4), h, z))
        changed = [h, z]
        changed[arg] = changed[arg].at[-1].add(0.05)
        per_lane = np.asarray(f(jax.random.key(4), *changed))
        assert np.all(np.isfinite(shared)), (hv, zv)
        np.testing.assert_array_equal(shared[:-1], per_lane[:-1], err_msg=f"h={hv}, z={zv}")
    # Lanes that share one argument but not the other each keep their own
    # set-up: h shared with two values of z, z shared with two values of h,
    # each half against its exact mean (n lanes again: the same program).
    m = n // 2
    for hs, zs in [((2.5, 2.5), (0.0, 4.0)), ((20.0, 20.0), (0.0, 4.0)), ((2.5, 3.5), (1.0, 1.0))]:
        h = jnp.asarray(np.tile(hs, m), dtype)
        z = jnp.asarray(np.tile(zs, m), dtype)
        x = np.asarray(f(jax.random.key(6), h, z), np.float64).reshape(m, 2)
        for i in range(2):
            mean = float(vexol.mean(hs[i], zs[i]))
            sd = math.sqrt(float(vexol.variance(hs[i], zs[i])))
            assert abs(x[:, i].mean() - mean) < 5 * sd / math.sqrt(m), (hs[i], zs[i])


@pytest.mark.parametrize("dtype", DTYPES)
def test_gamma_series_variates_follow_the_gamma_law(dtype):
    """The gamma series' accepted tries are Gamma(a) variates, for a < 1
    through the recycled acceptance uniform: KS against the gamma law and
    the mean of ln X (which a wrong U^(1/a) moves first)."""
    from scipy import special

    from vexol._jax import series

    n = 100_000
    shapes = [0.05, 0.5, 0.9, 30.0]
    a = jnp.asarray(np.repeat(shapes, n), dtype)
    x, ok = jax.jit(series._gamma_tries)(jax.random.key(12), a)
    x, ok = np.asarray(x, np.float64).reshape(-1, n), np.asarray(ok).reshape(-1, n)
    for s, xs, oks in zip(shapes, x, ok, strict=True):
        xs = xs[oks]
        assert xs.size > 0.9 * n, s
        if s < 0.5 and dtype == "float32":
            # A percent of Gamma(0.05) lies below float32's least normal.
            continue
        assert stats.kstest(xs, stats.gamma(s).cdf).pvalue > 1e-4, s
        logs = np.log(xs)
        # E ln X = digamma(a), Var ln X = trigamma(a).
        sd = math.sqrt(special.polygamma(1, s) / xs.size)
        assert abs(logs.mean() - special.digamma(s)) < 4.5 * sd, s
