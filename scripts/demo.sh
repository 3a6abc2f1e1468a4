#!/usr/bin/env bash
# The demo from a fresh clone: installs what is needed (scripts/bootstrap.sh),
# builds and installs vexol into .venv, then runs the Pólya-Gamma Gibbs
# sampler for Bayesian logistic regression. Arguments go to the example,
# e.g. scripts/demo.sh --iterations 20000 --seed 1 --output out/demo.png
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

# Rebuilding the extension takes a while; skip it when nothing that goes
# into the installed package changed since the last install.
STAMP=.venv/.vexol-demo-install
current=$(git ls-files -s -- pyproject.toml CMakeLists.txt csrc python 2>/dev/null | sha256sum)
current+=$(git diff -- pyproject.toml CMakeLists.txt csrc python 2>/dev/null | sha256sum)
if [ ! -f "$STAMP" ] || [ "$(cat "$STAMP")" != "$current" ] ||
   ! .venv/bin/python -c "import vexol, vexol_cpp" 2>/dev/null; then
  echo "demo: building and installing vexol into .venv"
  .venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .
  printf '%s' "$current" > "$STAMP"
fi

exec .venv/bin/python examples/gibbs_logistic.py "$@"
