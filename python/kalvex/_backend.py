"""The one place that chooses the native backend, once, at import.

Everything above this seam (decoding, errors, closing, iteration) is written once and
works on either backend:

- ``module``: the C-API extension ``kalvex._kalvex``, the fastest path on CPython.
- ``cffi``: a cffi binding of the C library ``libkalvex``, the fast path on PyPy, where
  every call through the C-API emulation costs several hundred nanoseconds.

Both answer the same raw-reader and raw-writer surface (the methods of ``_KalvReader`` and
``_KalvWriter``) with the same values and raise the same built-in exceptions with the same
texts; ``errors.translate`` names them. What the backends do differently sits behind the
``Backend`` methods below: how a listing is walked.

``KALVEX_BACKEND`` (``module`` or ``cffi``) forces a choice. It exists so the tests can run
the package's suite on both paths under one interpreter; it is not a user setting.
"""
from __future__ import annotations

import importlib
import os
import sys
from typing import Any, Iterable, Optional, Protocol, Union

Key = Union[str, bytes]


class RawReader(Protocol):
    """The native reader surface the package uses (``_KalvReader``'s methods).

    ``close()`` frees the native reader where the backend can (cffi); the C-API module's
    reader keeps its mapping until it is dropped.
    """

    def get_raw(self, key: Key) -> Optional[bytes]: ...
    def exists(self, key: Key) -> bool: ...
    def keys(self) -> list[str]: ...
    def prefix_raw(self, prefix: Key) -> list[tuple[str, bytes]]: ...
    def items_raw(self) -> list[tuple[str, bytes]]: ...
    def items_raw_bytes(self) -> list[tuple[bytes, bytes]]: ...
    def objects_raw(self) -> list[bytes]: ...
    def stats(self) -> dict[str, Any]: ...
    def verify(self) -> bool: ...
    def close(self) -> None: ...


class RawWriter(Protocol):
    """The native writer surface the package uses (``_KalvWriter``'s methods)."""

    def add_object_raw(self, raw_bytes: bytes) -> int: ...
    def add_key(self, key: Key, obj_id: int) -> None: ...
    def build(self, path: str) -> None: ...


# U+FFFD in a key read as text means its stored bytes may not be UTF-8: the text form is
# lossy there, so exact bytes must come from the byte listing instead.
_REPLACEMENT = "\ufffd"


class ModuleBackend:
    """The C-API extension: whole listings come back as lists in one call each."""

    name = "module"

    def __init__(self) -> None:
        from kalvex import _kalvex

        self._module = _kalvex

    def open_reader(self, path: str, verify: bool) -> RawReader:
        reader: RawReader = self._module._KalvReader(path, verify)
        return reader

    def new_writer(self) -> RawWriter:
        writer: RawWriter = self._module._KalvWriter()
        return writer

    def items(self, raw: RawReader, prefix: bytes, bytes_keys: bool) -> Iterable[tuple[Key, bytes]]:
        """(key, payload) pairs in key order whose key starts with ``prefix``."""
        if not bytes_keys:
            return raw.prefix_raw(prefix) if prefix else raw.items_raw()
        if not prefix:
            return raw.items_raw_bytes()
        pairs = raw.prefix_raw(prefix)
        if any(_REPLACEMENT in key for key, _ in pairs):
            return [pair for pair in raw.items_raw_bytes() if pair[0].startswith(prefix)]
        return [(key.encode(), payload) for key, payload in pairs]

    def keys(self, raw: RawReader, prefix: bytes, bytes_keys: bool) -> Iterable[Key]:
        """Keys in key order that start with ``prefix``."""
        if prefix:
            return [key for key, _ in self.items(raw, prefix, bytes_keys)]
        keys = raw.keys()
        if not bytes_keys:
            return keys
        if any(_REPLACEMENT in key for key in keys):
            return [key for key, _ in raw.items_raw_bytes()]
        return [key.encode() for key in keys]


class CffiBackend:
    """libkalvex through cffi: listings walk index positions lazily, a chunk per call."""

    name = "cffi"

    def __init__(self) -> None:
        module = importlib.import_module("kalvex._cffi_backend")
        self._reader_class = module.CffiReader
        self._writer_class = module.CffiWriter

    def open_reader(self, path: str, verify: bool) -> RawReader:
        reader: RawReader = self._reader_class(path, verify)
        return reader

    def new_writer(self) -> RawWriter:
        writer: RawWriter = self._writer_class()
        return writer

    def _range(self, raw: Any, prefix: bytes) -> tuple[int, Optional[int]]:
        if not prefix:
            return 0, None
        first, last = raw.prefix_range(prefix)
        return first, last

    def items(self, raw: RawReader, prefix: bytes, bytes_keys: bool) -> Iterable[tuple[Key, bytes]]:
        first, last = self._range(raw, prefix)
        pairs: Iterable[tuple[Key, bytes]] = raw.iter_items(first, last, bytes_keys)  # type: ignore[attr-defined]
        return pairs

    def keys(self, raw: RawReader, prefix: bytes, bytes_keys: bool) -> Iterable[Key]:
        first, last = self._range(raw, prefix)
        keys: Iterable[Key] = raw.iter_keys(first, last, bytes_keys)  # type: ignore[attr-defined]
        return keys


class Backend(Protocol):
    """What the package asks of a backend."""

    name: str

    def open_reader(self, path: str, verify: bool) -> RawReader: ...
    def new_writer(self) -> RawWriter: ...
    def items(self, raw: RawReader, prefix: bytes, bytes_keys: bool) -> Iterable[tuple[Key, bytes]]: ...
    def keys(self, raw: RawReader, prefix: bytes, bytes_keys: bool) -> Iterable[Key]: ...


def _choose() -> Backend:
    forced = os.environ.get("KALVEX_BACKEND")
    if forced not in (None, "", "module", "cffi"):
        raise ImportError(f"KALVEX_BACKEND must be 'module' or 'cffi', not {forced!r}")
    if forced == "cffi":
        return CffiBackend()
    if not forced and sys.implementation.name == "pypy":
        try:
            return CffiBackend()
        except ImportError:
            pass  # built without cffi: the C-API module still serves, only slower
    return ModuleBackend()


BACKEND: Backend = _choose()
