"""The documented value rules of the draws, each asserted exactly.

Values are not checked on the way in; instead every input gets a defined
output: NaN where the rule says NaN, the floor 1e-12 where it says the
floor, a draw of PG(h, 0) where the alternate sampler or the saddle point
meets a NaN tilt. Every rule is checked along the three paths a draw can
take through the handlers: one flat call on one generator, a flat call
long enough to be cut into chunks that run on worker threads, and a vmap
over seeds (the batched handler).
"""

import os
import subprocess
import sys

import jax
import jax.numpy as jnp
import numpy as np
import pytest

jax.config.update("jax_enable_x64", True)

import vexol  # noqa: E402

FLOOR = 1e-12
NAN = np.nan
INF = np.inf
HUGE = np.finfo(np.float64).max
SEED = 2718

# Shapes of every method: gamma series, Devroye (and its sums for integer
# h <= 4 with |z| <= 1), the alternate sampler (one piece and in pieces),
# the saddle point and the normal approximation, with their boundaries.
SHAPES = [1e-300, 0.1, 0.5, 0.999, 1.0, 1.5, 2.0, 2.5, 3.0, 4.0, 4.5, 5.0]
SHAPES += [6.5, 7.0, 7.999, 8.0, 20.0, 50.0, 50.5, 100.0, 1e6, 1e300]
# Finite tilts, both signs, around the |z| = 1 switch of the integer sums,
# into the saddle point's large-tilt branch, either side of |z| = 710.5
# where sinh overflows, and to the edge of the doubles.
TILTS = [0.0, -0.0, 1e-300, 0.3, -1.0, 1.0000001, -2.5, 30.0, -700.0, 708.0, -710.0]
TILTS += [711.0, 1e15, -1e300, HUGE]
INFINITE_TILTS = [INF, -INF]

# A flat call of more than one chunk (65536 elements) runs on threads.
CHUNKED_LENGTH = 70_000
ROUTES = ["flat", "chunked", "vmap"]


def grid(shapes, tilts):
    h, z = np.meshgrid(np.asarray(shapes, np.float64), np.asarray(tilts, np.float64))
    return h.ravel(), z.ravel()


