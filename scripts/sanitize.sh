#!/usr/bin/env bash
# Builds the C++ tests with sanitizers and runs them.
#
#   scripts/sanitize.sh asan   AddressSanitizer + UndefinedBehaviorSanitizer
#                              (any report is fatal), in build/asan
#   scripts/sanitize.sh tsan   ThreadSanitizer, in build/tsan
#
# CXX chooses the compiler (default clang++; CXX=g++ builds in
# build/asan-g++ or build/tsan-g++). VEXOL_TEST_SCALE (default 4 here, 1
# in the normal run) divides the repetitions of two hardening tests, so
# that the instrumented builds stay within the CI budget: the rounds of the
# concurrent-calls test (at least 1) and the calls of the many-small-calls
# test (at least 50). No statistical test reads it.
set -euo pipefail
cd "$(dirname "$0")/.."
MODE="${1:-}"
case "$MODE" in
  asan)
    # Every report is fatal. The one exception: enum loads inside the XLA
    # FFI headers, which the binding tests provoke on purpose (see
    # tests/cpp/ubsan_suppressions.txt); suppressing a check needs it to be
    # recoverable, and halt_on_error keeps every other enum report fatal.
    SAN="-fsanitize=address,undefined -fno-sanitize-recover=all -fsanitize-recover=enum"
    export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1:suppressions=$PWD/tests/cpp/ubsan_suppressions.txt}"
    ;;
  tsan)
    SAN="-fsanitize=thread"
    # die_after_fork=0: the worker pool test forks a multi-threaded process on
    # purpose and checks that the child starts workers of its own.
    export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:die_after_fork=0}"
    ;;
  *)
    echo "usage: $0 asan|tsan" >&2
    exit 2
    ;;
esac

command -v "${CXX:-clang++}" >/dev/null || scripts/bootstrap.sh
[ -x .venv/bin/cmake ] || scripts/bootstrap.sh

# One build directory per mode, and per compiler when CXX chooses one.
BUILD="build/$MODE${CXX:+-$(basename "$CXX")}"
.venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
  -DCMAKE_CXX_FLAGS="$SAN -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="$SAN" \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python"
.venv/bin/cmake --build "$BUILD" -j 2

export VEXOL_TEST_SCALE="${VEXOL_TEST_SCALE:-4}"
(cd "$BUILD" && ../../.venv/bin/ctest --output-on-failure -j 2 --timeout 900)
