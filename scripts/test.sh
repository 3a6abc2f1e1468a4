#!/usr/bin/env bash
# The whole test suite from a fresh clone: installs what is needed, builds
# the C++ core and its tests and runs them, builds ONE wheel of the package,
# installs it into .venv (the newest supported JAX) and runs the Python tests
# against it, then runs the tests that can behave differently on an older
# JAX with the same wheel against the oldest supported JAX
# (scripts/test_oldest_jax.sh), and compares the draw digest between the two
# (scripts/digest.sh). Ends with the time of every stage, and per pytest pass
# the slowest tests with their share of XLA compiling (scripts/timing/).
#
#   scripts/test.sh                 everything (the README's and CI's test command)
#   scripts/test.sh --quick         the everyday loop: C++ tests, then the tests marked
#                                   `quick` on the newest JAX (docs/contributing.md)
#   VEXOL_SKIP_OLDEST_JAX=1 scripts/test.sh   the newest JAX only
set -euo pipefail
cd "$(dirname "$0")/.."
QUICK=0
case "${1:-}" in
  --quick) QUICK=1 ;;
  "") ;;
  *)
    echo "usage: $0 [--quick]" >&2
    exit 2
    ;;
esac
# shellcheck source=timing/common.sh
source scripts/timing/common.sh

stage bootstrap scripts/bootstrap.sh

# C++: the handlers are compiled against the XLA FFI headers that
# csrc/ffi/CMakeLists.txt chooses (jaxlib 0.7.2's, fetched into the build
# directory), never silently against .venv's newer jaxlib.
BUILD=build/test
cpp_build() {
  .venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python"
  .venv/bin/cmake --build "$BUILD" -j 2
}
stage "C++ build" cpp_build
stage ctest bash -c "cd $BUILD && ../../.venv/bin/ctest --output-on-failure -j 2"

# One wheel, built the way users build it (the build reuses .venv's pinned
# tools instead of an isolated environment), for every environment below.
export CMAKE_BUILD_PARALLEL_LEVEL=2
wheel() {
  rm -rf build/dist
  .venv/bin/python -m pip wheel -q --disable-pip-version-check --no-deps \
    --no-build-isolation -C build-dir=build/wheel -w build/dist .
  .venv/bin/python -m pip install -q --disable-pip-version-check --no-deps --force-reinstall \
    build/dist/vexol-*.whl
}
stage wheel wheel
WHEEL=$(ls build/dist/vexol-*.whl)
echo "test: built $WHEEL"

# The Python tests through the real JAX runtime. pytest runs from the
# repository root without python/ on sys.path, so the installed module is
# the one imported. Most of their time is XLA compiling on one thread: the
# programs are compiled once per pass into JAX's persistent compilation
# cache (build/jax-cache/, scripts/timing/common.sh), shared by the workers
# and the processes tests start. Tests are shared out by group (tests of one
# group, by default one file, stay in one process and share its compiled
# fixtures; tests/python/conftest.py's scheduler) over VEXOL_TEST_WORKERS
# processes, 2 by default; 0 runs them in this process.
WORKERS=${VEXOL_TEST_WORKERS:-2}
PYTEST_WORKERS=(-n "$WORKERS" --dist loadscope)
[ "$WORKERS" = 0 ] && PYTEST_WORKERS=(-p no:xdist)
export VEXOL_REFERENCE_TOOL="$PWD/$BUILD/tests/cpp/vexol_reference_draws"

if [ "$QUICK" = 1 ]; then
  export VEXOL_TEST_KIND=quick
  stage "pytest, newest JAX, quick" run_pytest newest-quick .venv/bin/python \
    "${PYTEST_WORKERS[@]}" -m quick tests/python
  exit 0
fi

OLDEST=$([ "${VEXOL_SKIP_OLDEST_JAX:-0}" != 1 ] && echo 1 || echo 0)
if [ "$OLDEST" = 1 ]; then
  # The oldest JAX's environment is made (pip: mostly waiting on the disk)
  # while the newest pass compiles; its output follows that pass's.
  PREPARE_LOG="$TIMING_ROOT/oldest-jax-prepare.log"
  scripts/test_oldest_jax.sh --prepare "$WHEEL" >"$PREPARE_LOG" 2>&1 &
  PREPARE_PID=$!
fi

stage "pytest, newest JAX" run_pytest newest .venv/bin/python "${PYTEST_WORKERS[@]}" tests/python

if [ "$OLDEST" = 1 ]; then
  prepare_rc=0
  wait "$PREPARE_PID" || prepare_rc=$?
  cat "$PREPARE_LOG"
  if [ "$prepare_rc" != 0 ]; then
    echo "test: preparing the oldest JAX's environment failed (status $prepare_rc)" >&2
    exit "$prepare_rc"
  fi
  stage "pytest, oldest JAX" scripts/test_oldest_jax.sh "$WHEEL" "${PYTEST_WORKERS[@]}" -m oldest_jax
  stage digest scripts/digest.sh .venv build/oldest-jax
fi
