"""Programs that need a process of their own with particular settings
(forced host devices, x64 off) share one process per setting: a fold.

A test module registers each program with `register` when it is imported
(a source that prints a JSON line last, and the test that reads it); the
test calls `result`, which runs every selected program of the fold in one
fresh process, once per pytest process, in order of registration. A failing
program is reported to its own test only. The tests of one fold are in one
group (conftest.GROUPS), so that one xdist worker runs the fold."""

import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
# fold -> {"env": extra environment, "parts": {part: (source, argv, test name)}}
FOLDS = {}
# Names of the tests selected in this pytest process, with their parameters
# (set by conftest), or None for every registered program.
SELECTED = None
# Seconds a program may take (jax 0.5.3 compiles the shard_map ones for
# minutes on a busy machine).
SECONDS_PER_PROGRAM = 900
_RESULTS = {}

DRIVER = """
import contextlib, io, json, sys, traceback
parts = json.loads(sys.stdin.read())
results = {}
for name, source, argv in parts:
    out = io.StringIO()
    sys.argv = ["-c", *argv]
    try:
        with contextlib.redirect_stdout(out):
            exec(compile(source, "<" + name + ">", "exec"), {"__name__": "__main__"})
        results[name] = {"result": json.loads(out.getvalue().strip().splitlines()[-1])}
    except BaseException:
        results[name] = {"error": traceback.format_exc() + out.getvalue()}
print(json.dumps(results))
"""

X64_ON_4_DEVICES = "x64 on, 4 host devices"
X64_OFF_4_DEVICES = "x64 off, 4 host devices"
ENV = {
    X64_ON_4_DEVICES: {"XLA_FLAGS": "--xla_force_host_platform_device_count=4"},
    X64_OFF_4_DEVICES: {"XLA_FLAGS": "--xla_force_host_platform_device_count=4"},
}


def register(fold, part, source, *argv, test):
    """The program `source` (run with sys.argv[1:] = argv) in `fold`; `test`
    is the name of the test that reads its result, with its parameters."""
    parts = FOLDS.setdefault(fold, {})
    parts[part] = (textwrap.dedent(source), [str(a) for a in argv], test)


def result(fold, part):
    """The JSON result of one program of `fold`, running the fold if needed."""
    if fold not in _RESULTS:
        try:
            _RESULTS[fold] = _run(fold)
        except (AssertionError, subprocess.TimeoutExpired) as failure:
            # Reported to every test of the fold; the fold is not run again.
            _RESULTS[fold] = {"failed": f"the fold {fold!r} failed: {failure}"}
    assert "failed" not in _RESULTS[fold], _RESULTS[fold]["failed"]
    got = _RESULTS[fold].get(part)
    assert got is not None, f"{part} did not run in the fold {fold!r}"
    assert "error" not in got, got["error"]
    return got["result"]


def _run(fold):
    parts = [
        (name, source, argv)
        for name, (source, argv, test) in FOLDS[fold].items()
        if SELECTED is None or test in SELECTED
    ]
    # The test folder on the path, for pg_support's helpers across JAX
    # releases; JAX's defaults otherwise (x64 is switched on by the programs
    # that want it).
    path = os.pathsep.join(p for p in (HERE, os.environ.get("PYTHONPATH")) if p)
    env = {k: v for k, v in os.environ.items() if k != "JAX_ENABLE_X64"}
    env.update(ENV[fold], PYTHONPATH=path)
    done = subprocess.run(
        [sys.executable, "-c", DRIVER],
        input=json.dumps(parts),
        capture_output=True,
        text=True,
        env=env,
        timeout=SECONDS_PER_PROGRAM * max(1, len(parts)),
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])
