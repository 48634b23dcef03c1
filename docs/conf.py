"""Sphinx configuration of the kalvex documentation site.

The API reference comes from the installed package's docstrings, the command reference
from its argument parser, the C interface from include/kalvex.h and the performance page
from the newest report in bench/results, so the site follows the code. Nothing is fetched
at build time (no intersphinx, no remote assets). From the top of a checkout, in a fresh
environment (the command README.md gives, which tools/test.sh runs as written):

    pip install ".[docs]" && python -m sphinx -W --keep-going -b html docs build/docs
"""
import argparse
import os
import re
import shutil
from pathlib import Path

import kalvex

project = "kalvex"
author = "kalvex developers"
copyright = "2026, kalvex developers"
release = version = kalvex.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "_generated"]
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
# And the newest chart of bench/compare_growth.py (no report page of its own).
_growth = max(_results.glob("growth-*.png"), key=lambda path: path.stem[-10:] + path.stem)
shutil.copyfile(_growth, _generated / "growth.png")


# The command reference: each parser's own help, as `kalvex COMMAND --help` prints it at 88
# columns. The descriptions become paragraphs, every ASCII punctuation mark escaped so that
# Markdown shows the text exactly as written (the key listings' "\xNN" and "\\" included);
# usage, options and examples stay literal blocks. No defaults are added: a help text
# names its default where that says something.
def _markdown_text(text: str) -> str:
    return re.sub(r"([!-/:-@\[-`{-~])", r"\\\1", text)


def _help_sections(parser: argparse.ArgumentParser) -> list[str]:
    description, epilog = parser.description, parser.epilog
    parser.description = parser.epilog = None
    try:
        body = parser.format_help().rstrip()
    finally:
        parser.description, parser.epilog = description, epilog
    out = [_markdown_text(paragraph) + "\n" for paragraph in (description or "").split("\n\n") if paragraph]
    out += ["```text", body, "```", ""]
    if epilog:
        out += ["```text", epilog.rstrip(), "```", ""]
    return out


def _command_reference() -> str:
    from kalvex.cli import _parser

    columns = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = "88"  # argparse wraps to the terminal's width, read from here
    try:
        parser = _parser()
        out = _help_sections(parser)
        commands = next(action for action in parser._actions
                        if isinstance(action, argparse._SubParsersAction))
        for name, command in commands.choices.items():
            out += [f"## kalvex {name}", ""] + _help_sections(command)
    finally:
        if columns is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = columns
    return "\n".join(out)


(_generated / "cli-reference.md").write_text(_command_reference(), encoding="utf-8")
