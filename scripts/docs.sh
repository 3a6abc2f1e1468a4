#!/usr/bin/env bash
# Builds the documentation site into build/docs/html (open
# build/docs/html/index.html from the file system), offline, with Sphinx's
# warnings as errors. The examples gallery is run first at a reduced size
# (docs/gallery.py) so that its pages show this build's own output and
# figures. Uses .venv and the vexol installed there (scripts/test.sh, or
# scripts/bootstrap.sh and `.venv/bin/pip install --no-build-isolation .`).
#
#   scripts/docs.sh                 gallery run + site
#   VEXOL_DOCS_GALLERY=0 scripts/docs.sh    the site with the gallery run
#                                   kept from an earlier build
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=build/docs
mkdir -p "$OUT"
start=$SECONDS
if [ "${VEXOL_DOCS_GALLERY:-1}" != 0 ] || [ ! -d "$OUT/gallery" ]; then
  .venv/bin/python docs/gallery.py --out "$OUT/gallery"
fi
# autosummary writes a page source per public name: none may outlive its name.
rm -rf docs/api/generated
.venv/bin/python -m sphinx -b html -E -W --keep-going -q -j 1 \
  -d "$OUT/doctrees" docs "$OUT/html"
echo "docs: built $OUT/html/index.html in $((SECONDS - start)) s"
