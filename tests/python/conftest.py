"""Fixtures of the Python tests: jitted callers of the two custom calls and
the C++ reference tool that prints the chunk runner's draws; and the tests
that need a newer JAX than the oldest the package supports, skipped there
with the reason."""

import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np
import pytest

import fresh_process
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


# Which pass runs a test (scripts/test.sh; the rule is in
# docs/contributing.md). The oldest-JAX pass (`-m oldest_jax`) runs every
# test that can behave differently on an older JAX: registration, lowering,
# transformations, sharding, compile sizes, x64 and dtypes, the density's and
# the JAX path's programs, the API, the digest. It leaves out the tests
# below, whose outcome is fixed once the C++ path's stream is (the same draws
# on every JAX: the digest checks the stream bit for bit in both
# environments) or which run the same Python and NumPy on the same numbers;
# every function they call also runs in a test of the oldest pass.
# Node id prefix (or a pattern with *, as in QUICK) -> why.
SAME_ON_EVERY_JAX = {
    "test_validation.py": "the C++ stream against the exact law in NumPy",
    "test_gamma_series_law.py": "the C++ stream's gamma-series law, checked in NumPy",
    "test_exact_method.py::test_exact_draws_follow_the_law": "the C++ stream's law by method",
    "test_exact_method.py::test_the_default_fails": "the C++ stream's law by method",
    "test_exact_method.py::test_the_saddle_point_passes": "the C++ stream's law by method",
    "test_exact_method.py::test_the_default_keeps_the_spread": "the C++ stream's law",
    "test_exact_method.py::test_the_default_is_exact_where": "the C++ stream's law",
    "test_threads.py": "the C++ runner's thread counts",
    "test_gibbs_invariance.py": "Geweke tests of samplers in plain jnp/lax; the API tests run them",
    "test_gibbs_beta.py": "the beta draw's law in plain jnp; the API tests run it",
    "test_vexol_gibbs.py": "an example's posterior statistics",
    "test_negbin.py": "an example's posterior statistics",
    "test_example_hierarchical.py": "an example's posterior statistics",
    "test_example_multinomial.py": "an example's posterior statistics",
    "test_example_demos.py": "the examples' command lines and tables",
    "test_numpyro_example.py": "an example with NumPyro, which the oldest environment leaves out",
    "test_gibbs_kernels.py": "BlackJAX and NumPyro kernels, which the oldest environment leaves out",
    "test_gibbs_random_effects.py::test_sweep_leaves_the_posterior_invariant": (
        "a Geweke test in plain jnp/lax; the run test draws the sweep in both dtypes"
    ),
    "test_gibbs_horseshoe.py::test_horseshoe_sweep_leaves_the_posterior_invariant": (
        "a Geweke test in plain jnp/lax; the float32 run test draws the sweep"
    ),
    "test_gibbs_global.py::test_independence_move_keeps_its_target": "a plain-jnp kernel's law",
    "test_gibbs_global.py::test_*_with_the_t_step": (
        "Geweke tests in plain jnp/lax; the builders' test fits and runs the t step"
    ),
    "test_gibbs_random_effects.py::test_builder_names_the_bad_argument": "NumPy checks on the host",
    "test_gibbs_horseshoe.py::test_horseshoe_names_the_bad_argument": "NumPy checks on the host",
    # The C++ path's value rules along the flat and chunked routes are the
    # same numbers on every JAX; the vmap route (the batching rule) stays.
    "test_value_rules.py::*[flat]": "the C++ stream's value rules",
    "test_value_rules.py::*[chunked]": "the C++ stream's value rules, on the runner's threads",
    "test_value_rules.py::test_small_integer_shape_with_a_nan_tilt": "the C++ stream's law",
    # One seed carries the awkward grid through the custom calls' lowering.
    "test_bad_input.py::test_awkward_inputs_through_the_custom_calls[-1]": "the C++ stream",
    "test_bad_input.py::test_awkward_inputs_through_the_custom_calls[12345]": "the C++ stream",
    "test_bad_input.py::test_gibbs_bad_values_are_refused_early": "NumPy checks on the host",
    # The runner's chunks and threads: the C++ code, whichever JAX calls it.
    "test_flat.py::test_one_full_chunk_is_unmixed": "the C++ runner's chunks",
    "test_batched.py::test_long_rows_are_chunked": "the C++ runner's chunks",
    "test_float32.py::TestRoundedStream::test_float32_is_the_float64_draw_rounded[four_chunks]": (
        "the C++ runner's chunks; one_chunk carries the float32 call"
    ),
    "test_float32.py::TestRoundedStream::test_thread_counts": "the C++ runner's thread counts",
    "test_environment.py::test_thread_count_reads": "parsing a setting in Python",
    "test_environment.py::test_self_check_fails": "comparing the same draws in NumPy",
    # Python's own introspection of Python functions and docstrings.
    "test_vexol_api.py::test_public_functions_have_real_signatures": "inspect on Python functions",
    "test_docs.py::test_every_public_function_and_class_has_an_examples_section": "docstrings",
    # One dtype represents the density and the methods under shard_map (the
    # float64 case; float32 with x64 off is checked unsharded in
    # test_jax_sampler.py and test_float32.py): the oldest pass then starts
    # no x64-off process of four devices, minutes of compiling on jax 0.5.
    "test_vexol_process.py::test_density_and_methods_under_shard_map[float32]": (
        "a second dtype of a lowering that float64 represents"
    ),
    # The same for the JAX path's contract tests whose program no other test
    # of that pass compiles: float64 represents them (the float32 program
    # runs its laws, its value rules and without x64 there).
    "test_jax_sampler.py::test_shared_setup_draws_as_the_per_lane_setup[float32]": (
        "a second dtype of a lowering"
    ),
    "test_jax_sampler.py::test_exact_method_sums_follow_the_law[float32]": (
        "a second dtype of a lowering"
    ),
    # Constant inputs behind the sampler's barrier: float64 represents the
    # lowering; its float32 programs (two) are compiled by no other test there.
    "test_jax_sampler.py::test_jit_equals_eager_with_constant_inputs[float32-3.0]": (
        "a second dtype of a lowering"
    ),
}