def draw(route, h, z, seed=SEED):
    """(h, z, draws) as flat numpy arrays of one length along one route."""
    h, z = np.broadcast_arrays(np.asarray(h, np.float64), np.asarray(z, np.float64))
    h, z = h.ravel(), z.ravel()
    if route == "flat":
        return h, z, np.asarray(vexol.sample(h, z, seed))
    if route == "chunked":
        reps = -(-CHUNKED_LENGTH // h.size)
        h, z = np.tile(h, reps), np.tile(z, reps)
        return h, z, np.asarray(vexol.sample(h, z, seed))
    seeds = jnp.asarray([seed, seed + 1], jnp.int64)
    out = np.asarray(jax.vmap(lambda s: vexol.sample(h, z, s))(seeds))
    return np.tile(h, 2), np.tile(z, 2), out.ravel()


def where_not(ok, h, z, out):
    """The first offending (h, z, draw) triples, for the failure message."""
    bad = np.flatnonzero(~ok)[:8]
    return [(float(h[i]), float(z[i]), float(out[i])) for i in bad]


@pytest.fixture(scope="module", autouse=True)
def every_awkward_input_finishes(tmp_path_factory):
    """Rejection samplers loop until they accept; one that cannot decide on
    some input loops forever. Every shape and tilt of this file is drawn once
    in a child process first, so that such a loop fails the tests here with
    a message instead of hanging the run."""
    shapes = [*SHAPES, 0.0, -0.0, -0.5, -1.0, -3.5, -60.0, -HUGE, NAN, INF, -INF]
    h, z = grid(shapes, [*TILTS, *INFINITE_TILTS, NAN, -NAN])
    inputs = tmp_path_factory.mktemp("awkward") / "inputs.npy"
    np.save(inputs, np.stack([np.tile(h, 2), np.tile(z, 2)]))
    child = (
        "import sys, jax, numpy as np\n"
        "jax.config.update('jax_enable_x64', True)\n"
        "import vexol\n"
        "h, z = np.load(sys.argv[1])\n"
        "vexol.sample(h, z, 1).block_until_ready()\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    try:
        done = subprocess.run(
            [sys.executable, "-c", child, str(inputs)],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("drawing every shape and tilt of this file did not finish in 120 s")
    assert done.returncode == 0, done.stderr[-3000:]


@pytest.mark.parametrize("route", ROUTES)
def test_nan_shape_gives_nan(route):
    h, z, out = draw(route, *grid([NAN, -NAN], [*TILTS, *INFINITE_TILTS, NAN]))
    ok = np.isnan(out)
    assert ok.all(), where_not(ok, h, z, out)


@pytest.mark.parametrize("route", ROUTES)
def test_infinite_shape_gives_nan(route):
    h, z, out = draw(route, *grid([INF, -INF], [*TILTS, *INFINITE_TILTS, NAN]))
    ok = np.isnan(out)
    assert ok.all(), where_not(ok, h, z, out)


@pytest.mark.parametrize("route", ROUTES)
def test_nan_tilt_gives_nan_where_the_method_uses_the_tilt(route):
    # h < 1 (the gamma series, h = 0 included), h = 1 (Devroye) and h > 50
    # (the normal approximation).
    shapes = [0.0, 1e-300, 0.1, 0.5, 0.999, 1.0, 50.5, 100.0, 1e6, 1e300]
    h, z, out = draw(route, *grid(shapes, [NAN, -NAN]))
    ok = np.isnan(out)
    assert ok.all(), where_not(ok, h, z, out)


# 1 < h <= 50 apart from integer h <= 4: the same method serves z = 0.
NAN_AS_ZERO_SHAPES = [1.5, 2.5, 3.999, 4.5, 5.0, 6.0, 6.5, 7.0, 7.999, 8.0, 20.0, 37.5, 50.0]


@pytest.mark.parametrize("route", ROUTES)
def test_alternate_and_saddle_point_treat_a_nan_tilt_as_zero(route):
    # The same method for both tilts, so the same draws bit for bit.
    h = np.repeat(NAN_AS_ZERO_SHAPES, 7)
    _, _, with_nan = draw(route, h, NAN)
    _, _, with_zero = draw(route, h, 0.0)
    np.testing.assert_array_equal(with_nan, with_zero)
    assert (with_nan > FLOOR).all() and np.isfinite(with_nan).all()


@pytest.mark.parametrize("h", [2.0, 3.0, 4.0])
def test_small_integer_shape_with_a_nan_tilt_draws_from_pg_h_0(h):
    # Integer h <= 4 with |z| <= 1 sums Devroye draws; a NaN tilt fails that
    # test and goes to the alternate sampler, which treats it as 0. The
    # draws differ from those for z = 0, the law does not: PG(h, 0) has mean
    # h/4 and variance h/24.
    n = 40_000
    x = np.asarray(vexol.sample(np.full(n, h), NAN, SEED))
    assert np.isfinite(x).all() and (x >= FLOOR).all()
    mean_se = np.sqrt(h / 24 / n)
    assert abs(x.mean() - h / 4) < 5 * mean_se, (x.mean(), h / 4)
    # Var of the sample variance: (mu4 - sigma^4)/n, mu4 = kappa4 + 3 sigma^4
    # with kappa4 = h * 3! * sum_k c_k^4 = h * 17/1680 at z = 0.
    var = h / 24
    var_se = np.sqrt((h * 17 / 1680 + 2 * var * var) / n)
    assert abs(x.var() - var) < 5 * var_se, (x.var(), var)


@pytest.mark.parametrize("route", ROUTES)
def test_zero_shape_gives_the_floor_for_any_tilt_but_nan(route):
    h, z, out = draw(route, *grid([0.0], [*TILTS, *INFINITE_TILTS, NAN]))
    expected = np.where(np.isnan(z), NAN, FLOOR)
    ok = (out == expected) | (np.isnan(out) & np.isnan(expected))
    assert ok.all(), where_not(ok, h, z, out)


@pytest.mark.parametrize("route", ROUTES)
def test_negative_zero_shape_is_the_zero_shape(route):
    # -0.0 == 0.0: a shape computed as 0 * -1 must follow the h = 0 rule.
    h, z, out = draw(route, *grid([-0.0], [*TILTS, *INFINITE_TILTS, NAN]))
    expected = np.where(np.isnan(z), NAN, FLOOR)
    ok = (out == expected) | (np.isnan(out) & np.isnan(expected))
    assert ok.all(), where_not(ok, h, z, out)


@pytest.mark.parametrize("route", ROUTES)
def test_negative_shape_gives_the_floor_or_nan(route):
    shapes = [-1e-300, -0.5, -1.0, -2.0, -3.5, -6.5, -20.0, -60.0, -1e300, -HUGE]
    h, z, out = draw(route, *grid(shapes, [*TILTS, *INFINITE_TILTS, NAN]))
    ok = (out == FLOOR) | np.isnan(out)
    assert ok.all(), where_not(ok, h, z, out)


@pytest.mark.parametrize("route", ROUTES)
def test_infinite_tilt_gives_the_floor(route):
    h, z, out = draw(route, *grid(SHAPES, INFINITE_TILTS))
    ok = out == FLOOR
    assert ok.all(), where_not(ok, h, z, out)


@pytest.mark.parametrize("route", ROUTES)
def test_every_draw_of_a_valid_shape_and_tilt_is_a_number_at_least_the_floor(route):
    # NaN is no draw, and neither is inf: PG(h, z) has a finite mean for
    # every finite h >= 0 and z, and one inf turns a Gibbs step's Cholesky
    # factor into NaN.
    h, z, out = draw(route, *grid(SHAPES, TILTS))
    ok = np.isfinite(out) & (out >= FLOOR)
    assert ok.all(), where_not(ok, h, z, out)


@pytest.mark.parametrize("route", ROUTES)
def test_draws_below_the_floor_are_returned_as_the_floor(route):
    # PG(h, z) has mean h/(2|z|) and a relative spread sqrt(2/(h|z|)), below
    # 1e-4 here: at |z| = h/1e-12 every draw is near 5e-13 and must come back
    # as the floor exactly; at |z| = h/4e-12 every draw is near 2e-12 and
    # must come back as it is.
    shapes = np.array([0.01, 0.1, 0.5, 1.0, 2.0, 3.0, 2.5, 6.5, 8.0, 20.0, 50.5, 1e6])
    h = np.repeat(shapes, 40)
    _, _, below = draw(route, h, -h / 1e-12)
    assert (below == FLOOR).all(), where_not(below == FLOOR, h, h / 1e-12, below)
    _, _, above = draw(route, h, h / 4e-12)
    ok = np.abs(above / 2e-12 - 1) < 1e-2
    assert ok.all(), where_not(ok, h, h / 4e-12, above)


@pytest.mark.parametrize("route", ROUTES)
def test_the_sign_of_the_tilt_never_matters(route):
    tilts = [*TILTS, *INFINITE_TILTS, NAN, 0.5, 1.0, 12.0]
    shapes = [*SHAPES, 0.0, -0.0, -1.0, -3.5, NAN, INF, -INF]
    h, z = grid(shapes, tilts)
    _, _, plus = draw(route, h, z)
    _, _, minus = draw(route, h, -z)
    np.testing.assert_array_equal(plus, minus)


def test_empty_outputs_are_returned_without_a_custom_call():
    def sample(h, z):
        return vexol.sample(h, z, SEED)

    for h_shape, z_shape, out_shape in [
        ((0,), (0,), (0,)),
        ((0, 1), (4,), (0, 4)),
        ((3, 0), (), (3, 0)),
    ]:
        h, z = jnp.ones(h_shape), jnp.zeros(z_shape)
        out = sample(h, z)
        assert out.shape == out_shape and out.dtype == jnp.float64
        assert "vexol_pg_sample" not in jax.jit(sample).lower(h, z).as_text()
        assert "vexol_pg_sample" not in jax.jit(jax.vmap(sample)).lower(h[None], z[None]).as_text()
    # The same lowering with elements does hold the call: the check above
    # can see one.
    assert "vexol_pg_sample" in jax.jit(sample).lower(jnp.ones(2), jnp.zeros(2)).as_text()
