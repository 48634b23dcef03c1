"""Builds are a function of their input: the same adds and options give the same bytes on
every run, whichever backend (the CPython module or the cffi binding) builds them, and
whether or not the process built anything before."""
import importlib
import subprocess
import sys

import pytest

import kalvex
from kalvex import _backend

DATA = {f"user:{i:04d}": {"n": i, "tags": ["a", "b"][: i % 3]} for i in range(3000)}
DATA.update({"": None, "é": "text", "user:": [1, 2]})

SCRIPT = """
import sys
from kalvex import _backend
import kalvex
_backend.use(sys.argv[1])
data = {f"user:{i:04d}": {"n": i, "tags": ["a", "b"][: i % 3]} for i in range(3000)}
data.update({"": None, "é": "text", "user:": [1, 2]})
kalvex.build(sys.argv[2], data, index=sys.argv[3] == "1")
"""


def available():
    names = []
    for name in _backend.NAMES:
        try:
            importlib.import_module(f"kalvex._{name}")
        except ImportError:  # the CPython module under PyPy
            continue
        names.append(name)
    return names


@pytest.mark.parametrize("index", [True, False])
def test_same_adds_give_the_same_bytes_on_every_backend_and_run(tmp_path, index):
    built = []
    for name in available():
        for run in range(2):
            path = tmp_path / f"{name}{run}.klvx"
            # One build in this process, one in a fresh one: no state carries over.
            if run == 0:
                before = _backend.BACKEND
                _backend.use(name)
                try:
                    kalvex.build(path, DATA, index=index)
                finally:
                    _backend.BACKEND = before
            else:
                subprocess.run([sys.executable, "-c", SCRIPT, name, str(path), "1" if index else "0"], check=True)
            built.append(path.read_bytes())
    assert all(data == built[0] for data in built)
    with kalvex.KalvReader(tmp_path / f"{available()[0]}0.klvx") as r:
        assert r.stats()["index"] == index and dict(r.items()) == DATA
