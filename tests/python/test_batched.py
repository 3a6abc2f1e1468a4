"""The batched custom call through the real runtime: rows sampled one after
another, each with its own row seed."""

import numpy as np
import pytest

from pg_support import MASK64, ROW_SEED_MULTIPLIER, as_s64, mixed_inputs


def row_seed(r, seed):
    return ((r + 1) * ROW_SEED_MULTIPLIER & MASK64) ^ (seed & MASK64)


def test_one_seed_per_row_when_there_are_as_many_seeds_as_rows(batched, flat, reference):
    h, z = (a.reshape(3, 5) for a in mixed_inputs(15))
    seeds = [7, 8, 9]
    out = batched(h, z, as_s64(seeds))
    assert out.shape == (3, 5)
    for r in range(3):
        expected = reference(h[r], z[r], row_seed(r, seeds[r]))
        np.testing.assert_array_equal(out[r], expected)
        # The same row through the flat call with the row seed.
        np.testing.assert_array_equal(out[r], flat(h[r], z[r], as_s64([row_seed(r, seeds[r])])))


@pytest.mark.parametrize("seeds", [[7], [7, 8], [7, 8, 9, 10]])
def test_otherwise_every_row_takes_seed_element_zero(batched, reference, seeds):
    h, z = (a.reshape(3, 5) for a in mixed_inputs(15))
    out = batched(h, z, as_s64(seeds))
    for r in range(3):
        np.testing.assert_array_equal(out[r], reference(h[r], z[r], row_seed(r, 7)))


def test_single_row_equals_flat_with_the_first_row_seed(batched, flat):
    h, z = mixed_inputs(40)
    out = batched(h.reshape(1, 40), z.reshape(1, 40), as_s64([-5]))
    expected = flat(h, z, as_s64([ROW_SEED_MULTIPLIER ^ (-5 & MASK64)]))
    np.testing.assert_array_equal(out[0], expected)


def test_rows_are_everything_after_the_first_dimension(batched, reference):
    # Rank 3: rows of 3 x 4 = 12 elements; z may have any shape of that size.
    h, z = mixed_inputs(24)
    out = batched(h.reshape(2, 3, 4), z.reshape(24), as_s64([11, 12]))
    assert out.shape == (2, 3, 4)
    for r in range(2):
        np.testing.assert_array_equal(
            out[r].ravel(),
            reference(h[12 * r : 12 * (r + 1)], z[12 * r : 12 * (r + 1)], row_seed(r, 11 + r)),
        )


def test_long_rows_are_chunked_within_each_row(batched, reference):
    n = 65536 + 100
    h, z = mixed_inputs(2 * n)
    out = batched(h.reshape(2, n), z.reshape(2, n), as_s64([4]))
    for r in range(2):
        np.testing.assert_array_equal(
            out[r], reference(h[r * n : (r + 1) * n], z[r * n : (r + 1) * n], row_seed(r, 4))
        )


def test_no_rows_succeeds(batched):
    out = batched(np.zeros((0, 5)), np.zeros((0, 5)), as_s64([1]))
    assert out.shape == (0, 5)
