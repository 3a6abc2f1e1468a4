"""Whether the installed JAX can run this build of vexol's handlers.

The handlers are compiled against the XLA FFI headers of one jaxlib and
carry that FFI API version. The runtime accepts a handler whose API version
has its own major version and a minor version no newer than its own, and
refuses any other one; the refusal would surface only later, as a failure
of the first JAX operation of the process ("Unable to initialize backend
'cpu'"). These checks run before anything is registered and turn that into
a vexol error that names both versions and what to do.
"""

from __future__ import annotations

import importlib.metadata
import pathlib
import re

# The oldest jax and jaxlib that the test suite runs against (CI's oldest
# environment, requirements-oldest-jax.txt); pyproject.toml declares the same.
MINIMUM_JAX = (0, 5, 3)


# The first jaxlib release line whose runtime has each FFI API version
# (measured: 0.5-0.7 carry 0.1, 0.8 0.2, 0.9-0.10 0.3, 0.11 0.4, 0.12 0.5).
FIRST_RELEASE_WITH_API = {
    (0, 1): (0, 5),
    (0, 2): (0, 8),
    (0, 3): (0, 9),
    (0, 4): (0, 11),
    (0, 5): (0, 12),
}


class IncompatibleJaxError(RuntimeError):
    """The installed JAX cannot run vexol's handlers.

    Raised at the first draw (or :func:`vexol.register`), before anything is
    registered, naming the installed and the required versions and the fix.
    A subclass of ``RuntimeError``.

    Examples:
      >>> import vexol
      >>> issubclass(vexol.IncompatibleJaxError, RuntimeError)
      True
      >>> try:
      ...     vexol.register()
      ... except vexol.IncompatibleJaxError as error:
      ...     print(error)
    """


def release_tuple(version: str) -> tuple[int, ...]:
    """The leading numeric release of a version string: "0.12.0.1" ->
    (0, 12, 0, 1), "0.8.0rc1" -> (0, 8, 0), "0.6.dev20250101" -> (0, 6)."""
    numbers = []
    for part in version.split("."):
        digits = re.match(r"\d+", part)
        if digits is None:
            break
        numbers.append(int(digits.group()))
        if digits.end() != len(part):
            break
    return tuple(numbers)


def installed_version(distribution: str) -> str | None:
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return None


def _upgrade_hint(release: tuple[int, ...] = MINIMUM_JAX) -> str:
    floor = ".".join(map(str, release))
    return f'pip install --upgrade "jax>={floor}" "jaxlib>={floor}"'


def header_api_version(c_api_header: pathlib.Path) -> tuple[int, int] | None:
    """XLA_FFI_API_MAJOR and XLA_FFI_API_MINOR as defined in an XLA FFI
    c_api.h, or None when the file is missing or does not define both."""
    try:
        text = c_api_header.read_text(encoding="utf-8", errors="replace")
    except OSError:
        return None
    found = {}
    for name in ("MAJOR", "MINOR"):
        match = re.search(rf"^#define XLA_FFI_API_{name} (\d+)\s*$", text, re.MULTILINE)
        if match is None:
            return None
        found[name] = int(match.group(1))
    return found["MAJOR"], found["MINOR"]


def runtime_api_version(jax_module) -> tuple[int, int] | None:
    """The FFI API version of the installed jaxlib, read from the c_api.h it
    ships (the header of the runtime it was built with), or None if it ships
    none."""
    include_dir = getattr(getattr(jax_module, "ffi", None), "include_dir", None)
    if include_dir is None:
        return None
    return header_api_version(pathlib.Path(include_dir()) / "xla" / "ffi" / "api" / "c_api.h")


def api_compatible(built: tuple[int, int], runtime: tuple[int, int]) -> bool:
    """Whether a runtime of FFI API `runtime` accepts handlers built for
    `built`: same major version, and no newer minor version than its own."""
    return built[0] == runtime[0] and built[1] <= runtime[1]


def check_runtime(jax_module, extension) -> None:
    """Raises IncompatibleJaxError when the installed jax is older than the
    supported range or its runtime would refuse `extension`'s handlers."""
    jax_version = getattr(jax_module, "__version__", None) or installed_version("jax") or "?"
    jaxlib_version = installed_version("jaxlib") or "?"
    floor = ".".join(map(str, MINIMUM_JAX))
    too_old = [
        f"{name} {version}"
        for name, version in (("jax", jax_version), ("jaxlib", jaxlib_version))
        if version != "?" and release_tuple(version) < MINIMUM_JAX
    ]
    if too_old or not hasattr(jax_module, "ffi"):
        found = ", ".join(too_old) or f"jax {jax_version} (no jax.ffi)"
        raise IncompatibleJaxError(
            f"vexol needs jax and jaxlib {floor} or newer, but found {found}. "
            f"Upgrade JAX: {_upgrade_hint()}"
        )

    built_version = getattr(extension, "ffi_api_version", None)
    runtime = runtime_api_version(jax_module)
    if built_version is None or runtime is None:
        # An extension from before the version was recorded, or a jaxlib
        # without its headers: nothing to compare, and the runtime's own
        # check still stands behind registration.
        return
    built = tuple(built_version())
    if api_compatible(built, runtime):
        return
    built_text = ".".join(map(str, built))
    runtime_text = ".".join(map(str, runtime))
    if built > runtime:
        release = max(FIRST_RELEASE_WITH_API.get(built, MINIMUM_JAX), MINIMUM_JAX)
        fix = f"Upgrade JAX to a release whose FFI API is {built_text} or newer: {_upgrade_hint(release)}"
    else:
        # Only a newer major version gets here (same major, older minor is
        # accepted). A newer major version of the FFI drops handlers of the old one, and
        # rebuilding would not help: the build pins the headers it compiles
        # against. Only an older JAX, or a vexol release made for the new
        # major version, can run.
        fix = (
            f"This vexol supports JAX releases with XLA FFI API {built[0]}.x only: install an "
            f'older JAX (pip install "jax<{jax_version}" "jaxlib<{jaxlib_version}") or a vexol '
            f"release made for FFI API {runtime[0]}.x."
        )
    raise IncompatibleJaxError(
        f"vexol's handlers were built for XLA FFI API {built_text}, but the installed "
        f"jaxlib {jaxlib_version} (jax {jax_version}) provides FFI API {runtime_text} and "
        f"would refuse them. {fix}"
    )
