"""The output never depends on the number of threads. The count is read
once per process, so every setting gets a process of its own."""

import hashlib
import os
import subprocess
import sys

CHILD = r"""
import hashlib, sys
import numpy as np
from pg_support import CHUNK_SIZE, as_s64, flat_call, mixed_inputs
h, z = mixed_inputs(4 * CHUNK_SIZE + 321)
out = np.asarray(flat_call(h, z, as_s64([0xC0FFEE])))
sys.stdout.write(hashlib.sha256(out.tobytes()).hexdigest())
# method="exact" too: the inversion, the pieces and the corrected saddle
# point, over two and a half chunks.
import jax.numpy as jnp
from vexol import _calls, _registration
_registration.ensure_registered()
he = np.tile([0.5, 12.0, 20.0, 1000.0, 1e6], CHUNK_SIZE // 2)
words = jnp.array([0, 0xC0FFEE], jnp.uint32)
ex = _calls.flat_call(jnp.asarray(he), jnp.asarray(np.resize(z, he.size)), words,
                      _calls.METHOD_CODES["exact"])
sys.stdout.write(" " + hashlib.sha256(np.asarray(ex).tobytes()).hexdigest())
"""


def run_child(setting):
    env = dict(os.environ)
    env.pop("VEXOL_NUM_THREADS", None)
    if setting is not None:
        env["VEXOL_NUM_THREADS"] = setting
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(__file__)] + [p for p in [env.get("PYTHONPATH")] if p]
    )
    done = subprocess.run(
        [sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_bit_identical_for_every_thread_count(reference):
    from pg_support import CHUNK_SIZE, mixed_inputs

    h, z = mixed_inputs(4 * CHUNK_SIZE + 321)
    expected = hashlib.sha256(reference(h, z, 0xC0FFEE).tobytes()).hexdigest()
    digests = {setting: run_child(setting).split() for setting in ["1", "2", "3", "64", None]}
    assert {setting: d[0] for setting, d in digests.items()} == dict.fromkeys(digests, expected)
    assert len({d[1] for d in digests.values()}) == 1, digests
