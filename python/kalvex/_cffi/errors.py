"""Failed calls into libkalvex as the package's exceptions, and the arguments' checks.

A store error becomes the ``kalvex.errors`` class of its kind with the detail alone as its
message; a ``KalvIOError`` also gets ``errno`` (None when the store refused a path on its
own) and ``filename`` from the error record. Nothing is read from the message but the
detail.
"""
from __future__ import annotations

import os
from typing import Any, NoReturn

from kalvex import errors
from kalvex._kalvex_cffi import ffi, lib

_NULL = ffi.NULL
_CLASSES: dict[int, type[errors.KalvexError]] = {
    lib.KALVEX_KIND_CORRUPT: errors.KalvCorruptError,
    lib.KALVEX_KIND_VERSION: errors.KalvVersionError,
    lib.KALVEX_KIND_IO: errors.KalvIOError,
    lib.KALVEX_KIND_ERROR: errors.KalvError,
}


class InternalFailure(BaseException):
    """An invariant of libkalvex broke: a bug, never a data or argument error. Derives from
    BaseException so that handlers of ordinary errors let it through."""


def new_error() -> Any:
    return ffi.new("kalvex_error *", [-1])


def raise_failure(status: int, err: Any) -> NoReturn:
    """Raises what the failed call that filled ``err`` reports, and clears ``err``."""
    try:
        if status == lib.KALVEX_NO_MEMORY:
            raise MemoryError()
        detail = ""
        if err.message != _NULL and err.detail_offset <= err.message_size:
            text = ffi.unpack(err.message, err.message_size)
            detail = text[err.detail_offset:].decode("utf-8", "replace")
        if status != lib.KALVEX_STORE_ERROR:
            raise InternalFailure(detail or "internal failure in kalvex")
        exc = _CLASSES.get(err.kind, errors.KalvError)(detail)
        if isinstance(exc, errors.KalvIOError):
            exc.errno = err.os_errno or None
            exc.strerror = detail
            exc.filename = os.fsdecode(ffi.unpack(err.path, err.path_size)) if err.path != _NULL else None
        raise exc
    finally:
        lib.kalvex_error_clear(err)


def text_argument(name: str, value: Any) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"argument '{name}' must be str, not {type(value).__name__}")
    return str.encode(value)


def bytes_argument(name: str, value: Any) -> bytes:
    if type(value) is not bytes:
        raise TypeError(f"argument '{name}' must be bytes, not {type(value).__name__}")
    return value


def u64_argument(name: str, value: Any) -> int:
    if type(value) is not int:
        try:
            value = value.__index__()
        except AttributeError:
            raise TypeError(f"argument '{name}' must be an int, not {type(value).__name__}") from None
    if not 0 <= value < 1 << 64:
        raise OverflowError(f"argument '{name}' must be from 0 to 2**64 - 1, not {value}")
    return int(value)
