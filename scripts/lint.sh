#!/usr/bin/env bash
# Format and lint checks: ruff on the Python code, clang-format on the C++.
# Checks only; to fix, run `ruff format` / `ruff check --fix` and
# `clang-format -i` on the files it names. A missing tool, or a file list
# that git cannot give, is an error: a check that silently checks nothing
# would pass anything.
set -euo pipefail
cd "$(dirname "$0")/.."

# ruff comes pinned into .venv, clang-format and git from Debian; bootstrap
# installs them, and is quick when everything is there.
if [ ! -x .venv/bin/ruff ] || ! command -v clang-format >/dev/null 2>&1 ||
  ! command -v git >/dev/null 2>&1; then
  scripts/bootstrap.sh
fi
for tool in .venv/bin/ruff clang-format git; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "lint: $tool is missing after scripts/bootstrap.sh; cannot check" >&2
    exit 1
  fi
done

RUFF=.venv/bin/ruff
PY_PATHS=()
for p in python tests/python tests/docs examples benchmarks validation scripts docs/conf.py docs/gallery.py; do
  [ -e "$p" ] && PY_PATHS+=("$p")
done
"$RUFF" check "${PY_PATHS[@]}"
"$RUFF" format --check "${PY_PATHS[@]}"

CXX_DIRS=()
for d in csrc tests/cpp; do
  [ -d "$d" ] && CXX_DIRS+=("$d")
done
if ! listed=$(git ls-files -co --exclude-standard -- "${CXX_DIRS[@]}"); then
  echo "lint: 'git ls-files' failed (not a git work tree?); cannot list the C++ files" >&2
  exit 1
fi
mapfile -t CXX_FILES < <(printf '%s\n' "$listed" | grep -E '\.(cc|h|cpp|hpp)$' || true)
if [ ${#CXX_FILES[@]} -eq 0 ]; then
  echo "lint: no C++ files found under ${CXX_DIRS[*]}" >&2
  exit 1
fi
clang-format --dry-run -Werror "${CXX_FILES[@]}"
echo "lint: ok (${#PY_PATHS[@]} Python paths, ${#CXX_FILES[@]} C++ files)"
