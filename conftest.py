"""Runs the code examples of the README, the documentation site and the public docstrings.

pytest collects them only when given those files (tools/test.sh passes README.md, docs/
and python/kalvex on CPython), through Sybil: the Python code blocks and shell sessions
(```console) of the Markdown pages, and the doctest examples of the docstrings. Each page
or module runs in a fresh temporary directory, so an example may write stores under plain
names. An example that cannot run here (a Dask cluster, a Spark job) carries an explicit
skip with its reason in the page itself: ``<!-- skip: next "reason" -->`` before a block,
``# doctest: +SKIP`` in a docstring; both are reported as skipped.

Sybil is imported only once such a file is collected: the test suites proper do not need it.
"""
from __future__ import annotations

import doctest
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable, Optional

import pytest

_ROOT = Path(__file__).parent.resolve()
_collect: Optional[Callable[[Path, Any], Any]] = None


def _enter_scratch_dir(namespace: dict[str, Any]) -> None:
    namespace["__previous_cwd"] = os.getcwd()
    namespace["__scratch"] = tempfile.mkdtemp(prefix="kalvex-example-")
    os.chdir(namespace["__scratch"])


_README_USERS = [
    {"id": "u1", "email": "ada@example.org", "name": "Ada", "plan": "free"},
    {"id": "u2", "email": "bob@example.org", "name": "Bob", "plan": "pro"},
]


def _enter_docs_page(namespace: dict[str, Any]) -> None:
    # The C interface's page compiles the C examples "in the current directory".
    _enter_scratch_dir(namespace)
    for source in (_ROOT / "examples" / "c").glob("*.c"):
        shutil.copy(source, source.name)


def _enter_readme(namespace: dict[str, Any]) -> None:
    # The README's shell session starts from the records it shows with `cat` and compares
    # with a later day's store, whose making it does not show.
    import json

    import kalvex

    _enter_scratch_dir(namespace)
    with open("users.jsonl", "w") as f:
        f.writelines(json.dumps(user) + "\n" for user in _README_USERS)
    ada = dict(_README_USERS[0], plan="pro")
    cy = {"id": "u3", "email": "cy@example.org", "name": "Cy", "plan": "free"}
    with kalvex.KalvWriter("users-tuesday.klvx") as w:
        for user in (ada, cy):
            w.add(user, user["id"], user["email"])


def _leave_scratch_dir(namespace: dict[str, Any]) -> None:
    os.chdir(namespace["__previous_cwd"])
    shutil.rmtree(namespace["__scratch"], ignore_errors=True)


def _run_console(example: Any) -> None:
    # A ```console block is a shell session: each "$ " line runs in the page's directory
    # with the installed `kalvex` first on PATH, and the lines up to the next "$ " must be
    # what it wrote, standard output then standard error (whatever its exit status).
    path = os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]])
    env = dict(os.environ, PATH=path)
    for session in re.split(r"^\$ ", str(example.parsed), flags=re.MULTILINE)[1:]:
        command, _, expected = session.partition("\n")
        done = subprocess.run(command, shell=True, capture_output=True, text=True, env=env)
        got = [line.rstrip() for line in (done.stdout + done.stderr).splitlines()]
        want = [line.rstrip() for line in expected.rstrip("\n").splitlines()]
        if got != want:
            raise AssertionError(f"$ {command}\nexpected:\n" + "\n".join(want)
                                 + "\ngot:\n" + "\n".join(got))


def _prepare_docstring_stores(namespace: dict[str, Any]) -> None:
    # The stores the docstrings read, as a reader of the reference would have made them.
    import kalvex
    import kalvex.shards

    _enter_scratch_dir(namespace)
    namespace["kalvex"] = kalvex
    users = {"user:1": {"name": "Ada"}, "user:2": {"name": "Bob"}}
    kalvex.build("users.klvx", users)
    kalvex.build("2025.klvx", {"user:1": {"name": "Ada"}})
    kalvex.build("2026.klvx", {"user:2": {"name": "Bob"}})
    with kalvex.shards.Staging("users.shards", 16) as staging:
        staging.publish([
            kalvex.shards.write_shard(
                staging.path, shard, 16,
                [(key, value) for key, value in users.items() if kalvex.shard_of(key, 16) == shard])
            for shard in range(16)
        ])


def _collector() -> Callable[[Path, Any], Any]:
    import unittest

    from sybil import Sybil
    from sybil.evaluators.doctest import DocTestEvaluator
    from sybil.parsers.abstract import DocTestStringParser
    from sybil.parsers.markdown import CodeBlockParser, PythonCodeBlockParser, SkipParser
    from sybil.sybil import SybilCollection

    class SkipAwareDocTestEvaluator(DocTestEvaluator):
        # A `# doctest: +SKIP` example is reported as skipped, not as passed.
        def __call__(self, example: Any) -> str:
            if example.parsed.options.get(doctest.SKIP):
                raise unittest.SkipTest("doctest: +SKIP")
            return super().__call__(example)

    doctests = DocTestStringParser(
        SkipAwareDocTestEvaluator(doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE))

    page_parsers = [PythonCodeBlockParser(), CodeBlockParser("console", _run_console), SkipParser()]
    readme = Sybil(parsers=page_parsers, patterns=["README.md"], setup=_enter_readme,
                   teardown=_leave_scratch_dir, name="readme")
    pages = Sybil(parsers=page_parsers, patterns=["docs/*.md"], setup=_enter_docs_page,
                  teardown=_leave_scratch_dir, name="pages")
    # The docstrings of the public modules, which the site's API reference shows. Each
    # module's examples run in that module's namespace, imported as installed.
    docstrings = Sybil(
        parsers=[lambda document: doctests(document.text, document.path)],
        patterns=["python/kalvex/*.py", "python/kalvex/*/*.py"],
        excludes=["python/kalvex/_[!_]*.py", "python/kalvex/*/_[!_]*.py", "__main__.py"],
        setup=_prepare_docstring_stores,
        teardown=_leave_scratch_dir,
        name="docstrings",
    )
    return SybilCollection([readme, pages, docstrings]).pytest()


def pytest_collect_directory(path: Path, parent: Any) -> Any:
    # The package's source holds docstrings, not tests: a plain directory, never a package,
    # so pytest does not import the source in place of the installed package (which has the
    # compiled modules).
    if path.resolve().is_relative_to(_ROOT / "python"):
        return pytest.Dir.from_parent(parent, path=path)
    return None


def _asked_for(file_path: Path, config: Any) -> bool:
    # pytest offers every file of the directories it walks on the way to its arguments (the
    # README among them); examples run only from files or directories named on the command line.
    for arg in config.args:
        target = (config.invocation_params.dir / arg.split("::")[0]).resolve()
        if target == file_path or target in file_path.parents:
            return True
    return False


def pytest_collect_file(file_path: Path, parent: Any) -> Any:
    global _collect
    if file_path.suffix not in (".md", ".py") or file_path.name == "conftest.py":
        return None
    file_path = file_path.resolve()
    if not file_path.is_relative_to(_ROOT):
        return None
    relative = file_path.relative_to(_ROOT)
    if not (relative.parts[0] in ("docs", "python") or relative.name == "README.md"):
        return None
    if not _asked_for(file_path, parent.config):
        return None
    if _collect is None:
        _collect = _collector()
    return _collect(file_path, parent)
