"""A fast, deterministic subset of the validation against the exact law
(validation/validate.py runs the full one): fixed seeds, 10^5 draws per
case, the exact CDF from the arbitrary-precision series density."""

import pathlib
import sys

import numpy as np
import pytest
from scipy import stats

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "validation"))
from draws import pg_draws
from pg_exact import ExactLaw, exact_moments

N = 100_000
_laws = {}


def law(h, z):
    if (h, z) not in _laws:
        _laws[(h, z)] = ExactLaw(h, z, points=800)
    return _laws[(h, z)]


@pytest.mark.parametrize("h,z", [(1.0, 0.0), (2.5, 1.0), (30.0, 2.0), (0.2, 0.5)])
def test_exact_law_has_unit_mass_and_the_closed_form_moments(h, z):
    L = law(h, z)
    assert abs(L.mass - 1.0) < 1e-9
    assert L.mean == pytest.approx(L.exact_mean, rel=1e-8)
    assert L.var == pytest.approx(L.exact_var, rel=1e-7)


def test_closed_form_moments_at_zero_tilt():
    mean, var = exact_moments(np.array([1.0, 3.0]), np.array([0.0, 0.0]))
    np.testing.assert_allclose(mean, [0.25, 0.75])
    np.testing.assert_allclose(var, [1 / 24, 3 / 24])
    # Continuous across the switch to the small-tilt series.
    m1, v1 = exact_moments(2.0, 0.999e-3)
    m2, v2 = exact_moments(2.0, 1.001e-3)
    assert m1 == pytest.approx(m2, rel=1e-6)
    assert v1 == pytest.approx(v2, rel=1e-6)


# Exact regimes: with a fixed seed the KS p-value is a fixed number; an
# exact sampler leaves it far above 1e-4.
@pytest.mark.parametrize(
    "h,z,seed",
    [
        (1.0, 0.0, 101),  # Devroye
        (1.0, 3.0, 102),  # Devroye, large tilt
        (3.0, 0.5, 103),  # sum of three
        (2.5, 1.0, 104),  # alternate
        (7.5, 2.0, 105),  # alternate in pieces
    ],
)
def test_exact_regime_matches_the_exact_law(h, z, seed):
    x = pg_draws(np.full(N, h), z, seed)
    result = stats.kstest(x, law(h, z).cdf)
    assert result.pvalue > 1e-4, (h, z, result)


# Approximate regimes: the distance to the exact law stays within what the
# full validation measured, with room for sampling noise at this n.
@pytest.mark.parametrize(
    "h,z,seed,bound",
    [
        (20.0, 1.0, 201, 0.008),  # saddle point
        (0.5, 1.0, 202, 0.008),  # gamma series
        (100.0, 1.0, 203, 0.02),  # normal approximation
    ],
)
def test_approximate_regime_is_close_to_the_exact_law(h, z, seed, bound):
    x = pg_draws(np.full(N, h), z, seed)
    assert stats.kstest(x, law(h, z).cdf).statistic < bound


def test_the_check_rejects_a_neighbouring_law():
    # The same test with the law of a nearby shape must fail: the check has
    # the power to see an error of this size.
    x = pg_draws(np.full(N, 1.0), 0.0, 101)
    assert stats.kstest(x, law(1.1, 0.0).cdf).pvalue < 1e-6
    y = pg_draws(np.full(N, 2.5), 1.0, 104)
    assert stats.kstest(y, law(2.5, 1.2).cdf).pvalue < 1e-6
