#!/usr/bin/env bash
# Data-parallel Pólya-Gamma Gibbs sampling as several local processes joined
# through JAX's distributed runtime on 127.0.0.1 (examples/launch_local.py).
#   scripts/distributed.sh --num-processes 2 --local-devices 1 -- --rows 100000 --sweeps 500
# Options before `--` go to the launcher (--num-processes, --local-devices,
# --timeout, --env RANK:NAME=VALUE), the rest to examples/distributed_gibbs.py.
set -euo pipefail
cd "$(dirname "$0")/.."
exec .venv/bin/python examples/launch_local.py "$@"
