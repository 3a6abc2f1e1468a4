"""Fixtures of the Python tests: jitted callers of the two custom calls and
the C++ reference tool that prints the chunk runner's draws; and the tests
that need a newer JAX than the oldest the package supports, skipped there
with the reason."""

import os
import pathlib
import subprocess

import numpy as np
import pytest

from jax_releases import JAXLIB_RELEASE
from pg_support import MASK64, batched_call, flat_call

# Tests of code that uses JAX features newer than the package's floor
# (vexol._compat.MINIMUM_JAX): node id prefix -> (oldest jaxlib, why). The
# package itself runs on the floor; these programs do not.
NEEDS_NEWER_JAX = {
    "test_distributed.py": (
        (0, 7),
        "examples/distributed_gibbs.py uses jax.shard_map and "
        "jax.distributed.initialize(heartbeat_timeout_seconds=...), both from jax 0.7",
    ),
    "test_float32.py::test_a_program_that_never_enables_x64": (
        (0, 6),
        "its program spells jax.shard_map, which jax 0.5 has only as "
        "jax.experimental.shard_map (jax_releases.shard_map() covers both)",
    ),
}


def pytest_collection_modifyitems(config, items):
    for item in items:
        node = item.nodeid.rsplit("/", 1)[-1]
        for prefix, (release, why) in NEEDS_NEWER_JAX.items():
            if node.startswith(prefix) and release > JAXLIB_RELEASE:
                needed = ".".join(map(str, release))
                item.add_marker(pytest.mark.skip(reason=f"needs jax {needed}+: {why}"))


@pytest.fixture(scope="session")
def flat():
    """flat(h, z, seed) -> numpy output of the flat custom call under jit."""
    return lambda h, z, seed, **kw: np.asarray(flat_call(h, z, seed, **kw))


@pytest.fixture(scope="session")
def batched():
    """batched(h, z, seed) -> numpy output of the batched custom call."""
    return lambda h, z, seed, **kw: np.asarray(batched_call(h, z, seed, **kw))


def _reference_tool():
    configured = os.environ.get("VEXOL_REFERENCE_TOOL")
    if configured:
        path = pathlib.Path(configured)
        if not path.is_file():
            pytest.fail(f"VEXOL_REFERENCE_TOOL={configured} does not exist")
        return path
    default = (
        pathlib.Path(__file__).resolve().parents[2] / "build/test/tests/cpp/vexol_reference_draws"
    )
    if not default.is_file():
        pytest.skip(
            "needs the C++ test build (scripts/test.sh builds it) or "
            "VEXOL_REFERENCE_TOOL pointing at vexol_reference_draws"
        )
    return default


@pytest.fixture(scope="session")
def reference():
    """reference(h, z, seed, mode="range"|"chunk") -> the chunk runner's
    draws computed outside JAX: sample_range over the whole range, or one
    sample_chunk seeded with `seed` itself."""
    tool = _reference_tool()

    def run(h, z, seed, mode="range"):
        h = np.ascontiguousarray(h, dtype=np.float64).ravel()
        z = np.ascontiguousarray(z, dtype=np.float64).ravel()
        assert h.size == z.size
        payload = np.int64(h.size).tobytes() + h.tobytes() + z.tobytes()
        done = subprocess.run(
            [str(tool), mode, str(seed & MASK64)],
            input=payload,
            capture_output=True,
            check=True,
        )
        return np.frombuffer(done.stdout, dtype=np.float64)

    return run
