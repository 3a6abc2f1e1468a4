"""The flat custom call through the real runtime: its draws are the chunk
runner's for the whole range, with the seed rules and the chunking rules."""

import numpy as np
import pytest

from pg_support import CHUNK_SIZE, MASK64, as_s64, mixed_inputs


def test_draws_are_the_runners_with_clamp_and_nan(flat, reference):
    h, z = mixed_inputs(1000)
    h[10], z[10] = 0.0, 0.5  # draws exactly 0
    h[11], z[11] = 60.0, np.nan  # draws NaN
    out = flat(h, z, as_s64([12345]))
    np.testing.assert_array_equal(out, reference(h, z, 12345))
    assert out[10] == 1e-12
    assert np.isnan(out[11])
    assert np.nanmin(out) >= 1e-12


@pytest.mark.parametrize(
    "seed, same_as",
    [
        ([], [0]),  # an empty seed buffer means seed 0
        ([7, 99], [7]),  # further elements are ignored
        ([-1], [MASK64]),  # the 64 bits are taken unsigned
    ],
)
def test_seed_rules(flat, reference, seed, same_as):
    h, z = mixed_inputs(300)
    out = flat(h, z, np.array(seed, dtype=np.int64))
    np.testing.assert_array_equal(out, flat(h, z, as_s64(same_as)))
    np.testing.assert_array_equal(out, reference(h, z, same_as[0]))


def test_seed_changes_every_draw(flat):
    h, z = np.ones(200), np.ones(200)
    a, b = flat(h, z, as_s64([1])), flat(h, z, as_s64([2]))
    assert np.mean(a == b) < 0.01


def test_one_full_chunk_is_unmixed_and_one_more_element_mixes_both(flat, reference):
    h, z = mixed_inputs(CHUNK_SIZE + 1)
    seed = 0x5EED

    single = flat(h[:CHUNK_SIZE], z[:CHUNK_SIZE], as_s64([seed]))
    np.testing.assert_array_equal(
        single, reference(h[:CHUNK_SIZE], z[:CHUNK_SIZE], seed, mode="chunk")
    )

    two = flat(h, z, as_s64([seed]))
    np.testing.assert_array_equal(two, reference(h, z, seed))
    # The two chunks take their own mixed seeds, so the first 65536 draws
    # are not those of the single-chunk call ...
    differing = np.mean(two[:CHUNK_SIZE] != single)
    assert differing > 0.9
    # ... and the last is the first draw of the second chunk's generator.
    np.testing.assert_array_equal(
        two[CHUNK_SIZE:],
        reference(h[CHUNK_SIZE:], z[CHUNK_SIZE:], (2 * 0xD1B54A32D192ED03) ^ seed, mode="chunk"),
    )


def test_empty_input_succeeds(flat):
    assert flat(np.zeros(0), np.zeros(0), as_s64([3])).shape == (0,)
