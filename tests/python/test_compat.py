"""What vexol says when the installed JAX cannot run its handlers: the fix
it names must be one that can work."""

import types

import pytest

from vexol._compat import IncompatibleJaxError, check_runtime


def _runtime(tmp_path, major, minor, version="0.99.0"):
    api = tmp_path / "xla" / "ffi" / "api"
    api.mkdir(parents=True)
    (api / "c_api.h").write_text(
        f"#define XLA_FFI_API_MAJOR {major}\n#define XLA_FFI_API_MINOR {minor}\n"
    )
    ffi = types.SimpleNamespace(include_dir=lambda: str(tmp_path))
    return types.SimpleNamespace(__version__=version, ffi=ffi)


def _extension(major, minor):
    return types.SimpleNamespace(ffi_api_version=lambda: (major, minor))


def test_a_newer_major_ffi_names_an_older_jax_not_a_rebuild(tmp_path):
    # Rebuilding cannot help: the build compiles against pinned headers.
    with pytest.raises(IncompatibleJaxError) as caught:
        check_runtime(_runtime(tmp_path, 1, 0), _extension(0, 1))
    message = str(caught.value)
    assert "from source" not in message
    assert 'pip install "jax<0.99.0"' in message
    assert "FFI API 0.x" in message


def test_an_older_runtime_names_the_upgrade(tmp_path):
    with pytest.raises(IncompatibleJaxError, match='pip install --upgrade "jax>='):
        check_runtime(_runtime(tmp_path, 0, 0), _extension(0, 1))


def test_a_newer_minor_runs(tmp_path):
    check_runtime(_runtime(tmp_path, 0, 7), _extension(0, 1))
