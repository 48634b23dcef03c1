"""Values to payload bytes and back: msgpack, with every option set in this one place.

Writers pack with ``use_bin_type=True`` so ``bytes`` and ``str`` stay apart; readers unpack
``str`` as text (``raw=False``) and accept any map key type (``strict_map_key=False``), so
what was written reads back as the same object. Keys are UTF-8 bytes everywhere: a ``str``
key and a ``bytes`` key with the same bytes are one key.
"""
from __future__ import annotations

import functools
import os
from typing import Any, Callable, Iterable, Optional, Union

import msgpack

from kalvex.errors import KalvError

Key = Union[str, bytes]
Value = Any
# What a reader or writer takes as a path: decoded with os.fsdecode.
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


# The C header's limit (KALVEX_MAX_KEY_SIZE), as the backend of this interpreter has it, for
# the checks made before any native call: routing a key to its shard, reading input records.
try:
    from kalvex._native import MAX_KEY_SIZE
except ImportError:
    from kalvex._kalvex_cffi import lib  # type: ignore[import-not-found, unused-ignore]

    MAX_KEY_SIZE = lib.KALVEX_MAX_KEY_SIZE
MAX_KEY_BYTES: int = MAX_KEY_SIZE

UNPACK_DEFAULTS: dict[str, Any] = {"raw": False, "strict_map_key": False}


def as_bytes(key: object) -> bytes:
    """What a key is, and its stored bytes: a ``str`` (subclasses included: an ``StrEnum``
    member, a ``numpy.str_``) is its text's UTF-8, a ``bytes``, ``bytearray`` or
    ``memoryview`` its bytes. Every entry point of the package takes keys through this
    function, or through the native module's copy of its rule (``key_type_error``'s text).

    Raises ``TypeError`` naming the type of anything else (a tuple or a list of ints is no
    key), and ``ValueError`` for a ``str`` that UTF-8 cannot encode (``unencodable_key``).
    """
    if type(key) is str:
        try:
            return key.encode()
        except UnicodeEncodeError:
            raise unencodable_key(key) from None
    if type(key) is bytes:
        return key
    if isinstance(key, str):
        try:
            return str.encode(key)  # the text itself, whatever the subclass's __str__
        except UnicodeEncodeError:
            raise unencodable_key(key) from None
    if isinstance(key, (bytes, bytearray, memoryview)):
        return bytes(key)
    raise key_type_error(key)


def key_type_error(key: object) -> TypeError:
    """The error for an object of a type that is no key."""
    return TypeError(f"key must be str, bytes, bytearray or memoryview, not {type(key).__name__}")


def unencodable_key(key: str) -> ValueError:
    """The error for a ``str`` key holding a lone surrogate (as ``os.fsdecode`` leaves for
    undecodable bytes): it has no UTF-8 form, so it is no key. Its bytes, if that is what
    it stands for, are ``os.fsencode(key)``."""
    position = next(i for i, char in enumerate(key) if "\ud800" <= char <= "\udfff")
    return ValueError(
        f"key {key!r} cannot be encoded as UTF-8: it holds the lone surrogate "
        f"{key[position]!r} at position {position}; pass bytes for a key that is not UTF-8"
    )


def refused_keys(keys: Iterable[object], exc: ValueError) -> ValueError:
    """What a native call that refused ``keys`` with ``exc`` reports: for a ``str`` key with
    no UTF-8 form, that (the native layer only says it is no key); else ``exc``."""
    for key in keys:
        if isinstance(key, str):
            try:
                key.encode()
            except UnicodeEncodeError:
                error = unencodable_key(key)
                error.__suppress_context__ = True  # the native text says less than this
                return error
    return exc


def key_bytes(key: object) -> bytes:
    """The stored form of a key (``as_bytes``); ``KalvError`` for a key over the limit."""
    data = as_bytes(key)
    if len(data) > MAX_KEY_BYTES:
        raise KalvError(f"key is {len(data)} bytes, format maximum is {MAX_KEY_BYTES}")
    return data


# What the exceptions msgpack raises with no text of their own mean.
_SILENT_FAILURES: dict[type[Exception], str] = {
    msgpack.FormatError: "a byte that begins no msgpack value",
    msgpack.StackError: "values nested too deeply",
    msgpack.OutOfData: "the data ends inside a value",
}


def decode_failure(exc: BaseException) -> str:
    """Why a payload did not decode: the exception's text, or its meaning when it has none."""
    meaning = next((text for kind, text in _SILENT_FAILURES.items() if isinstance(exc, kind)), type(exc).__name__)
    return str(exc) or meaning


def packer(default: Optional[Callable[[Any], Any]]) -> Callable[[Value], bytes]:
    """A function encoding one value per call; one Packer serves every call of a writer."""
    pack: Callable[[Value], bytes] = msgpack.Packer(default=default, use_bin_type=True).pack
    return pack


def unpacker(options: dict[str, Any]) -> Callable[[bytes], Value]:
    """A function decoding one payload, with the caller's options over the defaults."""
    unpack: Callable[[bytes], Value] = functools.partial(msgpack.unpackb, **{**UNPACK_DEFAULTS, **options})
    return unpack


def first_unpacker(options: dict[str, Any]) -> Callable[[bytes], Value]:
    """The decoder a reader tries first: with no options of the caller's, ``msgpack.unpackb``
    itself, called with no keywords (a third of a hot lookup goes to passing keywords).
    Its defaults are the package's but for ``strict_map_key``, which only refuses (a map
    key not str or bytes, with ``ValueError``), never decodes otherwise: a refused payload
    goes on to ``unpacker(options)``."""
    return unpacker(options) if options else msgpack.unpackb


def _hashable(key: Any) -> Any:
    """A map key decoded as a list, as the tuple it was written from (nested lists too)."""
    return tuple(_hashable(item) for item in key) if type(key) is list else key


def array_key_unpacker(options: dict[str, Any]) -> Optional[Callable[[bytes], Value]]:
    """The decoder for a payload that ``unpacker(options)`` refused with ``TypeError``.

    A tuple used as a map key is stored as an array, which msgpack decodes as a list when
    ``use_list`` is on (the default), and a list cannot be a dict key. This decoder makes
    such keys tuples again and leaves every other array a list. It is slower (every map
    passes through Python), so readers try it only after the plain decoder failed. None
    when the caller decodes arrays as tuples already or builds maps with a hook of their
    own: then the refusal stands.
    """
    merged = {**UNPACK_DEFAULTS, **options}
    if not merged.get("use_list", True) or "object_hook" in merged or "object_pairs_hook" in merged:
        return None
    unpack: Callable[[bytes], Value] = functools.partial(
        msgpack.unpackb, **merged, object_pairs_hook=lambda pairs: {_hashable(k): v for k, v in pairs})
    return unpack
