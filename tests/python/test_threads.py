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
    digests = {setting: run_child(setting) for setting in ["1", "2", "3", "64", None]}
    assert digests == {setting: expected for setting in digests}
