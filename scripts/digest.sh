#!/usr/bin/env bash
# Runs validation/digest.py in each given environment, under the default
# libm and with glibc's FMA and AVX2 variants switched off, prints its
# reports, and checks that the environments draw the same digest under each
# setting (the same wheel on different JAX releases must not change a bit).
#
#   scripts/digest.sh ENV [ENV...]        e.g. scripts/digest.sh .venv build/oldest-jax
#
# Exit status: non-zero when digest.py fails (this libm is one the reference
# was recorded on, yet the draws differ) or when two environments differ.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
[ $# -gt 0 ] || { echo "usage: $0 ENV [ENV...]" >&2; exit 2; }
NO_FMA="glibc.cpu.hwcaps=-AVX2,-FMA,-AVX512F"
status=0
for setting in default no-fma; do
  digests=()
  for env in "$@"; do
    echo "== digest: $env, libm $setting"
    tunables=""
    [ "$setting" = no-fma ] && tunables="$NO_FMA"
    # From a neutral directory, so that the installed package is the one used.
    if ! out=$(cd /tmp && GLIBC_TUNABLES="$tunables" "$ROOT/$env/bin/python" \
      "$ROOT/validation/digest.py" 2>&1); then
      status=1
    fi
    echo "$out"
    digests+=("$(echo "$out" | sed -n 's/^sha256 //p')")
  done
  if [ "$(printf '%s\n' "${digests[@]}" | sort -u | wc -l)" -ne 1 ] || [ -z "${digests[0]}" ]; then
    echo "digest: the environments drew different digests with libm $setting: ${digests[*]}" >&2
    status=1
  else
    echo "digest: libm $setting: the same digest in all $# environments (${digests[0]:0:16})"
  fi
done
exit $status
