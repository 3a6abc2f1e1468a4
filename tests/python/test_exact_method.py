"""The law of the draws by method: exact draws where the default approximates.

Each case draws 10^5 variates of PG(h, z) through the custom call and
compares them with the law computed independently in JAX (vexol.cdf,
vexol.mean, vexol.variance) and in closed form: the mean and variance, the
third central moment (the third cumulant h f'''(z^2/4)/8 of
f(s) = log cosh(sqrt(s)), which the normal approximation lacks), the
Laplace transform at three points, and the Kolmogorov-Smirnov distance to
the exact CDF. method="exact" must pass every check at every shape; the
default dispatch fails them where its approximation is visible at this
sample size (the normal approximation at h = 100 and 1000), and the
saddle point from h = 8 on is within sampling noise there."""

import functools
import math

import jax
import jax.numpy as jnp
import mpmath
import numpy as np
import pytest

import vexol
from vexol import _calls, _registration
from vexol._jax import concentrated

jax.config.update("jax_enable_x64", True)

N = 100_000
# Bounds: 5 standard errors for the moments and the Laplace transform; for
# the KS distance sqrt(n) D <= 2.2, a tail probability of about 1e-4.
SIGMAS = 5.0
KS_SCALE = 2.2


@functools.partial(jax.jit, static_argnames="method")
def _draws(h, z, words, method):
    return _calls.flat_call(h, z, words, method)


def draws(h, z, method, seed, n=N):
    _registration.ensure_registered()
    words = jnp.array([seed >> 32, seed & 0xFFFFFFFF], jnp.uint32)
    return np.asarray(_draws(jnp.full(n, h), jnp.full(n, z), words, method))


def third_cumulant(h, z):
    """h f'''(z^2/4)/8 with f(s) = log cosh(sqrt(s)), from the cumulant
    generating function h (log cosh(z/2) - f(z^2/4 - t/2))."""
    with mpmath.workdps(40):
        f = lambda s: mpmath.log(mpmath.cosh(mpmath.sqrt(s)))  # noqa: E731
        return float(h * mpmath.re(mpmath.diff(f, mpmath.mpf(z) ** 2 / 4, 3)) / 8)


def log_laplace(h, z, t):
    """log E[exp(-t X)] = h (log cosh(z/2) - log cosh(sqrt(z^2/4 + t/2)))."""
    with mpmath.workdps(30):
        v = h * (
            mpmath.log(mpmath.cosh(mpmath.mpf(z) / 2))
            - mpmath.log(mpmath.cosh(mpmath.sqrt(mpmath.mpf(z) ** 2 / 4 + mpmath.mpf(t) / 2)))
        )
        return float(v)


@functools.partial(jax.jit, static_argnames=())
def _cdf(x, h, z):
    return vexol.cdf(x, h, z)


def law_checks(x, h, z):
    """(name, statistic in its own units, bound, passed) for each check."""
    n = x.size
    mean = float(vexol.mean(h, z))
    var = float(vexol.variance(h, z))
    sd = math.sqrt(var)
    d = x - x.mean()
    m2, m3, m4, m6 = (np.mean(d**k) for k in (2, 3, 4, 6))
    checks = []

    def within(name, value, exact, se):
        score = abs(value - exact) / se
        checks.append((name, score, SIGMAS, score <= SIGMAS))

    within("mean", x.mean(), mean, sd / math.sqrt(n))
    within("variance", np.var(x, ddof=1), var, math.sqrt((m4 - m2 * m2) / n))
    within(
        "third central moment",
        m3,
        third_cumulant(h, z),
        math.sqrt(max(m6 - m3 * m3 - 6 * m4 * m2 + 9 * m2**3, 1e-300) / n),
    )
    for k in (0.5, 1.0, 2.0):
        t = k / sd
        # About the mean, so that nothing underflows for large h.
        e = np.exp(-t * (x - mean))
        within(
            f"Laplace transform at {t:.3g}",
            e.mean(),
            math.exp(log_laplace(h, z, t) + t * mean),
            e.std() / math.sqrt(n),
        )
    xs = np.sort(x)
    cdf = np.asarray(_cdf(jnp.asarray(xs), h, z))
    i = np.arange(1, n + 1)
    ks = max(np.max(i / n - cdf), np.max(cdf - (i - 1) / n))
    checks.append(
        ("KS distance x sqrt(n)", ks * math.sqrt(n), KS_SCALE, ks * math.sqrt(n) <= KS_SCALE)
    )
    return checks


def failures(checks):
    return [f"{name}: {value:.3g} > {bound}" for name, value, bound, ok in checks if not ok]


EXACT = _calls.METHOD_CODES["exact"]
SADDLE = _calls.METHOD_CODES["saddle"]
DEFAULT = _calls.METHOD_CODES[None]

# Shapes where the default approximates: the gamma series below 1, the
# saddle point from 8 to 50, the normal approximation above 50.
EXACT_CASES = [
    (0.1, 0.0),
    (0.1, 3.0),
    (0.5, 0.0),
    (0.9, 0.5),
    (0.9, 6.0),
    (20.0, 0.0),
    (20.0, 2.0),
    (49.0, 1.0),
    (100.0, 0.0),
    (300.0, 1.0),
    (1000.0, 0.5),
    (1e4, 30.0),
    (1e6, 1.0),
]


@pytest.mark.parametrize("h, z", EXACT_CASES)
def test_exact_draws_follow_the_law(h, z):
    x = draws(h, z, EXACT, seed=int(1000 * h + 17 * z) + 1)
    assert not failures(law_checks(x, h, z))


