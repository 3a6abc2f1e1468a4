"""Rules that need a fresh process: shard_map over several forced host
devices (sharing one process per setting with fresh_process), registration that happens once, lazily and thread-safely, only
after the arguments have been checked, and registration refused with a
vexol error, before anything is registered, where the installed JAX cannot
run the handlers."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import fresh_process

HERE = os.path.dirname(os.path.abspath(__file__))


def run_python(source, *argv, **env):
    # The test folder on the path, for pg_support's helpers across JAX releases.
    path = os.pathsep.join(p for p in (HERE, os.environ.get("PYTHONPATH")) if p)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source), *argv],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": path, **env},
        timeout=240,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


SHARD_MAP = """
    import json, sys
    import jax, jax.numpy as jnp, numpy as np
    from jax.sharding import NamedSharding, PartitionSpec as P
    jax.config.update("jax_enable_x64", True)
    import vexol
    from jax_releases import shard_map
    shard_map = shard_map()
    implementation = sys.argv[1] if len(sys.argv) > 1 else None

    def polya_gamma(*args, **kwargs):
        return vexol.polya_gamma(*args, implementation=implementation, **kwargs)

    devices = jax.devices()
    mesh = jax.make_mesh((4,), ("x",))
    keys = jax.random.split(jax.random.key(7), 4)
    per = 5
    h = jnp.tile(jnp.array([0.5, 1.0, 3.0, 12.0, 70.0]), 4)
    z = jnp.linspace(-2.0, 2.0, 4 * per)

    def shard(k, h, z):
        # Each shard holds one key of the split and its own slice of h and z.
        return polya_gamma(k[0], h, z)

    f = jax.jit(shard_map(shard, mesh=mesh, in_specs=(P("x"), P("x"), P("x")),
                          out_specs=P("x")))
    placed = [jax.device_put(a, NamedSharding(mesh, P("x"))) for a in (keys, h, z)]
    out = f(*placed)
    expected = jnp.concatenate([
        polya_gamma(keys[i], h[i * per:(i + 1) * per], z[i * per:(i + 1) * per])
        for i in range(4)
    ])
    # Same inputs in every lane with different keys, to show the shards
    # differ; h = 20 takes the set-up shared by equal lanes (a check on the
    # values). The programs above draw it: no compiling of their own.
    ones = jnp.ones_like(h)
    same = f(placed[0], *(jax.device_put(a, NamedSharding(mesh, P("x")))
                          for a in (20.0 * ones, 0.5 * ones)))
    same_expected = np.concatenate([polya_gamma(k, 20.0 * ones[:per], 0.5 * ones[:per])
                                    for k in keys])
    print(json.dumps({
        "devices": len(devices),
        "out_devices": len(out.sharding.device_set),
        "equal": bool(np.array_equal(np.asarray(out).view(np.uint64),
                                     np.asarray(expected).view(np.uint64))),
        "same_equal": bool(np.array_equal(np.asarray(same).view(np.uint64),
                                          same_expected.view(np.uint64))),
        "distinct_rows": len({tuple(r) for r in np.asarray(same).reshape(4, per).tolist()}),
    }))
