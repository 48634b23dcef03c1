"""The backend contract (kalvex/_contract.py) through a cffi binding of libkalvex: the
package's path on PyPy, where a cffi call costs tens of nanoseconds and a call through the
emulated C API hundreds. ``errors`` turns a failed call into the package's exception;
``reader`` and ``writer`` are the two native objects."""
from __future__ import annotations

from kalvex._cffi.reader import Reader
from kalvex._cffi.writer import Writer


def open_reader(path: str, verify: bool, check: bool = False) -> Reader:
    return Reader(path, verify, check)


def new_writer() -> Writer:
    return Writer()
