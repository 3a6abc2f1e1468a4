"""Rules that need a fresh process: shard_map over several forced host
devices, and registration that happens once, lazily and thread-safely, only
after the arguments have been checked."""

import json
import os
import subprocess
import sys
import textwrap


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


SHARD_MAP = """
    import json
    import jax, jax.numpy as jnp, numpy as np
    from jax.sharding import PartitionSpec as P
    jax.config.update("jax_enable_x64", True)
    import vexol

    devices = jax.devices()
    mesh = jax.make_mesh((4,), ("x",))
    keys = jax.random.split(jax.random.key(7), 4)
    per = 5
    h = jnp.tile(jnp.array([0.5, 1.0, 3.0, 12.0, 70.0]), 4)
    z = jnp.linspace(-2.0, 2.0, 4 * per)

    def shard(k, h, z):
        # Each shard holds one key of the split and its own slice of h and z.
        return vexol.polya_gamma(k[0], h, z)

    f = jax.jit(jax.shard_map(shard, mesh=mesh, in_specs=(P("x"), P("x"), P("x")),
                              out_specs=P("x")))
    placed = [jax.device_put(a, jax.NamedSharding(mesh, P("x"))) for a in (keys, h, z)]
    out = f(*placed)
    expected = jnp.concatenate([
        vexol.polya_gamma(keys[i], h[i * per:(i + 1) * per], z[i * per:(i + 1) * per])
        for i in range(4)
    ])
    # Same slice of inputs with different keys, to show the shards differ.
    same = jax.jit(jax.shard_map(lambda k: vexol.polya_gamma(k[0], 1.0, 0.5, shape=(1, 3)),
                                 mesh=mesh, in_specs=P("x"), out_specs=P("x")))(placed[0])
    print(json.dumps({
        "devices": len(devices),
        "out_devices": len(out.sharding.device_set),
        "equal": bool(np.array_equal(np.asarray(out).view(np.uint64),
                                     np.asarray(expected).view(np.uint64))),
        "distinct_rows": len({tuple(r) for r in np.asarray(same).tolist()}),
    }))
"""


def test_shard_map_draws_each_shard_from_its_own_key():
    result = run_python(SHARD_MAP, XLA_FLAGS="--xla_force_host_platform_device_count=4")
    assert result == {"devices": 4, "out_devices": 4, "equal": True, "distinct_rows": 4}


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
    with jax.enable_x64(False):
        try:
            vexol.polya_gamma(key, 1.0, 0.0)
        except RuntimeError:
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
    assert names == ["vexol_pg_sample_batched_f64", "vexol_pg_sample_f64"]
    assert failures == []
    assert distinct == 1
