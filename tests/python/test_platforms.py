"""Which implementation draws on which platform.

No accelerator is attached where these tests run, so the choice is checked
where it is made: in the program lowered (and exported) for each platform.
The custom calls must appear exactly where the CPU runs them, and the
pure-JAX sampler everywhere else.
"""

import json
import os
import subprocess
import sys
import textwrap

import jax
import jax.numpy as jnp
import numpy as np
import pytest

import vexol
from jax_releases import prunes_platform_branches

try:
    from jax import export as jax_export
except ImportError:  # older releases import absl-py for it, not installed everywhere
    jax_export = None

HERE = os.path.dirname(os.path.abspath(__file__))
TARGETS = vexol.CUSTOM_CALL_TARGETS
ACCELERATORS = [("cuda",), ("rocm",), ("tpu",)]


def _draw(implementation=None, method=None):
    def f(key, h, z):
        return vexol.polya_gamma(key, h, z, implementation=implementation, method=method)

    return f


def _args():
    return jax.random.key(3), jnp.array([0.5, 1.0, 3.0, 20.0, 80.0]), jnp.linspace(-2.0, 2.0, 5)


def _lowered(f, platforms):
    return jax.jit(f).trace(*_args()).lower(lowering_platforms=platforms).as_text()


def _custom_calls(text):
    return sum(text.count(t) for t in TARGETS)


def _has_jax_path(text):
    # The pure-JAX sampler's rejection loops. The custom-call branch has
    # loops only where the key's bits are drawn (threefry on the CPU), so
    # count beyond those of the custom-call program alone.
    native = _lowered(lambda k, h, z: vexol.sample(h, z, vexol.seed_from_key(k)), ("cpu",))
    return text.count("stablehlo.while") > native.count("stablehlo.while")


PRUNES = prunes_platform_branches()
pruned_only = pytest.mark.skipif(
    not PRUNES,
    reason="this JAX lowers every branch of lax.platform_dependent; XLA drops the other "
    "platforms' branches when it compiles",
)


class TestLowering:
    @pytest.mark.parametrize("platforms", ACCELERATORS)
    def test_accelerators_get_the_jax_path(self, platforms):
        assert _has_jax_path(_lowered(_draw(), platforms))

    @pruned_only
    @pytest.mark.parametrize("platforms", ACCELERATORS)
    def test_accelerators_get_no_custom_call(self, platforms):
        assert _custom_calls(_lowered(_draw(), platforms)) == 0

    @pruned_only
    def test_cpu_gets_the_custom_call_only(self):
        text = _lowered(_draw(), ("cpu",))
        assert _custom_calls(text) == 1
        assert not _has_jax_path(text)

    def test_cpu_and_cuda_carry_both_branches(self):
        text = _lowered(_draw(), ("cpu", "cuda"))
        assert _custom_calls(text) == 1
        assert _has_jax_path(text)

    @pytest.mark.parametrize("platforms", [("cpu",), *ACCELERATORS, ("cpu", "cuda")])
    def test_jax_implementation_has_no_custom_call_anywhere(self, platforms):
        text = _lowered(_draw("jax"), platforms)
        assert _custom_calls(text) == 0
        assert _has_jax_path(text)

    @pruned_only
    @pytest.mark.parametrize("method", ["saddle", "exact"])
    def test_methods_choose_per_platform_too(self, method):
        assert _custom_calls(_lowered(_draw(method=method), ("cuda",))) == 0
        assert _custom_calls(_lowered(_draw(method=method), ("cpu",))) == 1

    def test_native_on_an_accelerator_names_the_platform(self):
        with pytest.raises(NotImplementedError, match="'tpu'"):
            _lowered(_draw("native"), ("tpu",))
        # On the CPU it is the custom call, with nothing else beside it.
        text = _lowered(_draw("native"), ("cpu",))
        assert _custom_calls(text) == 1 and not _has_jax_path(text)

    @pruned_only
    def test_native_under_vmap_is_one_batched_call(self):
        key, h, z = _args()
        keys = jax.random.split(key, 3)
        f = jax.vmap(lambda k: _draw("native")(k, h, z))
        out = jax.jit(f)(keys)
        for i in range(3):
            np.testing.assert_array_equal(out[i], _draw("native")(keys[i], h, z))

    def test_numpyro_distribution_lowers_for_an_accelerator(self):
        numpyro_pg = pytest.importorskip("vexol.numpyro")
        d = numpyro_pg.PolyaGamma(jnp.array([1.0, 3.0]), jnp.array([0.0, 2.0]))
        text = (
            jax.jit(lambda k: d.sample(k, (4,)))
            .trace(jax.random.key(0))
            .lower(lowering_platforms=("cuda",))
            .as_text()
        )
        assert _custom_calls(text) == 0 and _has_jax_path(text)


