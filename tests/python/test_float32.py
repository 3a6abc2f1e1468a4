"""Draws in float32: JAX's default precision, with or without x64.

The contract: a float32 draw for (h, z, seed) is exactly the float64 draw
for (float64(h), float64(z), seed) rounded to the nearest float32, and a key
names the same seed in both precisions."""

import json
import os
import subprocess
import sys
import textwrap

import jax
import jax.numpy as jnp
import numpy as np
import pytest

import fresh_process
import vexol
from jax_releases import prunes_platform_branches
from vexol import _registration

INF, NAN = np.inf, np.nan


def mixed_f32(n):
    """Every regime (h from 0.1 to 300) and the awkward values, as float32."""
    shapes = [0.1, 0.5, 0.99, 1.0, 2.0, 3.0, 1.7, 3.5, 4.5, 6.0, 7.9, 8.0, 20.0, 49.9, 50.5]
    shapes += [120.0, 300.0, 0.0, -1.0, NAN, INF, -INF]
    tilts = [0.0, 0.3, -1.0, 2.5, -7.0, 15.0, 50.0, -0.01, NAN, INF, -INF]
    i = np.arange(n)
    h = np.array(shapes, np.float32)[i % len(shapes)]
    z = np.array(tilts, np.float32)[(i // len(shapes)) % len(tilts)]
    return h, z


def assert_rounded(f32, f64):
    """f32 == float32(f64) bit for bit, NaN for NaN."""
    f32 = np.asarray(f32)
    rounded = np.asarray(f64).astype(np.float32)
    assert f32.dtype == np.float32
    nan = np.isnan(rounded)
    np.testing.assert_array_equal(np.isnan(f32), nan)
    np.testing.assert_array_equal(f32[~nan].view(np.uint32), rounded[~nan].view(np.uint32))


def run_python(source, **env):
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        env={**os.environ, **env},
        timeout=240,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


class TestRoundedStream:
    @pytest.mark.parametrize("n", [5_000, 3 * 65536 + 11], ids=["one_chunk", "four_chunks"])
    def test_float32_is_the_float64_draw_rounded(self, n):
        h, z = mixed_f32(n)
        for seed in (0, 12345, (1 << 64) - 1):
            f32 = vexol.sample(h, z, seed, dtype=jnp.float32)
            f64 = vexol.sample(h.astype(np.float64), z.astype(np.float64), seed)
            assert_rounded(f32, f64)

    def test_a_key_names_the_same_seed_in_both_precisions(self):
        h, z = mixed_f32(300)
        key = jax.random.key(11)
        assert_rounded(
            vexol.polya_gamma(key, h, z, dtype=jnp.float32),
            vexol.polya_gamma(key, h.astype(np.float64), z.astype(np.float64)),
        )
        words = jax.random.bits(key, (2,), jnp.uint32)
        assert_rounded(vexol.sample(h, z, words, dtype=jnp.float32), vexol.sample(h, z, words))

    def test_vmapped_rows_are_the_rounded_float64_rows(self):
        h, z = mixed_f32(200)
        keys = jax.random.split(jax.random.key(2), 5)
        shared = jax.vmap(lambda k: vexol.polya_gamma(k, h, z, dtype=jnp.float32))(keys)
        shared64 = jax.vmap(lambda k: vexol.polya_gamma(k, h.astype(np.float64), z))(keys)
        assert_rounded(shared, shared64)
        hs = np.stack([h] * 5)
        rows = jax.vmap(lambda k, hh: vexol.polya_gamma(k, hh, z, dtype=jnp.float32))(keys, hs)
        assert_rounded(rows, shared64)

    def test_thread_counts_do_not_change_the_float32_draws(self):
        source = """
            import hashlib, json
            import numpy as np
            import jax, jax.numpy as jnp
            import vexol
            from test_float32 import mixed_f32
            h, z = mixed_f32(3 * 65536 + 5)
            flat = np.asarray(vexol.sample(h, z, 99, dtype=jnp.float32))
            keys = jax.random.split(jax.random.key(3), 4)
            rows = np.asarray(jax.vmap(lambda k: vexol.polya_gamma(k, h[:2000], z[:2000]))(keys))
            print(json.dumps([hashlib.sha256(a.tobytes()).hexdigest() for a in (flat, rows)]))
        """
        here = os.path.dirname(__file__)
        digests = {
            threads: run_python(source, VEXOL_NUM_THREADS=str(threads), PYTHONPATH=here)
            for threads in (1, 2, 3)
        }
        assert digests[1] == digests[2] == digests[3]


X64_OFF = """
    import json
    import numpy as np
    import jax, jax.numpy as jnp
    from jax.sharding import PartitionSpec as P
    import vexol
    assert not jax.config.jax_enable_x64
    key = jax.random.key(21)
    h = jnp.array([0.5, 1.0, 2.5, 3.0, 6.0, 20.0, 100.0, 1.0])
    z = jnp.linspace(-3.0, 3.0, 8)
    eager = vexol.polya_gamma(key, h, z)
    jitted = jax.jit(vexol.polya_gamma)(key, h, z)
    keys = jax.random.split(key, 4)
    per_key = jax.vmap(lambda k: vexol.polya_gamma(k, h, z))(keys)
    loop = np.stack([vexol.polya_gamma(k, h, z) for k in keys])
    over_h = jax.vmap(lambda hh: vexol.polya_gamma(key, hh, 0.5))(h)
    h_loop = np.stack([vexol.polya_gamma(key, hh, 0.5) for hh in h])
    mesh = jax.make_mesh((4,), ("x",))
    shard_keys = jax.random.split(key, 4)
    placed = [jax.device_put(a, jax.NamedSharding(mesh, P("x"))) for a in (shard_keys, h, z)]
    sharded = jax.jit(jax.shard_map(lambda k, hh, zz: vexol.polya_gamma(k[0], hh, zz), mesh=mesh,
                                    in_specs=(P("x"), P("x"), P("x")), out_specs=P("x")))(*placed)
    shard_loop = np.concatenate([vexol.polya_gamma(shard_keys[i], h[2 * i:2 * i + 2],
                                                   z[2 * i:2 * i + 2]) for i in range(4)])
    try:
        jax.grad(lambda hh: vexol.polya_gamma(key, hh, 0.5).sum())(h)
        grad_error = None
    except TypeError as e:
        grad_error = "not differentiable" in str(e)
    seed_words = vexol.seed_from_key(key)
    same = lambda a, b: bool(np.array_equal(np.asarray(a).view(np.uint32),
                                            np.asarray(b).view(np.uint32)))
    print(json.dumps({
        "dtype": str(eager.dtype),
        "h": np.asarray(h).tolist(),
        "z": np.asarray(z).tolist(),
        "draws": np.asarray(eager).tolist(),
        "per_key": np.asarray(per_key).tolist(),
        "jit": same(jitted, eager),
        "vmap_keys": same(per_key, loop),
        "vmap_h": same(over_h, h_loop),
        "shard_map": same(sharded, shard_loop),
        "grad_error": grad_error,
        "seed_dtype": str(seed_words.dtype),
        "sample_words": same(vexol.sample(h, z, seed_words), eager),
        "sample_int": same(vexol.sample(h, z, 7), vexol.sample(h, z, jnp.uint32(7))),
        "half": str(vexol.polya_gamma(key, h.astype(jnp.bfloat16), z.astype(jnp.float16)).dtype),
    }))
"""


# A process of its own, shared with test_vexol_process.py's float32 density
# under shard_map (fresh_process); registered first, before any program of
# that process has touched JAX's settings.
fresh_process.register(
    fresh_process.X64_OFF_4_DEVICES,
    "a program that never enables x64",
    X64_OFF,
    test="test_a_program_that_never_enables_x64",
)


def test_a_program_that_never_enables_x64():
    result = fresh_process.result(
        fresh_process.X64_OFF_4_DEVICES, "a program that never enables x64"
    )
    assert result["dtype"] == "float32" and result["seed_dtype"] == "uint32"
    for rule in ("jit", "vmap_keys", "vmap_h", "shard_map", "sample_words", "sample_int"):
        assert result[rule] is True, rule
    assert result["grad_error"] is True
    assert result["half"] == "float32"
    # The same key and float32 inputs in this (x64) process: the float64
    # draws, rounded.
    key = jax.random.key(21)
    h = np.array(result["h"], np.float32).astype(np.float64)
    z = np.array(result["z"], np.float32).astype(np.float64)
    assert_rounded(np.array(result["draws"], np.float32), vexol.polya_gamma(key, h, z))
    keys = jax.random.split(key, 4)
    assert_rounded(
        np.array(result["per_key"], np.float32),
        jax.vmap(lambda k: vexol.polya_gamma(k, h, z))(keys),
    )


class TestDtypeArgument:
    def test_default_follows_x64_and_explicit_dtypes_win(self):
        assert vexol.polya_gamma(jax.random.key(0), 1.0, 0.5).dtype == jnp.float64
        assert vexol.sample(1.0, 0.5, 3, dtype=np.float32).dtype == jnp.float32
        # Half precisions widen to the output precision.
        h = jnp.ones(4, jnp.float16)
        assert vexol.sample(h, jnp.zeros(4, jnp.bfloat16), 1).dtype == jnp.float64
        assert vexol.sample(h, 0.0, 1, dtype="float32").dtype == jnp.float32

    @pytest.mark.parametrize("dtype", [jnp.float16, jnp.bfloat16, jnp.int32, "complex64"])
    def test_other_output_dtypes_are_refused(self, dtype):
        with pytest.raises(ValueError, match="float32 or float64"):
            vexol.sample(1.0, 0.5, 3, dtype=dtype)

    @pytest.mark.parametrize(
        "bad", [jnp.ones(3, jnp.int32), jnp.ones(3, bool), jnp.ones(3, jnp.complex64)]
    )
    def test_non_float_inputs_raise_in_float32_too(self, bad):
        with pytest.raises(TypeError, match="floating"):
            vexol.sample(bad, 0.5, 3, dtype=jnp.float32)

    def test_seed_words_must_be_uint32_pairs(self):
        with pytest.raises(ValueError, match="uint32"):
            vexol.sample(1.0, 0.5, jnp.array([1, 2], jnp.int32))
        with pytest.raises(ValueError, match="uint32"):
            vexol.sample(1.0, 0.5, jnp.array([1, 2, 3], jnp.uint32))


class TestSharedInputsUnderVmap:
    @pytest.mark.parametrize("implementation", [None, "native"])
    def test_no_copy_of_shared_inputs_per_key(self, implementation):
        if not prunes_platform_branches():
            # XLA folds the platform choice when it compiles; the text
            # still holds the other branch, broadcast under vmap.
            pytest.skip("this JAX keeps every platform's branch in the lowered CPU program")
        rows, n = 64, 1000
        h = jnp.linspace(0.5, 60.0, n)
        z = jnp.linspace(-3.0, 3.0, n)
        keys = jax.random.split(jax.random.key(0), rows)
        f = jax.vmap(lambda k: vexol.polya_gamma(k, h, z, implementation=implementation))
        text = jax.jit(f).lower(keys).as_text()
        assert _registration.SHARED_TARGET in text
        # The draws are (64, 1000); no input is broadcast to that shape.
        copies = [line for line in text.splitlines() if f"-> tensor<{rows}x{n}x" in line]
        assert len(copies) == 1 and "custom_call" in copies[0], copies
        out = f(keys)
        for i in (0, 17, 63):
            np.testing.assert_array_equal(
                np.asarray(out[i]).view(np.uint64),
                np.asarray(vexol.polya_gamma(keys[i], h, z)).view(np.uint64),
            )

    def test_nested_vmaps_over_keys_stay_one_shared_call(self):
        h = jnp.array([0.5, 1.0, 7.0, 30.0])
        keys = jax.random.split(jax.random.key(4), 6).reshape(2, 3)
        f = jax.vmap(jax.vmap(lambda k: vexol.polya_gamma(k, h, 1.5)))
        out = f(keys)
        assert out.shape == (2, 3, 4)
        for i in range(2):
            for j in range(3):
                np.testing.assert_array_equal(out[i, j], vexol.polya_gamma(keys[i, j], h, 1.5))
        assert jax.jit(f).lower(keys).as_text().count(_registration.SHARED_TARGET) == 1

    def test_outer_vmap_over_h_of_an_inner_vmap_over_keys(self):
        keys = jax.random.split(jax.random.key(5), 3)
        hs = jnp.array([[0.5, 1.0], [2.5, 60.0]])

        def inner(hh):
            return jax.vmap(lambda k: vexol.polya_gamma(k, hh, 0.7))(keys)

        out = jax.vmap(inner)(hs)
        assert out.shape == (2, 3, 2)
        for i in range(2):
            for j in range(3):
                np.testing.assert_array_equal(out[i, j], vexol.polya_gamma(keys[j], hs[i], 0.7))
