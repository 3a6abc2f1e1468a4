"""Reverse-mode derivatives of logcdf and logsf in the far tails (what NUTS
uses), and the density functions on half-precision inputs.

One jitted program gives the values and the reverse-mode gradients on one
vector of points spanning every h regime; the finite differences reuse it."""

import jax
import jax.numpy as jnp
import numpy as np
import pytest

jax.config.update("jax_enable_x64", True)

import vexol  # noqa: E402
from jax_releases import JAXLIB_RELEASE  # noqa: E402


def _tail_points():
    """Points in both far tails (log cdf or log sf from -40 to -2000) for
    h from 0.05 to 1000, and a few in the bulk."""
    pts = []
    for h in (0.05, 0.3, 1.0, 2.5, 7.0, 20.0, 30.0, 75.0, 300.0, 1000.0):
        for z in (0.0, 3.0, 20.0):
            m = float(vexol.mean(h, z))
            sd = float(vexol.variance(h, z)) ** 0.5
            rate = 4.93 + z * z / 2
            for x in (m * 10**-2.5, m * 0.05, m + 40 / rate, m + 10 * sd + 100 / rate, m):
                pts.append((x, h, z))
    return np.array(pts).T


X, H, Z = _tail_points()


def _values(h, z):
    return vexol.logcdf(X, h, z), vexol.logsf(X, h, z)


@jax.jit
def _values_and_reverse(h, z):
    """(log cdf, log sf) and their d/dh and d/dz, each element on its own
    (the functions are elementwise), by one linearisation and two
    transposes: one program, reused for the finite differences."""
    out, pullback = jax.vjp(_values, h, z)
    ones, zeros = jnp.ones_like(out[0]), jnp.zeros_like(out[0])
    return out, pullback((ones, zeros)), pullback((zeros, ones))


@pytest.fixture(scope="module")
def at_points():
    if JAXLIB_RELEASE[:2] < (0, 6):
        # Measured on jaxlib 0.5.3: the reverse-mode program had not compiled
        # after 150 s and held 11 GB, against about 100 s on 0.12.
        pytest.skip("the reverse-mode program is too costly to compile on this jaxlib")
    out, dc, ds = _values_and_reverse(H, Z)
    return [np.asarray(v) for v in out], [tuple(map(np.asarray, g)) for g in (dc, ds)]


def test_reverse_mode_in_the_tails_matches_finite_differences(at_points):
    values, grads = at_points
    lc, ls = values
    # The points reach both far tails, where log(1 - e^l) of the other tail
    # has an infinite partial.
    assert (lc < -37).sum() >= 20 and (ls < -37).sum() >= 20
    assert lc.min() < -1000 and ls.min() < -100
    (ch, cz), (sh, sz) = grads
    for name, g in (("dlogcdf/dh", ch), ("dlogcdf/dz", cz), ("dlogsf/dh", sh), ("dlogsf/dz", sz)):
        assert np.all(np.isfinite(g)), (name, np.c_[X, H, Z][~np.isfinite(g)][:5])
    # Central differences with the same program.
    eh = 1e-6 * H
    ez = 1e-6 * np.maximum(Z, 1.0)
    shifted = [
        [np.asarray(v) for v in _values_and_reverse(hh, zz)[0]]
        for hh, zz in ((H + eh, Z), (H - eh, Z), (H, Z + ez), (H, Z - ez))
    ]
    for k, (gh, gz) in enumerate(grads):
        fh = (shifted[0][k] - shifted[1][k]) / (2 * eh)
        fz = (shifted[2][k] - shifted[3][k]) / (2 * ez)
        # The differences carry the value's rounding, |log| eps / step.
        slack_h = 1e-5 * (1 + np.abs(values[k]) * 1e-16 / eh)
        slack_z = 1e-5 * (1 + np.abs(values[k]) * 1e-16 / ez)
        bad_h = np.abs(gh - fh) > slack_h * np.maximum(1, np.abs(fh))
        bad_z = np.abs(gz - fz) > slack_z * np.maximum(1, np.abs(fz))
        assert not bad_h.any(), (k, np.c_[X, H, Z, gh, fh][bad_h][:5])
        assert not bad_z.any(), (k, np.c_[X, H, Z, gz, fz][bad_z][:5])
    # At z = 0 the law is even in z: the derivative vanishes (to rounding).
    assert np.abs(cz[Z == 0]).max() < 1e-12 and np.abs(sz[Z == 0]).max() < 1e-12


@pytest.mark.parametrize("dtype", [jnp.float16, jnp.bfloat16])
def test_half_precision_inputs_give_their_own_dtype(dtype):
    x = jnp.array([0.05, 0.3, 1.5, 6.0], dtype)
    h = jnp.array([0.5, 1.0, 7.0, 30.0], dtype)
    z = jnp.array([0.0, 2.0, 0.5, 1.0], dtype)
    # The same arguments in float32: the half-precision results are those,
    # rounded.
    x32, h32, z32 = (a.astype(jnp.float32) for a in (x, h, z))
    for fn in (vexol.logpdf, vexol.pdf):
        got = fn(x, h, z)
        assert got.dtype == dtype, fn.__name__
        want = np.asarray(fn(x32, h32, z32).astype(dtype).astype(jnp.float32))
        np.testing.assert_array_equal(np.asarray(got.astype(jnp.float32)), want)
    # The distribution function traced (not compiled, to keep this file
    # cheap): half-precision arguments used to fail at trace time.
    for fn in (vexol.cdf, vexol.sf, vexol.logcdf, vexol.logsf):
        shape = jax.eval_shape(fn, x, h, z)
        assert shape.dtype == dtype and shape.shape == (4,), fn.__name__
    for fn in (vexol.mean, vexol.variance):
        assert fn(h, z).dtype == dtype
        np.testing.assert_array_equal(
            np.asarray(fn(h, z).astype(jnp.float32)),
            np.asarray(fn(h32, z32).astype(dtype).astype(jnp.float32)),
        )
    # Under jit and with a Python scalar mixed in.
    assert jax.jit(vexol.logpdf)(x, h, 0.5).dtype == dtype


def test_numpyro_log_prob_with_half_precision_parameters():
    pytest.importorskip("numpyro")
    from vexol.numpyro import PolyaGamma

    d = PolyaGamma(jnp.float16(1.0), jnp.array([0.0, 2.0], jnp.float16))
    value = jnp.array([0.2, 0.1], jnp.float16)
    lp = d.log_prob(value)
    assert lp.dtype == jnp.float16 and lp.shape == (2,)
    want = vexol.logpdf(value.astype(jnp.float32), 1.0, jnp.array([0.0, 2.0], jnp.float32))
    np.testing.assert_allclose(np.asarray(lp, np.float32), np.asarray(want), rtol=2e-3)
    assert jax.eval_shape(d.cdf, value).dtype == jnp.float16