@pytest.mark.parametrize("h, z", [(100.0, 0.0), (1000.0, 0.5)])
def test_the_default_fails_the_same_checks_where_it_approximates(h, z):
    # The normal approximation (h > 50) has the exact mean and variance but
    # no skewness (the third cumulant is h/60 at z = 0, a skewness of
    # 1.96/sqrt(h)), and at h = 100 a KS distance of about 0.012.
    x = draws(h, z, DEFAULT, seed=int(1000 * h + 17 * z) + 1)
    failed = failures(law_checks(x, h, z))
    assert any(f.startswith("third central moment") for f in failed), failed
    if h == 100.0:
        assert any(f.startswith("KS distance") for f in failed), failed


@pytest.mark.parametrize("h", [75.0, 1000.0])
def test_the_default_keeps_the_spread_at_large_tilts(h):
    # The normal approximation's variance once went through 1 - tanh^2(|z|/2),
    # which cancels: its draws' sd was 1.33x the law's at |z| = 38 and 0 from
    # 38.1 on. Each sd here is within 7 of its standard errors (0.22%).
    for z in (30.0, 35.0, 38.0, 39.0, 100.0, 1000.0):
        x = draws(h, z, DEFAULT, seed=int(z) + 3)
        ratio = x.std() / math.sqrt(float(vexol.variance(h, z)))
        assert abs(ratio - 1.0) < 7 / math.sqrt(2 * N), (z, ratio)


@pytest.mark.parametrize("h, z", [(0.001, 0.0), (0.001, 1000.0), (0.01, 0.0), (0.01, 1000.0)])
def test_the_default_is_exact_where_the_gamma_series_is_off(h, z):
    # The gamma series put a quarter of PG(0.001, 0)'s draws at the floor
    # (KS distance 0.55); at h = 0.01 it was 0.08, at |z| = 1000 0.2 and
    # 0.03. There the default now draws by inversion.
    x = draws(h, z, DEFAULT, seed=int(1000 * h + z) + 11)
    ks = [c for c in law_checks(x, h, z) if c[0].startswith("KS")]
    assert not failures(ks)


def test_the_pure_jax_concentrated_sampler_follows_the_law_where_it_is_widest():
    # Beyond h = 1e12 or |z| = 1e10 no sample can tell the exact law from
    # the normal approximation; the construction that draws it there holds
    # at any h whose window stays clear of m's pole, and its quadrature is
    # coarsest where the window is widest: at h = 2000 the skewness is
    # 0.044, 11 standard errors of the third moment at 4 10^5 draws.
    n = 4 * N
    draw = jax.jit(concentrated.draw)
    for z in (0.0, 3.0):
        x = np.asarray(
            draw(jax.random.key(int(z) + 5), jnp.full(n, 2000.0), jnp.full(n, z), jnp.ones(n, bool))
        )
        assert not failures(law_checks(x, 2000.0, z))


def test_the_saddle_point_passes_where_the_normal_approximation_fails():
    x = draws(100.0, 0.0, SADDLE, seed=5)
    assert not failures(law_checks(x, 100.0, 0.0))


def test_methods_share_the_seeding_rules():
    # Batched rows and shared inputs are flat calls with the row's own seed,
    # float32 the float64 draw rounded, for every method.
    _registration.ensure_registered()
    # Values that float32 holds exactly, so that both precisions draw for
    # the same inputs.
    h = jnp.array([0.375, 1.0, 12.0, 80.0, 0.0, jnp.inf, jnp.nan, 0.875])
    z = jnp.array([0.5, -2.0, 1.0, 0.0, 1.0, 1.0, 1.0, jnp.inf])
    seeds = [7, 2**63 + 5, 123456789]
    rows = jnp.array([[s >> 32, s & 0xFFFFFFFF] for s in seeds], jnp.uint32)
    for method in (DEFAULT, SADDLE, EXACT):
        flat = [np.asarray(_calls.flat_call(h, z, rows[r], method)) for r in range(3)]
        batched = np.asarray(
            _calls.batched_call(jnp.stack([h] * 3), jnp.stack([z] * 3), rows, method)
        )
        shared = np.asarray(_calls.shared_call(h, z, rows, method))
        for r in range(3):
            np.testing.assert_array_equal(batched[r], flat[r])
            np.testing.assert_array_equal(shared[r], flat[r])
        f32 = np.asarray(
            _calls.flat_call(h.astype(jnp.float32), z.astype(jnp.float32), rows[0], method)
        )
        np.testing.assert_array_equal(f32, flat[0].astype(np.float32))
        # The value rules: h = 0 and |z| = inf give the floor, an infinite
        # or NaN shape NaN.
        assert flat[0][4] == 1e-12 and flat[0][7] == 1e-12
        assert np.isnan(flat[0][5]) and np.isnan(flat[0][6])
    with pytest.raises(ValueError):
        _calls.flat_call(h, z, rows[0], 3)


def test_method_zero_is_the_default_target():
    _registration.ensure_registered()
    h = jnp.array([0.3, 1.0, 12.0, 80.0])
    z = jnp.array([0.5, -2.0, 1.0, 0.0])
    words = jnp.array([0, 99], jnp.uint32)
    plain = np.asarray(_calls.flat_call(h, z, words))
    np.testing.assert_array_equal(np.asarray(_calls.flat_call(h, z, words, DEFAULT)), plain)
    for method in (SADDLE, EXACT):
        assert not np.array_equal(np.asarray(_calls.flat_call(h, z, words, method)), plain)
