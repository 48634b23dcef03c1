"""The backend contract (kalvex/_contract.py) through a cffi binding of libkalvex: the
package's path on PyPy, where a cffi call costs tens of nanoseconds and a call through the
emulated C API hundreds. ``errors`` turns a failed call into the package's exception;
``reader`` and ``writer`` are the two native objects."""
from __future__ import annotations

from typing import Optional

from kalvex._cffi.reader import Reader
from kalvex._cffi.writer import Writer
from kalvex._kalvex_cffi import lib


def open_reader(path: str, verify: bool, check: bool = False) -> Reader:
    return Reader(path, verify, check)


def new_writer(path: Optional[str] = None, memory_limit: int = 0) -> Writer:
    return Writer(path, memory_limit)


def jump_hash(digest: int, n: int) -> int:
    if type(n) is not int or not 1 <= n < 1 << 31:
        raise ValueError("n must be from 1 to 2**31 - 1")
    return int(lib.kalvex_jump_hash(digest, n))
