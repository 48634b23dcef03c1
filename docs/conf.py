"""Sphinx configuration of the kalvex documentation site.

The API reference comes from the installed package's docstrings, the command reference
from its argument parser, the C interface from include/kalvex.h and the performance page
from the newest report in bench/results, so the site follows the code. Nothing is fetched
at build time (no intersphinx, no remote assets); build with warnings as errors:

    python -m sphinx -W --keep-going -b html docs build/docs
"""
import shutil
from pathlib import Path

import kalvex

project = "kalvex"
author = "kalvex developers"
copyright = "2026, kalvex developers"
release = version = kalvex.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinxarg.ext"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "_generated", "requirements.txt"]
root_doc = "index"

myst_heading_anchors = 3
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_typehints_format = "short"
autodoc_default_options = {"members": True}

# Option names and shell lines stay as typed: no curly quotes, no dashes made of "--".
smartquotes = False

html_theme = "furo"
html_title = f"kalvex {release}"

# The performance page shows the newest comparison run (its files are named by machine and
# date): copied beside the pages, since Sphinx takes images from its own source tree only.
_here = Path(__file__).parent
_results = _here.parent / "bench" / "results"
_generated = _here / "_generated"
_generated.mkdir(exist_ok=True)
_newest = max(_results.glob("*.md"), key=lambda path: path.stem[-10:] + path.stem)
shutil.copyfile(_newest, _generated / "report.md")
shutil.copyfile(_newest.with_suffix(".png"), _generated / "chart.png")
