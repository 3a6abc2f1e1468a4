#!/usr/bin/env bash
# The whole test suite from a fresh clone: installs what is needed, builds
# the C++ core and its tests, runs them, then installs the Python package
# into .venv and runs the Python tests against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

BUILD=build/test
.venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python"
.venv/bin/cmake --build "$BUILD" -j 2
(cd "$BUILD" && ../../.venv/bin/ctest --output-on-failure -j 2)