# `scripts/test.sh --quick` (`-m quick`): the tests that catch most faults
# in a few minutes (node id prefixes, or patterns with *) (docs/contributing.md lists the faults it was checked on).
QUICK = (
    # The custom calls against the C++ reference, the golden and contract tests.
    "test_flat.py",
    "test_batched.py",
    "test_capsules.py",
    "test_errors.py",
    "test_bad_input.py",
    "test_value_rules.py",
    "test_compat.py",
    # The API and the Gibbs API.
    "test_vexol_api.py",
    "test_gibbs_api.py",
    "test_gibbs_horseshoe.py::test_horseshoe_names_the_bad_argument",
    "test_gibbs_horseshoe.py::test_horseshoe_line_steps_go_along_the_slow_directions_only",
    # Transformations: the vmap rules of the custom calls, float32 draws.
    "test_float32.py::TestRoundedStream",
    "test_float32.py::TestSharedInputsUnderVmap",
    # The JAX path: every regime's law from one compiled program (float64),
    # its blocks, shared set-ups and, under shard_map, its typed loops.
    "test_jax_sampler.py::test_exact_regimes_follow_the_law[*-float64]",
    "test_jax_sampler.py::test_approximate_regimes_match_the_cpp_path[*-float64]",
    "test_jax_sampler.py::test_large_batches_draw_every_block_from_its_own_key",
    "test_jax_sampler.py::test_shared_setup_draws_as_the_per_lane_setup[float64]",
    "test_vexol_process.py::test_shard_map_draws_each_shard_from_its_own_key[jax]",
    # The density against its reference values, its gradients at the crossing.
    "test_density.py::test_logpdf_matches_the_reference_in_every_region",
    "test_density.py::test_cdf_and_sf_match_the_reference",
    "test_density.py::test_gradients_at_the_contour_crossing_zero",
    # A model's sweep as a kernel starts where it is told to.
    "test_gibbs_kernels.py::test_kernel_init_names_what_does_not_fit",
    # A Gibbs sweep's invariance, with the direction moves.
    "test_gibbs_invariance.py::test_logistic_direction_moves",
    # The mixed-effects builder's checks of its groups and slopes (host only).
    "test_gibbs_random_effects.py::test_builder_names_the_bad_argument",
)

# Groups of tests that one xdist worker runs (the scheduler below): a test
# file is one group, so its compiled fixtures stay in one process, except
# where a file is split here to balance the two workers. The heaviest groups
# go first. The tests of one fresh_process fold share its process, so they
# share a group too.
GROUPS = {
    "test_vexol_process.py::test_shard_map_draws": "fold-x64-on",
    "test_vexol_process.py::test_density_and_methods_under_shard_map[float64]": "fold-x64-on",
    "test_vexol_process.py::test_density_and_methods_under_shard_map[float32]": "fold-x64-off",
    "test_float32.py::test_a_program_that_never_enables_x64": "fold-x64-off",
    "test_jax_sampler.py::test_exact_regimes_follow_the_law[": "jax_sampler-law",
    "test_jax_sampler.py::test_approximate_regimes_match_the_cpp_path[": "jax_sampler-law",
}
HEAVY_FIRST = (
    "fold-x64-on",
    "jax_sampler-law",
    "fold-x64-off",
    "test_jax_sampler.py",
    "test_float32.py",
    "test_density_grad_half.py",
    "test_distributed.py",
    "test_gibbs_invariance.py",
)


def _matches(node, pattern):
    start, star, end = pattern.partition("*")
    return node.startswith(start) and (not star or node.endswith(end))