"""


# One process for the x64 programs over 4 host devices (fresh_process).
for _implementation in (None, "jax"):
    fresh_process.register(
        fresh_process.X64_ON_4_DEVICES,
        f"shard_map draws, implementation={_implementation}",
        SHARD_MAP,
        *([_implementation] if _implementation else []),
        test=f"test_shard_map_draws_each_shard_from_its_own_key[{_implementation}]",
    )


@pytest.mark.parametrize("implementation", [None, "jax"])
def test_shard_map_draws_each_shard_from_its_own_key(implementation):
    # The default traces the JAX path too (it is the branch for other
    # platforms), so both spellings need its loops typed for shard_map.
    result = fresh_process.result(
        fresh_process.X64_ON_4_DEVICES, f"shard_map draws, implementation={implementation}"
    )
    assert result == {
        "devices": 4,
        "out_devices": 4,
        "equal": True,
        "same_equal": True,
        "distinct_rows": 4,
    }


SHARD_MAP_DENSITY = """
    import json, sys
    import jax, jax.numpy as jnp, numpy as np
    from jax.sharding import NamedSharding, PartitionSpec as P
    jax.config.update("jax_enable_x64", sys.argv[1] == "float64")
    import vexol
    from jax_releases import shard_map
    shard_map = shard_map()

    mesh = jax.make_mesh((4,), ("x",))
    # Each shard holds every region: the small-x series, the large-x
    # series, the contour (h >= 24) and its far tails.
    h = jnp.tile(jnp.array([0.3, 1.0, 3.0, 20.0, 30.0, 300.0]), 8)
    z = jnp.linspace(-3.0, 3.0, 48)
    x = jnp.tile(jnp.array([0.01, 0.2, 1.0, 5.0, 40.0, 200.0, 0.5, 2.0]), 6)
    keys = jax.random.split(jax.random.key(3), 4)
    names = ("pdf", "logpdf", "cdf", "logcdf", "sf", "logsf")

    def law(x, h, z):
        out = [getattr(vexol, name)(x, h, z) for name in names]
        out += [vexol.mean(h, z), vexol.variance(h, z)]
        # Reverse-mode gradients, as NUTS takes them.
        for name in ("logpdf", "logcdf", "logsf"):
            fn = getattr(vexol, name)
            out += list(jax.grad(lambda a, b: fn(x, a, b).sum(), argnums=(0, 1))(h, z))
        return jnp.stack(out)

    def draws(k, z):
        # The default path on the CPU runs the custom call but traces the
        # JAX path for other platforms, with the methods' own loops.
        return jnp.stack([vexol.polya_gamma(k[0], h0, z, method=m)
                          for h0, m in ((0.3, "exact"), (30.0, "exact"), (300.0, "saddle"))])

    place = lambda a: jax.device_put(a, NamedSharding(mesh, P("x")))
    sharded = np.asarray(jax.jit(shard_map(law, mesh=mesh, in_specs=(P("x"),) * 3,
                                           out_specs=P(None, "x")))(*map(place, (x, h, z))))
    # The reference, unsharded and without compiling the law a second time:
    # each function called alone (the four of the distribution function
    # share one program), the gradients by central differences of those
    # calls (measured: within 3e-7 in float64; in float32, within about a
    # quarter of the tolerance below, which catches a shard's gradient gone
    # wrong, not an ulp).
    step = 1e-6 if sys.argv[1] == "float64" else 1e-2

    def central(fn, i):
        e = step * jnp.maximum(jnp.abs((h, z)[i]), 1.0)
        shifted = lambda s: fn(x, *(a + s * e if j == i else a for j, a in enumerate((h, z))))
        return (shifted(1) - shifted(-1)) / (2 * e)

    values = np.stack([getattr(vexol, name)(x, h, z) for name in names]
                      + [vexol.mean(h, z), vexol.variance(h, z)])
    slopes = np.stack([central(getattr(vexol, name), i)
                       for name in ("logpdf", "logcdf", "logsf") for i in (0, 1)])
    drawn = jax.jit(shard_map(draws, mesh=mesh, in_specs=(P("x"), P("x")),
                              out_specs=P(None, "x")))(place(keys), place(z))
    per_shard = np.concatenate([draws(keys[i:i + 1], z[12 * i:12 * (i + 1)])
                                for i in range(4)], axis=1)
    print(json.dumps({
        "no_nan": not bool(np.isnan(sharded).any()),
        "law_close": bool(np.allclose(sharded[:len(values)], values, rtol=1e-5, atol=0)),
        "slopes_close": bool(np.allclose(sharded[len(values):], slopes,
                                         rtol=1e-4 if sys.argv[1] == "float64" else 5e-2,
                                         atol=1e-8 if sys.argv[1] == "float64" else 2e-3)),
        "draws_equal": bool(np.array_equal(np.asarray(drawn), per_shard)),
    }))
