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

# The Python package, installed into .venv the way users install it (the
# build reuses .venv's pinned tools instead of an isolated environment),
# then tested through the real JAX runtime. pytest runs from the repository
# root without it on sys.path, so the installed module is the one imported.
export CMAKE_BUILD_PARALLEL_LEVEL=2
.venv/bin/python -m pip install -q --disable-pip-version-check \
  --no-build-isolation -C build-dir=build/wheel .
VEXOL_REFERENCE_TOOL="$PWD/$BUILD/tests/cpp/vexol_reference_draws" \
  .venv/bin/pytest -p no:cacheprovider tests/python
