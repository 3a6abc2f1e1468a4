# Sourced by scripts/test.sh, scripts/test_oldest_jax.sh and .ci/run.
#
# stage NAME COMMAND...   runs COMMAND (errexit on) and records its seconds
#                         and outcome in build/timing/stages.tsv; the script
#                         that started the run prints the table when it exits,
#                         failed or not, so the table is in every log.
# run_pytest LABEL PYTHON ARGS...
#                         pytest through PYTHON with the compile-time
#                         accounting (scripts/timing/sitecustomize.py) and, where
#                         it is safe, JAX's persistent compilation cache, then
#                         the pass's timing table (scripts/timing/report.py).
TIMING_ROOT="$PWD/build/timing"
if [ -z "${VEXOL_STAGES:-}" ]; then
  rm -rf "$TIMING_ROOT"
  mkdir -p "$TIMING_ROOT"
  export VEXOL_STAGES="$TIMING_ROOT/stages.tsv"
  export VEXOL_STAGE_DEPTH=0
  : >"$VEXOL_STAGES"
  VEXOL_RUN_START=$SECONDS
  print_stage_table() {
    local rc=$?
    echo
    echo "== timing: stages (seconds) =="
    # Columns: start (epoch seconds), depth, name, seconds, outcome; a stage
    # is listed before the stages run inside it.
    sort -t$'\t' -k1,1g "$VEXOL_STAGES" |
      awk -F'\t' '{ pad = ""; for (i = 0; i < $2; i++) pad = pad "  ";
                    printf "  %6d  %-8s %s%s\n", $4, $5, pad, $3 }'
    printf '  %6d  %-8s %s\n' $((SECONDS - VEXOL_RUN_START)) \
      "$([ "$rc" = 0 ] && echo ok || echo "rc=$rc")" "total"
    return "$rc"
  }
  trap print_stage_table EXIT
fi

stage() {
  local name=$1 t0=$SECONDS start rc
  start=$(date +%s.%N)
  shift
  VEXOL_STAGE_DEPTH=$((VEXOL_STAGE_DEPTH + 1))
  export VEXOL_STAGE_DEPTH
  set +e
  (
    set -e
    "$@"
  )
  rc=$?
  set -e
  VEXOL_STAGE_DEPTH=$((VEXOL_STAGE_DEPTH - 1))
  printf '%s\t%d\t%s\t%d\t%s\n' "$start" "$VEXOL_STAGE_DEPTH" "$name" $((SECONDS - t0)) \
    "$([ "$rc" = 0 ] && echo ok || echo "rc=$rc")" >>"$VEXOL_STAGES"
  return "$rc"
}

# JAX's persistent compilation cache, one folder per JAX version, made
# afresh by every full run (--quick keeps its own between runs, keyed by the
# installed extension module). Checked on jax 0.12.1: the custom calls', the
# JAX path's and the density's programs read back from the cache give the
# same bits as compiled ones. Off for jaxlib older than 0.6: jaxlib 0.5.3's
# CPU executables read back from the cache return NaN (or 1e-12) for the
# JAX path's rejection samplers (measured: vexol.polya_gamma(...,
# implementation="jax") at h = 1, 2, 4.5, 20 and 0.5), so that pass compiles
# every program itself. Releases between 0.6 and 0.12 are not checked.
jax_cache_env() {
  local python=$1 kind=$2 version key
  version=$("$python" -c 'import jax; print(jax.__version__)')
  if [ "${VEXOL_JAX_CACHE:-1}" = 0 ] || ! "$python" -c '
import sys, jaxlib.version as v
sys.exit(0 if tuple(map(int, v.__version__.split(".")[:2])) >= (0, 6) else 1)'; then
    echo "test: jax $version: persistent compilation cache off" >&2
    return
  fi
  if [ "$kind" = quick ]; then
    key=$("$python" -c 'import vexol_cpp, hashlib; print(hashlib.sha256(open(vexol_cpp.__file__, "rb").read()).hexdigest()[:12])' 2>/dev/null || echo none)
    CACHE_DIR="$PWD/build/jax-cache/quick-jax-$version-$key"
  else
    CACHE_DIR="$PWD/build/jax-cache/jax-$version"
    rm -rf "$CACHE_DIR"
  fi
  mkdir -p "$CACHE_DIR"
  echo "JAX_COMPILATION_CACHE_DIR=$CACHE_DIR"
  echo "JAX_PERSISTENT_CACHE_MIN_COMPILE_TIME_SECS=0"
  echo "JAX_PERSISTENT_CACHE_MIN_ENTRY_SIZE_BYTES=-1"
}

run_pytest() {
  local label=$1 python=$2 dir rc
  shift 2
  dir="$TIMING_ROOT/pytest-$label"
  rm -rf "$dir"
  local -a cache
  mapfile -t cache < <(jax_cache_env "$python" "${VEXOL_TEST_KIND:-full}")
  set +e
  env "${cache[@]}" VEXOL_TIMING_DIR="$dir" \
    PYTHONPATH="$PWD/scripts/timing${PYTHONPATH:+:$PYTHONPATH}" \
    "$python" -m pytest -p no:cacheprovider "$@"
  rc=$?
  set -e
  "$python" scripts/timing/report.py "$dir" "pytest, $label ($("$python" -c 'import jax; print("jax", jax.__version__)'))" || true
  return "$rc"
}
