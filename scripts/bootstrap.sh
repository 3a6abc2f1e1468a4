#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine and a virtual
# environment in .venv with the pinned Python tools. Safe to run again: it
# skips what is already there, and rebuilds a .venv that another Python made.
#
#   scripts/bootstrap.sh         everything (scripts/test.sh): compilers,
#                                GoogleTest, Google Benchmark, clang with the
#                                sanitizer and fuzzer runtime of the same
#                                version, clang-format, git, chromium
#   scripts/bootstrap.sh demo    what building and running the examples needs
#                                (scripts/demo.sh): g++ and git
#   scripts/bootstrap.sh MODE --list-packages
#                                print the mode's Debian packages and stop
#
# The interpreter: VEXOL_PYTHON if set; else the first of python3.14,
# python3.13, python3.12 on PATH; else the newest 3.12+ among pyenv's
# versions ($PYENV_ROOT, default ~/.pyenv). JAX needs Python 3.12 or newer.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=full
list_only=0
for arg in "$@"; do
  case "$arg" in
    demo | full) mode=$arg ;;
    --list-packages) list_only=1 ;;
    *)
      echo "bootstrap: unknown argument '$arg' (modes: full, demo; option: --list-packages)" >&2
      exit 2
      ;;
  esac
done

# The demo builds the extension (a C++17 compiler; CMake and Ninja come from
# .venv) and reads the tree with git; the test tools stay out of its install.
demo_packages=(g++ git ca-certificates)
# Headless Chromium opens the built documentation site in its browser test
# (tests/docs/test_site.py).
full_packages=("${demo_packages[@]}" libgtest-dev libbenchmark-dev clang clang-format chromium)
if [ "$mode" = demo ]; then
  packages=("${demo_packages[@]}")
else
  packages=("${full_packages[@]}")
fi
if [ $list_only -eq 1 ]; then
  # The clang runtime's name depends on the clang installed later, so the
  # list names its pattern.
  [ "$mode" = full ] && packages+=("libclang-rt-<clang major>-dev")
  printf '%s\n' "${packages[@]}"
  exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
apt_updated=0
apt_install() {
  if [ $apt_updated -eq 0 ]; then
    $SUDO apt-get update -qq
    apt_updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null
}
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
install_missing() {
  local missing=() p
  for p in "$@"; do
    installed "$p" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "bootstrap: installing Debian packages: ${missing[*]}"
    apt_install "${missing[@]}"
  fi
}

install_missing "${packages[@]}"

if [ "$mode" = full ]; then
  # The sanitizer and libFuzzer runtimes ship apart from clang, in a package
  # named after clang's major version (libclang-rt-14-dev on Debian 12,
  # libclang-rt-19-dev on Debian 13, ...): match the clang that is installed.
  clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
  if [ -z "$clang_major" ]; then
    echo "bootstrap: could not read clang's version from 'clang --version'" >&2
    exit 1
  fi
  install_missing "libclang-rt-$clang_major-dev"
fi

at_least_312() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null
}

# The interpreter's own installation (the same for a pyenv shim and the
# interpreter it runs, and for a venv and the Python that made it).
base_of() {
  "$1" -c 'import sys; print(sys.base_prefix)' 2>/dev/null
}

find_python() {
  local c
  if [ -n "${VEXOL_PYTHON:-}" ]; then
    if at_least_312 "$VEXOL_PYTHON"; then
      command -v "$VEXOL_PYTHON"
      return 0
    fi
    echo "bootstrap: VEXOL_PYTHON=$VEXOL_PYTHON is not a Python 3.12 or newer" >&2
    return 1
  fi
  for c in python3.14 python3.13 python3.12; do
    if command -v "$c" >/dev/null 2>&1 && at_least_312 "$c"; then
      command -v "$c"
      return 0
    fi
  done
  for c in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3 2>/dev/null | sort -rV); do
    if at_least_312 "$c"; then
      echo "$c"
      return 0
    fi
  done
  return 1
}

if ! PY=$(find_python); then
  cat >&2 <<MESSAGE
bootstrap: no Python 3.12 or newer found (JAX needs it). Looked for python3.14,
python3.13 and python3.12 on PATH and in ${PYENV_ROOT:-$HOME/.pyenv}/versions.
Install one, then run this again, e.g.
  Debian 13:       apt-get install python3 python3-venv      (Python 3.13)
  with pyenv:      pyenv install 3.13
or point VEXOL_PYTHON at an interpreter.
MESSAGE
  exit 1
fi
echo "bootstrap: using $PY (Python $("$PY" -c 'import platform; print(platform.python_version())'))"

# A distribution Python creates virtual environments only with its venv
# package (python3.X-venv on Debian), which brings ensurepip.
if ! "$PY" -c 'import ensurepip' 2>/dev/null; then
  minor=$("$PY" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
  echo "bootstrap: $PY has no ensurepip; installing python$minor-venv"
  apt_install "python$minor-venv"
fi

# A .venv that another interpreter made (an older Python, a removed one, a
# different version) is rebuilt: its compiled packages belong to that one.
if [ -e .venv ]; then
  venv_base=$(base_of .venv/bin/python || true)
  if [ -z "$venv_base" ] || [ "$venv_base" != "$(base_of "$PY")" ]; then
    echo "bootstrap: .venv was made by ${venv_base:-an interpreter that no longer runs}," \
      "not by $(base_of "$PY"); rebuilding it"
    rm -rf .venv
  fi
fi
if [ ! -x .venv/bin/python ]; then
  echo "bootstrap: creating .venv with $PY"
  "$PY" -m venv .venv
fi
scripts/pip_install.sh .venv/bin/python -r requirements-dev.txt
