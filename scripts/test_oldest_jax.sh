#!/usr/bin/env bash
# The Python tests against the oldest supported JAX: a virtual environment of
# its own (build/oldest-jax) made from requirements-oldest-jax.txt, the given
# wheel installed into it without dependencies, and pytest run there.
#
#   scripts/test_oldest_jax.sh WHEEL [pytest arguments...]
#   scripts/test_oldest_jax.sh --prepare WHEEL   the environment and the wheel only
#
# scripts/test.sh passes `-m oldest_jax`: the tests that can behave
# differently on an older JAX (tests/python/conftest.py, docs/contributing.md).
#
# The interpreter: VEXOL_OLDEST_PYTHON if set, else python3.12 (so that CI
# covers a second Python beside .venv's), else .venv's own. jaxlib 0.5.3 has
# no wheel for Python 3.14 and later: such an interpreter is refused by name.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=timing/common.sh
source scripts/timing/common.sh
PREPARE=0
if [ "${1:-}" = --prepare ]; then
  PREPARE=1
  shift
fi
WHEEL="${1:?usage: $0 [--prepare] WHEEL [pytest arguments...]}"
shift
ENV=build/oldest-jax

pick_python() {
  if [ -n "${VEXOL_OLDEST_PYTHON:-}" ]; then
    echo "$VEXOL_OLDEST_PYTHON"
    return
  fi
  local c
  for c in python3.12 "$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12.*/bin/python3 2>/dev/null |
    sort -V | tail -n 1)"; do
    if [ -n "$c" ] && command -v "$c" >/dev/null 2>&1 && "$c" -c 'import ensurepip' 2>/dev/null; then
      command -v "$c"
      return
    fi
  done
  .venv/bin/python -c 'import sys; print(sys._base_executable)'
}
PY=$(pick_python)
if ! "$PY" -c 'import sys; sys.exit(0 if (3, 12) <= sys.version_info[:2] < (3, 14) else 1)'; then
  echo "test_oldest_jax: $PY is Python $("$PY" -c 'import platform; print(platform.python_version())');" \
    "jaxlib $(grep '^jaxlib==' requirements-oldest-jax.txt | cut -d= -f3) has wheels for" \
    "Python 3.12 and 3.13 only. Install python3.12 or python3.13 (or set VEXOL_OLDEST_PYTHON)." >&2
  exit 1
fi

# Rebuilt when the requirements or the interpreter change.
STAMP="$(sha256sum requirements-oldest-jax.txt | cut -c1-16) $("$PY" -c 'import sys; print(sys.base_prefix)')"
if [ ! -f "$ENV/.stamp" ] || [ "$(cat "$ENV/.stamp")" != "$STAMP" ]; then
  echo "test_oldest_jax: creating $ENV with $PY"
  rm -rf "$ENV"
  "$PY" -m venv "$ENV"
  scripts/pip_install.sh "$ENV/bin/python" -r requirements-oldest-jax.txt
  echo "$STAMP" >"$ENV/.stamp"
fi
# The installed wheel's hash beside the environment: a prepared environment
# (--prepare, which scripts/test.sh runs beside the newest pass) is not
# installed into again.
WHEEL_HASH=$(sha256sum "$WHEEL" | cut -c1-64)
if [ "$(cat "$ENV/.wheel" 2>/dev/null)" != "$WHEEL_HASH" ]; then
  rm -f "$ENV/.wheel"
  "$ENV/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$WHEEL"
  echo "$WHEEL_HASH" >"$ENV/.wheel"
fi
[ "$PREPARE" = 1 ] && exit 0
"$ENV/bin/python" -c 'import sys, jax; print(f"test_oldest_jax: jax {jax.__version__} on Python {sys.version.split()[0]}")'
run_pytest oldest "$ENV/bin/python" tests/python "$@"