"""


# float64 with the x64 programs above; float32 with x64 off, beside
# test_float32.py's program that never enables x64.
for _dtype, _fold in (
    ("float32", fresh_process.X64_OFF_4_DEVICES),
    ("float64", fresh_process.X64_ON_4_DEVICES),
):
    fresh_process.register(
        _fold,
        f"density under shard_map, {_dtype}",
        SHARD_MAP_DENSITY,
        _dtype,
        test=f"test_density_and_methods_under_shard_map[{_dtype}]",
    )


@pytest.mark.parametrize(
    "dtype,fold",
    [
        ("float32", fresh_process.X64_OFF_4_DEVICES),
        ("float64", fresh_process.X64_ON_4_DEVICES),
    ],
    ids=["float32", "float64"],
)
def test_density_and_methods_under_shard_map(dtype, fold):
    # Their conditionals and loops skip or start from constants; under
    # shard_map both branches and the loops' carries must keep one type.
    result = fresh_process.result(fold, f"density under shard_map, {dtype}")
    assert result == {
        "no_nan": True,
        "law_close": True,
        "slopes_close": True,
        "draws_equal": True,
    }


REGISTRATION = """
    import json, sys, threading, time
    import jax, jax.numpy as jnp
    jax.config.update("jax_enable_x64", True)

    calls = []
    real = jax.ffi.register_ffi_target
    def counting(name, *args, **kwargs):
        calls.append(name)
        time.sleep(0.2)  # widen the window in which a second thread could enter
        return real(name, *args, **kwargs)
    jax.ffi.register_ffi_target = counting

    import vexol
    from vexol import _registration
    report = {"after_import": [_registration.is_registered(), "vexol_cpp" in sys.modules]}

    key = jax.random.key(0)
    bad = [
        lambda: vexol.polya_gamma(0, 1.0, 0.0),
        lambda: vexol.polya_gamma(key, jnp.ones(2), jnp.ones(3)),
        lambda: vexol.polya_gamma(key, jnp.ones(2, jnp.int32), 0.0),
        lambda: vexol.sample(1.0, 0.0, 0.5),
    ]
    for call in bad:
        try:
            call()
        except (TypeError, ValueError):
            pass
    from jax_releases import x64_disabled
    with x64_disabled():
        try:
            vexol.polya_gamma(key, 1.0, 0.0, dtype=jnp.float64)
        except (RuntimeError, TypeError):
            pass
    report["after_errors"] = [_registration.is_registered(), list(calls)]

    results, failures = [None] * 8, []
    def worker(i):
        try:
            results[i] = float(vexol.sample(1.0, 0.5, 3))
        except Exception as exc:  # reported to the parent test
            failures.append(repr(exc))
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    report["threads"] = [sorted(calls), failures, len(set(results))]
    print(json.dumps(report))
