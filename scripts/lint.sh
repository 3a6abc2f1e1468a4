#!/usr/bin/env bash
# Format and lint checks: ruff on the Python code, clang-format on the C++.
# Checks only; to fix, run `ruff format` / `ruff check --fix` and
# `clang-format -i` on the files it names.
set -euo pipefail
cd "$(dirname "$0")/.."

# ruff comes pinned into .venv and clang-format from Debian; both are
# installed by bootstrap, which is quick when everything is there.
if [ ! -x .venv/bin/ruff ] || ! command -v clang-format >/dev/null 2>&1; then
  scripts/bootstrap.sh
fi
RUFF=.venv/bin/ruff
PY_PATHS=()
for p in python tests/python examples benchmarks validation; do
  [ -e "$p" ] && PY_PATHS+=("$p")
done
"$RUFF" check "${PY_PATHS[@]}"
"$RUFF" format --check "${PY_PATHS[@]}"

CXX_DIRS=()
for d in csrc tests/cpp; do
  [ -d "$d" ] && CXX_DIRS+=("$d")
done
mapfile -t CXX_FILES < <(git ls-files -co --exclude-standard -- "${CXX_DIRS[@]}" |
  grep -E '\.(cc|h|cpp|hpp)$' || true)
if [ ${#CXX_FILES[@]} -gt 0 ]; then
  clang-format --dry-run -Werror "${CXX_FILES[@]}"
fi
echo "lint: ok"
