#!/usr/bin/env bash
# The demo from a fresh clone: installs what the demo needs (`scripts/bootstrap.sh
# demo`: a compiler, git and .venv; the test tools are left to scripts/test.sh),
# builds and installs vexol into .venv, then runs a Pólya-Gamma Gibbs sampler
# (vexol.gibbs) and NumPyro's NUTS on the same model:
#   scripts/demo.sh [args]               logistic regression, breast cancer (examples/gibbs_logistic.py)
#   scripts/demo.sh negbin [args]        negative binomial, RAND HIE (examples/negbin_regression.py)
#   scripts/demo.sh hierarchical [args]  hierarchical logistic, Fair's affairs (examples/hierarchical_logistic.py)
#   scripts/demo.sh digits [args]        multinomial logistic, digits (examples/multinomial_digits.py)
#   scripts/demo.sh hmcgibbs [args]      NumPyro HMCGibbs with vexol's Gibbs step (examples/numpyro_hierarchical_logistic.py)
# Arguments go to the example, e.g.
#   scripts/demo.sh --sweeps 16000 --warmup 4000 --chains 2 --seed 1 --output out/demo.png
#   scripts/demo.sh negbin --sweeps 1000 --nuts-samples 0
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh demo

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

example=examples/gibbs_logistic.py
case "${1:-}" in
  negbin) example=examples/negbin_regression.py ;;
  hierarchical) example=examples/hierarchical_logistic.py ;;
  digits) example=examples/multinomial_digits.py ;;
  hmcgibbs) example=examples/numpyro_hierarchical_logistic.py ;;
esac
if [ "$example" != examples/gibbs_logistic.py ]; then
  shift
fi
exec .venv/bin/python "$example" "$@"