@pytest.mark.skipif(jax_export is None, reason="jax.export cannot be imported here (absl-py)")
class TestExport:
    @pruned_only
    def test_accelerator_export_needs_no_disabled_check(self):
        exported = jax_export.export(jax.jit(_draw()), platforms=["cuda", "tpu"])(*_args())
        assert _custom_calls(exported.mlir_module()) == 0

    def test_cpu_export_runs_the_same_draws_after_serialization(self):
        pytest.importorskip("flatbuffers", reason="jax.export serialization needs flatbuffers")
        checks = [jax_export.DisabledSafetyCheck.custom_call(t) for t in TARGETS]
        exported = jax_export.export(
            jax.jit(_draw()), platforms=["cpu", "cuda"], disabled_checks=checks
        )(*_args())
        restored = jax_export.deserialize(exported.serialize())
        np.testing.assert_array_equal(restored.call(*_args()), jax.jit(_draw())(*_args()))

    def test_cpu_export_without_the_disabled_check_is_refused(self):
        # JAX's own guard against custom calls it cannot vouch for; the
        # README tells users which check to disable.
        with pytest.raises(ValueError):
            jax_export.export(jax.jit(_draw()), platforms=["cpu"])(*_args())


class TestChoice:
    def test_auto_on_the_cpu_is_the_custom_call_stream(self):
        key, h, z = _args()
        auto = jax.jit(_draw())(key, h, z)
        native = jax.jit(_draw("native"))(key, h, z)
        np.testing.assert_array_equal(auto, native)
        np.testing.assert_array_equal(auto, vexol.sample(h, z, vexol.seed_from_key(key)))

    def test_jax_implementation_is_another_stream_of_the_same_key(self):
        key, h, z = _args()
        drawn = jax.jit(_draw("jax"))(key, h, z)
        assert drawn.shape == h.shape and drawn.dtype == h.dtype
        assert np.all(np.asarray(drawn) >= 1e-12)
        assert not np.array_equal(drawn, jax.jit(_draw())(key, h, z))
        np.testing.assert_array_equal(drawn, jax.jit(_draw("jax"))(key, h, z))

    @pytest.mark.parametrize("implementation", ["jax", "native"])
    def test_not_differentiable_on_either_path(self, implementation):
        key, h, z = _args()
        with pytest.raises(TypeError, match="not differentiable"):
            jax.grad(lambda z: _draw(implementation)(key, h, z).sum())(z)

    @pytest.mark.parametrize(
        "kwargs",
        [{"implementation": "gpu"}, {"implementation": "auto"}, {"method": "normal"}],
    )
    def test_unknown_names_are_refused(self, kwargs):
        with pytest.raises(ValueError):
            vexol.polya_gamma(jax.random.key(0), 1.0, 0.0, **kwargs)

    def test_unknown_method_is_refused_by_sample(self):
        with pytest.raises(ValueError, match="method"):
            vexol.sample(1.0, 0.0, 1, method="Exact")


SEEDS_WITHOUT_X64 = """
    import json
    import jax, numpy as np
    import vexol
    assert not jax.config.jax_enable_x64

    def bits(seed):
        return np.asarray(vexol.sample(np.ones(4, np.float32), 0.5, seed)).view(np.uint32).tolist()

    cases = {
        "int64": (np.int64(2**40), 2**40),
        "uint64": (np.uint64(2**63 + 5), 2**63 + 5),
        "int64_negative": (np.int64(-3), -3),
        "0d_array": (np.array(2**33 + 1, dtype=np.uint64), 2**33 + 1),
    }
    print(json.dumps({name: bits(a) == bits(b) and bits(a) != bits(b & 0xFFFFFFFF)
                      for name, (a, b) in cases.items()}))
"""


def test_numpy_seeds_of_any_width_name_their_value_without_x64():
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(SEEDS_WITHOUT_X64)],
        capture_output=True,
        text=True,
        env={**os.environ, "JAX_ENABLE_X64": "0"},
        timeout=240,
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.strip().splitlines()[-1]) == {
        "int64": True,
        "uint64": True,
        "int64_negative": True,
        "0d_array": True,
    }
