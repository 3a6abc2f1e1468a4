#!/usr/bin/env bash
# The whole test suite from a fresh clone: installs what is needed, builds
# the C++ core and its tests and runs them, builds ONE wheel of the package,
# installs it into .venv (the newest supported JAX) and runs the Python tests
# against it, then runs the same tests with the same wheel against the
# oldest supported JAX (scripts/test_oldest_jax.sh), and compares the draw
# digest between the two (scripts/digest.sh).
#
#   scripts/test.sh                 everything
#   VEXOL_SKIP_OLDEST_JAX=1 scripts/test.sh   the newest JAX only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

# C++: the handlers are compiled against the XLA FFI headers that
# csrc/ffi/CMakeLists.txt chooses (jaxlib 0.7.2's, fetched into the build
# directory), never silently against .venv's newer jaxlib.
BUILD=build/test
.venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python"
.venv/bin/cmake --build "$BUILD" -j 2
(cd "$BUILD" && ../../.venv/bin/ctest --output-on-failure -j 2)

# One wheel, built the way users build it (the build reuses .venv's pinned
# tools instead of an isolated environment), for every environment below.
export CMAKE_BUILD_PARALLEL_LEVEL=2
rm -rf build/dist
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-deps \
  --no-build-isolation -C build-dir=build/wheel -w build/dist .
WHEEL=$(ls build/dist/vexol-*.whl)
echo "test: built $WHEEL"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$WHEEL"

# The Python tests through the real JAX runtime. pytest runs from the
# repository root without python/ on sys.path, so the installed module is
# the one imported. Most of their time is XLA compiling on one thread, so
# the files are shared out whole (each file's compiled fixtures stay in one
# process) over VEXOL_TEST_WORKERS processes, 2 by default; 0 runs them in
# this process. The slowest tests are listed at the end.
WORKERS=${VEXOL_TEST_WORKERS:-2}
PYTEST_WORKERS="-n $WORKERS --dist loadfile"
[ "$WORKERS" = 0 ] && PYTEST_WORKERS="-p no:xdist"
export VEXOL_REFERENCE_TOOL="$PWD/$BUILD/tests/cpp/vexol_reference_draws"
.venv/bin/python -c 'import jax; print(f"test: newest JAX: jax {jax.__version__}")'
# shellcheck disable=SC2086
.venv/bin/pytest -p no:cacheprovider $PYTEST_WORKERS --durations=12 tests/python

if [ "${VEXOL_SKIP_OLDEST_JAX:-0}" != 1 ]; then
  # shellcheck disable=SC2086
  scripts/test_oldest_jax.sh "$WHEEL" $PYTEST_WORKERS --durations=12
  scripts/digest.sh .venv build/oldest-jax
fi
