#!/usr/bin/env bash
# Validation report: large seeded samples of every sampling regime, drawn
# through the JAX custom call of the installed package, against the exact
# law of PG(h, z). Writes docs/validation.md and docs/validation.png.
#
#   scripts/validate.sh            # 10^6 draws per case
#   scripts/validate.sh --n 200000 # quicker
#
# Needs vexol_cpp installed in .venv (.venv/bin/pip install --no-build-isolation .).
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p docs
exec .venv/bin/python validation/validate.py "$@"
