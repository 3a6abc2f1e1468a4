#!/usr/bin/env bash
# One built vexol wheel against a range of JAX releases, on every Python
# given: for each (Python, release) a virtual environment of its own with
# that jax and jaxlib, the wheel installed into it without dependencies, and
# scripts/jax_range_check.py run there (import, registration, a call, the
# digest of validation/digest.py against the stored reference).
#
#   scripts/test_jax_range.sh [--prepare] WHEEL [RELEASE...]
#
# RELEASE defaults to the releases the project claims (oldest to newest).
# VEXOL_RANGE_PYTHONS: interpreters to use (default: python3.12 and
# python3.13 found on PATH or among pyenv's versions). VEXOL_RANGE_DIR:
# where the environments live (default build/jax-range; they are reused).
# --prepare only creates the environments (the wheel is then not needed).
# jaxlib publishes no wheel for some (Python, release) pairs; those are
# reported as "no jaxlib wheel" and skipped, not failed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

PREPARE=0
if [ "${1:-}" = "--prepare" ]; then
  PREPARE=1
  shift
fi
WHEEL="${1:-}"
[ $# -gt 0 ] && shift
if [ $PREPARE -eq 0 ] && [ ! -f "$WHEEL" ]; then
  echo "usage: $0 [--prepare] WHEEL [RELEASE...]" >&2
  exit 2
fi
[ -n "$WHEEL" ] && WHEEL=$(realpath "$WHEEL")
# The default is the range the package claims: pyproject.toml's floor to the
# newest, one release of each line.
RELEASES=("$@")
if [ ${#RELEASES[@]} -eq 0 ]; then
  RELEASES=(0.5.3 0.6.2 0.7.2 0.8.3 0.9.2 0.10.2 0.11.2 0.12.1)
fi
RANGE_DIR="${VEXOL_RANGE_DIR:-$ROOT/build/jax-range}"
mkdir -p "$RANGE_DIR"

find_pythons() {
  local found=()
  for minor in 12 13; do
    local py=""
    if command -v "python3.$minor" >/dev/null 2>&1; then
      py=$(command -v "python3.$minor")
    else
      py=$(ls -d "$HOME"/.pyenv/versions/3."$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1)
    fi
    [ -n "$py" ] && found+=("$py")
  done
  echo "${found[@]}"
}
read -r -a PYTHONS <<<"${VEXOL_RANGE_PYTHONS:-$(find_pythons)}"
if [ ${#PYTHONS[@]} -eq 0 ]; then
  echo "test_jax_range: no python3.12 or python3.13 found" >&2
  exit 2
fi

# The 0.5 and 0.6 releases get the numpy and scipy of their time, as their
# users have them (jax 0.5.3 also passes the check with numpy 2.5.5).
extra_pins() {
  case "$1" in
    0.5.* | 0.6.*) echo "numpy<2.3 scipy<1.16" ;;
    *) echo "" ;;
  esac
}

# Creates (once) the environment for Python $1 and release $2; prints its
# directory, or nothing when jaxlib has no wheel for that pair.
environment() {
  local py=$1 release=$2
  local tag
  tag=$("$py" -c 'import sys; print(f"py{sys.version_info[0]}.{sys.version_info[1]}")')
  local env="$RANGE_DIR/$tag-jax$release"
  if [ ! -f "$env/.ready" ]; then
    rm -rf "$env"
    "$py" -m venv "$env" >&2 || return 1
    # shellcheck disable=SC2046
    if ! "$env/bin/pip" install -q --disable-pip-version-check --only-binary=:all: \
      "jax==$release" "jaxlib==$release" $(extra_pins "$release") >"$env.log" 2>&1; then
      if grep -q "No matching distribution found for jaxlib" "$env.log"; then
        rm -rf "$env"
        return 0
      fi
      cat "$env.log" >&2
      return 1
    fi
    touch "$env/.ready"
  fi
  echo "$env"
}

failures=0
rows=()
for py in "${PYTHONS[@]}"; do
  for release in "${RELEASES[@]}"; do
    pyver=$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
    if ! env=$(environment "$py" "$release"); then
      rows+=("| $pyver | $release | environment failed | | | |")
      failures=$((failures + 1))
      continue
    fi
    if [ -z "$env" ]; then
      rows+=("| $pyver | $release | no jaxlib wheel | | | |")
      continue
    fi
    [ $PREPARE -eq 1 ] && { echo "prepared $env"; continue; }
    "$env/bin/pip" install -q --disable-pip-version-check --no-deps --force-reinstall "$WHEEL" \
      >"$env.install.log" 2>&1 || {
      cat "$env.install.log" >&2
      rows+=("| $pyver | $release | wheel install failed | | | |")
      failures=$((failures + 1))
      continue
    }
    # From a neutral directory, so that the installed package is imported.
    if line=$(cd "$RANGE_DIR" && "$env/bin/python" "$ROOT/scripts/jax_range_check.py" \
      "$ROOT/validation/digest_reference.npz"); then
      rows+=("| $pyver | $release | $line")
    else
      rows+=("| $pyver | $release | $line")
      failures=$((failures + 1))
    fi
  done
done
[ $PREPARE -eq 1 ] && exit 0

echo "| Python | JAX | import | registration | call | digest equal |"
echo "| --- | --- | --- | --- | --- | --- |"
printf '%s\n' "${rows[@]}"
if [ $failures -gt 0 ]; then
  echo "test_jax_range: $failures combination(s) failed" >&2
  exit 1
fi