"""


def test_registration_is_lazy_once_and_after_argument_checks():
    report = run_python(REGISTRATION)
    # Importing vexol neither registers nor loads the extension.
    assert report["after_import"] == [False, False]
    # Bad arguments fail before anything is registered.
    assert report["after_errors"] == [False, []]
    # Eight threads racing to the first draw register each target once,
    # all succeed and all see the same draw.
    names, failures, distinct = report["threads"]
    assert names == sorted(
        f"vexol_pg_sample{method}{kind}_{dtype}"
        for method in ("", "_method")
        for kind in ("", "_batched", "_shared")
        for dtype in ("f32", "f64")
    )
    assert failures == []
    assert distinct == 1


INCOMPATIBLE = """
    import json, pathlib, sys, tempfile
    import jax, jax.numpy as jnp
    jax.config.update("jax_enable_x64", True)

    calls = []
    real = jax.ffi.register_ffi_target
    jax.ffi.register_ffi_target = lambda name, *a, **k: (calls.append(name), real(name, *a, **k))
    import vexol
    from vexol import _registration
    from vexol._compat import IncompatibleJaxError, runtime_api_version

    def attempt():
        try:
            vexol.sample(1.0, 0.5, 3)
        except IncompatibleJaxError as error:
            return str(error)
        return None

    report = {"runtime": list(runtime_api_version(jax))}
    # A runtime whose headers carry an older FFI API than the handlers': the
    # installed jaxlib's own c_api.h with its minor version set below ours.
    import vexol_cpp
    built = vexol_cpp.ffi_api_version()
    real_dir = pathlib.Path(jax.ffi.include_dir())
    fake = pathlib.Path(tempfile.mkdtemp()) / "xla" / "ffi" / "api"
    fake.mkdir(parents=True)
    header = (real_dir / "xla" / "ffi" / "api" / "c_api.h").read_text()
    lines = [
        f"#define XLA_FFI_API_MINOR {built[1] - 1}" if l.startswith("#define XLA_FFI_API_MINOR ")
        else l for l in header.splitlines()
    ]
    (fake / "c_api.h").write_text("\\n".join(lines) + "\\n")
    real_include_dir = jax.ffi.include_dir
    jax.ffi.include_dir = lambda: str(fake.parents[2])
    report["older_api"] = [attempt(), attempt(), list(calls), _registration.is_registered()]
    report["built"] = list(built)

    # A jax older than the supported range.
    jax.ffi.include_dir = real_include_dir
    real_version, jax.__version__ = jax.__version__, "0.4.38"
    report["older_jax"] = [attempt(), list(calls)]
    jax.__version__ = real_version

    # The installed JAX itself: registration goes ahead.
    report["installed"] = [attempt(), sorted(set(calls)) == sorted(calls), len(calls)]
    print(json.dumps(report))
"""


# The FFI API version in the c_api.h of each jaxlib release line, measured.
FFI_API_OF_RELEASE = {
    (0, 5): (0, 1),
    (0, 6): (0, 1),
    (0, 7): (0, 1),
    (0, 8): (0, 2),
    (0, 9): (0, 3),
    (0, 10): (0, 3),
    (0, 11): (0, 4),
    (0, 12): (0, 5),
}


def test_registration_refuses_a_jax_that_cannot_run_the_handlers():
    from jax_releases import JAXLIB_RELEASE

    report = run_python(INCOMPATIBLE)
    # The installed jaxlib's header is read as the version it is known to carry.
    if JAXLIB_RELEASE[:2] in FFI_API_OF_RELEASE:
        assert tuple(report["runtime"]) == FFI_API_OF_RELEASE[JAXLIB_RELEASE[:2]]
    built = ".".join(map(str, report["built"]))
    older = f"{report['built'][0]}.{report['built'][1] - 1}"

    # An older runtime API: a vexol error naming both versions and the fix,
    # the same on a second attempt, and nothing registered meanwhile.
    first, second, calls, registered = report["older_api"]
    assert first is not None and first == second
    assert f"built for XLA FFI API {built}" in first
    assert f"provides FFI API {older}" in first
    assert 'pip install --upgrade "jax>=' in first
    assert calls == [] and registered is False

    # Too old a jax: refused by name, still nothing registered.
    message, calls = report["older_jax"]
    assert message is not None and "found jax 0.4.38" in message and calls == []

    # The real runtime: no error, and every target registered exactly once.
    error, once, count = report["installed"]
    assert error is None and once and count == 12


def test_the_declared_jax_floor_is_the_one_checked_and_tested():
    import pathlib
    import tomllib

    from vexol._compat import MINIMUM_JAX

    root = pathlib.Path(__file__).resolve().parents[2]
    floor = ".".join(map(str, MINIMUM_JAX))
    declared = tomllib.loads((root / "pyproject.toml").read_text())["project"]["dependencies"]
    assert sorted(declared) == [f"jax>={floor}", f"jaxlib>={floor}"]
    pins = (root / "requirements-oldest-jax.txt").read_text().split()
    assert f"jax=={floor}" in pins and f"jaxlib=={floor}" in pins
