"""The one place that chooses the native backend: once, at import.

On CPython ``kalvex._native``, the package's own module; on PyPy the cffi binding of
libkalvex (``kalvex._cffi``), where every call through the emulated C API would cost
hundreds of nanoseconds. Both implement the contract of ``kalvex._contract``; everything
above this seam is written once against it.

Readers and writers take ``BACKEND`` when they are made, so ``use()`` (for the test suite,
which runs the package's tests on each backend under one interpreter) switches what later
readers and writers use, and nothing else.
"""
from __future__ import annotations

import importlib
import sys

from kalvex._contract import NativeBackend

NAMES = ("native", "cffi")


def use(name: str) -> None:
    """Readers and writers made from now on use the backend ``name`` (one of NAMES);
    ImportError when it was not built here."""
    if name not in NAMES:
        raise ValueError(f"backend must be one of {NAMES}, not {name!r}")
    # Not `global BACKEND`: PyPy 3.9 refuses that beside the annotated assignment below.
    globals()["BACKEND"] = importlib.import_module(f"kalvex._{name}")


BACKEND: NativeBackend = importlib.import_module(f"kalvex._{'cffi' if sys.implementation.name == 'pypy' else 'native'}")
