#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian machine: the
# system packages (compilers, GoogleTest, Google Benchmark, clang for the
# sanitizer and fuzz builds) and a virtual environment in .venv with the
# pinned Python tools. Safe to run again: it skips what is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBIAN_PACKAGES=(g++ libgtest-dev libbenchmark-dev clang libclang-rt-14-dev clang-format)
missing=()
for p in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing Debian packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# JAX 0.11 and later need Python 3.12 or newer.
find_python() {
  for c in python3.14 python3.13 python3.12 \
           "$HOME"/.pyenv/versions/3.14*/bin/python3 \
           "$HOME"/.pyenv/versions/3.13*/bin/python3 \
           "$HOME"/.pyenv/versions/3.12*/bin/python3 python3; do
    if command -v "$c" >/dev/null 2>&1 &&
       "$c" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null; then
      command -v "$c"; return 0
    fi
  done
  return 1
}

if [ ! -x .venv/bin/python ]; then
  PY=$(find_python) || { echo "bootstrap: need Python >= 3.12 (JAX requires it)" >&2; exit 1; }
  echo "bootstrap: creating .venv with $PY"
  "$PY" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
