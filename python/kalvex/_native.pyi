"""Type stubs for ``kalvex._native``, the package's CPython module: its reader and writer
are the protocols of kalvex/_contract.py (the package makes them through the factories)."""
from typing import Optional

from kalvex._contract import NativeReader as Reader
from kalvex._contract import NativeWriter as Writer

def open_reader(path: str, verify: bool = True, check: bool = False) -> Reader: ...
def new_writer(path: Optional[str] = None, memory_limit: int = 0) -> Writer: ...

MAX_KEY_SIZE: int

def jump_hash(digest: int, n: int, /) -> int: ...
