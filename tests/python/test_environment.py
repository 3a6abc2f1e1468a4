"""python -m vexol: the environment report and the draw digest's self-check."""

from __future__ import annotations

import pathlib
import subprocess
import sys

import numpy as np

import vexol
from vexol import _environment

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]


def test_python_m_vexol_reports_and_reproduces_the_shipped_digest(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "vexol"], capture_output=True, text=True, cwd=tmp_path, timeout=600
    )
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith(f"vexol:     {vexol.__version__} ")
    assert any(line.startswith("jaxlib:") for line in lines)
    assert any(line.startswith("threads:") for line in lines)
    assert "result: REPRODUCED" in done.stdout
    assert lines[-1] == "self-check: passed"
    # The check ships with the package: an installed vexol reads its own
    # copy, not the repository's.
    script, reference = _environment.digest_files()
    package = pathlib.Path(vexol.__file__).resolve().parent
    if REPOSITORY / "python" not in package.parents:
        assert script.parent == package / "validation", script
        assert reference.parent == package / "validation", reference


def test_self_check_fails_on_draws_that_differ_from_the_reference(tmp_path):
    _, shipped = _environment.digest_files()
    with np.load(shipped) as stored:
        arrays = {key: stored[key] for key in stored.files}
    arrays["fingerprints"] = arrays["fingerprints"].copy()
    arrays["fingerprints"][12345] ^= 1
    arrays["sha256"] = np.array("0" * 64)
    for key in [k for k in arrays if k.startswith("variant_sha256_")]:
        arrays[key] = np.array("0" * 64)
    changed = tmp_path / "reference.npz"
    np.savez(changed, **arrays)
    reproduced, report = _environment.self_check(reference=changed)
    assert not reproduced
    assert any(line.startswith("result: FAILED") for line in report), report


def test_thread_count_reads_the_setting_as_the_pool_does():
    hardware = _environment.thread_count("0")
    assert hardware >= 1
    cases = {"4": 4, " 4": 4, "4abc": 4, "1": 1, "100000": 256, "": hardware, "-3": hardware}
    assert {text: _environment.thread_count(text) for text in cases} == cases