def _group(nodeid):
    """The group of a test, from its node id (with or without its folder)."""
    node = nodeid.rsplit("/", 1)[-1]
    for prefix, group in GROUPS.items():
        if node.startswith(prefix):
            return group
    return node.split("::", 1)[0]


def _refuse_stale_entries(items):
    """When every test file is collected, each entry of the lists above must
    name a test: a renamed test or class would otherwise leave the quick loop
    silently, or run in the oldest-JAX pass again without anyone asking."""
    nodes = [item.nodeid.rsplit("/", 1)[-1] for item in items]
    files = {node.split("::", 1)[0] for node in nodes}
    if files != {p.name for p in pathlib.Path(__file__).parent.glob("test_*.py")}:
        return
    lists = {"SAME_ON_EVERY_JAX": SAME_ON_EVERY_JAX, "QUICK": QUICK, "GROUPS": GROUPS}
    lists["NEEDS_NEWER_JAX"] = NEEDS_NEWER_JAX
    stale = [
        f"{name}: {pattern!r}"
        for name, entries in lists.items()
        for pattern in entries
        # An entry for a file not in this checkout (one still being written
        # elsewhere) misplaces nothing here.
        if pattern.split("::", 1)[0] in files and not any(_matches(node, pattern) for node in nodes)
    ]
    if stale:
        raise pytest.UsageError(
            "tests/python/conftest.py names tests that do not exist: " + "; ".join(stale)
        )


def pytest_collection_modifyitems(config, items):
    for item in items:
        node = item.nodeid.rsplit("/", 1)[-1]
        for prefix, (release, why) in NEEDS_NEWER_JAX.items():
            if node.startswith(prefix) and release > JAXLIB_RELEASE:
                needed = ".".join(map(str, release))
                item.add_marker(pytest.mark.skip(reason=f"needs jax {needed}+: {why}"))
        if not any(_matches(node, pattern) for pattern in SAME_ON_EVERY_JAX):
            item.add_marker(pytest.mark.oldest_jax)
        if any(_matches(node, pattern) for pattern in QUICK):
            item.add_marker(pytest.mark.quick)
    _refuse_stale_entries(items)
    rank = {group: i for i, group in enumerate(HEAVY_FIRST)}
    # A stable sort: the order within a group stays the files' own.
    items.sort(key=lambda item: rank.get(_group(item.nodeid), len(rank)))


@pytest.hookimpl(optionalhook=True, tryfirst=True)
def pytest_xdist_make_scheduler(config, log):
    """Under --dist loadscope (scripts/test.sh), hand out whole groups
    (_group) to the workers, heaviest first.

    Not xdist's own loadgroup: it groups by a suffix it writes into each
    item's node id, which pytest 9 no longer reads, so every test was
    scheduled alone (a fold's process started on both workers, and a file's
    compiled fixtures were built in both)."""
    if config.getvalue("dist") != "loadscope":
        return None
    from xdist.scheduler import LoadScopeScheduling

    class GroupScheduling(LoadScopeScheduling):
        def _split_scope(self, nodeid):
            return _group(nodeid)

    # Keep the collection's order (HEAVY_FIRST) rather than xdist's
    # largest-group-first.
    config.option.loadscopereorder = False
    return GroupScheduling(config, log)


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


# Timing (scripts/test.sh sets VEXOL_TIMING_DIR): each test's wall time
# (setup, call and teardown) and xdist worker, written by the controlling
# process at the end of the session; the compile times come from
# scripts/timing/sitecustomize.py, and scripts/timing/report.py joins both.
_TIMING_DIR = os.environ.get("VEXOL_TIMING_DIR")
_timings = {}
_session_start = time.time()


def pytest_runtest_logreport(report):
    if not _TIMING_DIR:
        return
    entry = _timings.setdefault(report.nodeid, {"seconds": 0.0, "outcome": "passed"})
    entry["seconds"] += report.duration
    node = getattr(report, "node", None)
    if node is not None:
        entry["worker"] = node.gateway.id
    if report.failed:
        entry["outcome"] = "failed"
    elif report.skipped and entry["outcome"] != "failed":
        entry["outcome"] = "skipped"


def pytest_sessionfinish(session):
    if not _TIMING_DIR:
        return
    flush = getattr(sys.modules.get("sitecustomize"), "vexol_timing_flush", None)
    if flush:  # xdist workers may leave without running atexit handlers
        flush()
    if hasattr(session.config, "workerinput"):
        return
    os.makedirs(_TIMING_DIR, exist_ok=True)
    with open(os.path.join(_TIMING_DIR, f"tests-{os.getpid()}.json"), "w") as f:
        json.dump({"wall": time.time() - _session_start, "tests": _timings}, f)


def pytest_collection_finish(session):
    # The fresh_process programs whose tests will run (not deselected, not
    # skipped by a marker).
    fresh_process.SELECTED = {
        item.name for item in session.items if item.get_closest_marker("skip") is None
    }
