"""What vexol runs on, and whether this build reproduces the shipped draws.

The self-check runs the draw digest (``validation/digest.py`` in the
repository, shipped in the wheel as ``vexol/validation/``) in a fresh process,
so that it switches 64-bit mode on there and not in the caller's process,
and compares the draws with the reference file shipped beside it, read at
run time.
"""

from __future__ import annotations

import importlib.metadata
import os
import pathlib
import platform
import re
import subprocess
import sys

# The C++ worker pool's ceiling (csrc): the calling thread and 255 workers.
MAX_THREADS = 256
_PACKAGE = pathlib.Path(__file__).resolve().parent


def digest_files() -> tuple[pathlib.Path, pathlib.Path] | None:
    """(digest.py, digest_reference.npz): the wheel's copy, else the
    repository's (vexol imported from a source tree), else None."""
    for directory in (_PACKAGE / "validation", _PACKAGE.parents[1] / "validation"):
        script = directory / "digest.py"
        reference = directory / "digest_reference.npz"
        if script.is_file() and reference.is_file():
            return script, reference
    return None


def thread_count(setting: str | None = None) -> int:
    """The threads a large call may use: VEXOL_NUM_THREADS read as C's
    strtol reads it (leading blanks, then digits), a positive value taken
    as it is, anything else meaning the machine's hardware threads; at
    most MAX_THREADS."""
    setting = os.environ.get("VEXOL_NUM_THREADS") if setting is None else setting
    match = re.match(r"\s*([+-]?\d+)", setting or "")
    value = int(match.group(1)) if match else 0
    if value <= 0:
        value = os.cpu_count() or 1
    return min(value, MAX_THREADS)


def _version(distribution: str) -> str | None:
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return None


def self_check(
    reference: pathlib.Path | None = None, timeout: float = 300.0
) -> tuple[bool, list[str]]:
    """Runs the digest in a fresh process: (reproduced, its report lines).
    A libm the reference was not recorded on is reported, not failed, as
    validation/digest.py judges it. ``reference`` replaces the shipped
    reference file."""
    files = digest_files()
    if files is None:
        return False, ["the draw digest is not installed with this vexol"]
    script, shipped = files
    reference = shipped if reference is None else reference
    env = dict(os.environ)
    # The digest must draw with the vexol that imported this module.
    env["PYTHONPATH"] = os.pathsep.join(
        [str(_PACKAGE.parent)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    )
    try:
        done = subprocess.run(
            [sys.executable, str(script), "--reference", str(reference)],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return False, [f"the draw digest did not finish within {timeout:.0f} s"]
    lines = done.stdout.strip().splitlines() or done.stderr.strip().splitlines()[-5:]
    reproduced = done.returncode == 0 and any(
        line.startswith("result: REPRODUCED") for line in lines
    )
    return reproduced, lines


def environment_lines() -> list[str]:
    import jax

    import vexol

    lines = [
        f"vexol:     {vexol.__version__} ({_PACKAGE})",
        f"jax:       {jax.__version__}",
        f"jaxlib:    {_version('jaxlib') or 'not installed'}",
        f"numpy:     {_version('numpy') or 'not installed'}",
    ]
    for extra in ("numpyro", "arviz"):
        lines.append(f"{extra + ':':<10} {_version(extra) or 'not installed (optional)'}")
    lines += [
        f"python:    {platform.python_version()} ({sys.executable})",
        f"platform:  {platform.platform()} ({platform.machine()})",
        f"backend:   {jax.default_backend()}, devices {[str(d) for d in jax.devices()]}",
        f"x64:       {'on' if jax.config.read('jax_enable_x64') else 'off'}",
        f"threads:   {thread_count()} per call (VEXOL_NUM_THREADS="
        f"{os.environ.get('VEXOL_NUM_THREADS', 'unset')!s}, {os.cpu_count()} hardware threads)",
    ]
    return lines


def print_environment_info(return_string: bool = False, check_digest: bool = True) -> str | None:
    """Print vexol's versions, platform and threads, and check its draws.

    The report names the versions of vexol, JAX, jaxlib, NumPy and the
    optional extras, the Python, the platform and JAX's backend, the x64
    setting, and how many threads a large call may use. With
    ``check_digest`` it then draws the fixed input of vexol's draw digest
    (400,000 draws mixing every sampling regime, in a fresh process) and
    says whether this build reproduces the reference shipped with it: the
    first thing to attach to a bug report. ``python -m vexol`` prints the
    same and exits with status 1 when the check fails.

    Args:
      return_string: return the report instead of printing it.
      check_digest: run the draw digest's self-check (a few seconds).

    Returns:
      The report if ``return_string``, else None.

    Examples:
      >>> import vexol
      >>> report = vexol.print_environment_info(return_string=True, check_digest=False)
      >>> print(report.splitlines()[0])                     # doctest: +ELLIPSIS
      vexol:     ... (...)
      >>> any(line.startswith("threads:") for line in report.splitlines())
      True
    """
    lines = environment_lines()
    if check_digest:
        reproduced, report = self_check()
        lines.append("draw digest self-check:")
        lines += [f"  {line}" for line in report]
        lines.append(f"self-check: {'passed' if reproduced else 'FAILED'}")
    text = "\n".join(lines)
    if return_string:
        return text
    print(text)
    return None


def main() -> int:
    lines = environment_lines()
    print("\n".join(lines), flush=True)
    reproduced, report = self_check()
    print("draw digest self-check:")
    print("\n".join(f"  {line}" for line in report))
    print(f"self-check: {'passed' if reproduced else 'FAILED'}")
    return 0 if reproduced else 1
