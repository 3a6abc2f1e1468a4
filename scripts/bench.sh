#!/usr/bin/env bash
# Benchmarks: builds the per-draw benchmarks into build/bench, prints their
# table (ns per draw, ratio to the generator floor, goal), then the figures
# through JAX (threads, per-call overhead, the 200-gamma series baseline).
#
#   scripts/bench.sh                       # everything
#   scripts/bench.sh --series-max-n 10000000  # also time the series at n = 10^7 (minutes)
#
# The JAX part uses the vexol_cpp installed in .venv
# (.venv/bin/pip install --no-build-isolation .). On a shared machine the
# figures move from run to run: compare medians and ratios from one run.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/bench
.venv/bin/cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -DVEXOL_BUILD_BENCHMARKS=ON -DVEXOL_BUILD_TESTS=OFF >/dev/null
.venv/bin/cmake --build "$BUILD" -j 2 --target vexol_benchmarks

echo
echo "== Per-draw cost on one core (Google Benchmark) =="
.venv/bin/python benchmarks/report.py "$BUILD/benchmarks/vexol_benchmarks"

echo
echo "== Through JAX =="
.venv/bin/python benchmarks/jax_end_to_end.py "$@"
taskset -c 0 env XLA_FLAGS="--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1" .venv/bin/python benchmarks/jax_density.py
taskset -c 0 env XLA_FLAGS="--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1" VEXOL_NUM_THREADS=1 .venv/bin/python benchmarks/jax_path.py

echo
echo "== vmapped rows on 1 and 2 threads, float32 against float64, shared inputs =="
.venv/bin/python benchmarks/jax_batched.py
