#!/usr/bin/env bash
# Fuzzes pg_sample and the two handlers with libFuzzer under ASan and UBSan.
#
#   scripts/fuzz.sh [seconds] [extra libFuzzer options...]
#
# Default 60 s (what CI runs); a longer campaign is the same command with
# more seconds, e.g. scripts/fuzz.sh 3600. The run starts from fuzz/corpus
# and adds what it finds to build/fuzz/corpus (copy useful new inputs into
# fuzz/corpus with -merge=1, see docs/hardening.md). A crash, a sanitizer
# report, a hang or a contract failure stops the run with a non-zero status
# and leaves the reproducer in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN="${1:-60}"
shift || true

command -v clang++ >/dev/null || scripts/bootstrap.sh
[ -x .venv/bin/cmake ] || scripts/bootstrap.sh

BUILD=build/fuzz
SAN="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
.venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $SAN" \
  -DCMAKE_EXE_LINKER_FLAGS="$SAN" \
  -DVEXOL_BUILD_TESTS=OFF \
  -DCMAKE_PROJECT_vexol_INCLUDE="$PWD/fuzz/fuzz.cmake" \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
.venv/bin/cmake --build "$BUILD" --target pg_fuzz -j 2

mkdir -p "$BUILD/corpus" "$BUILD/artifacts"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Two threads for the workers of the large calls, whatever the machine.
export VEXOL_NUM_THREADS="${VEXOL_NUM_THREADS:-2}"
# -timeout: one input running longer than this is reported as a hang.
exec "$BUILD/pg_fuzz" "$BUILD/corpus" fuzz/corpus \
  -max_total_time="$SECONDS_TO_RUN" -timeout=20 -rss_limit_mb=2048 \
  -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$BUILD/artifacts/" "$@"
