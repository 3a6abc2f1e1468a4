"""Sphinx configuration of vexol's documentation site (scripts/docs.sh)."""

from __future__ import annotations

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The package documented is the one importable here: scripts/docs.sh runs
# with .venv's installed vexol, or with python/ first on the path when
# VEXOL_DOCS_SOURCE=1 (a change to docstrings seen without a rebuild).
if os.environ.get("VEXOL_DOCS_SOURCE") == "1":
    sys.path.insert(0, str(ROOT / "python"))

import vexol  # noqa: E402

project = "vexol"
author = "The vexol developers"
copyright = "2026, the vexol developers"
release = vexol.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "sphinx.ext.viewcode",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "Thumbs.db", ".DS_Store", "_gallery_templates"]

# MyST: headings get anchors (the pages link to their sections), $...$ math.
myst_enable_extensions = ["dollarmath", "colon_fence", "deflist"]
myst_heading_anchors = 3

autosummary_generate = True
autosummary_imported_members = True
autodoc_typehints = "signature"
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": False}
napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_rtype = False
# A NamedTuple's fields are its members already: its Attributes section
# describes them as fields of the class page instead of second entries.
napoleon_use_ivar = True

html_theme = "furo"
html_title = f"vexol {release}"
html_show_sourcelink = False
# Everything the pages need is in the build directory (fonts and scripts of
# the theme included): the site is read from the file system, offline.
html_copy_source = False
# Search results without summaries: a summary is fetched from its page,
# which browsers refuse to pages read from the file system.
html_show_search_summary = False

nitpicky = False
