"""KalvReader: a store opened as a read-only Mapping of keys to Python objects.

The store is memory-mapped read-only and never changes, so one reader serves any number of
threads, and a reader opened before ``fork()`` keeps working in the child with no reopen.
Values are decoded from msgpack on each access; ``raw=True`` hands back payload bytes.

A ``str`` key and a ``bytes`` key with the same UTF-8 bytes are the same key. Listings are
in key order (bytewise). With ``key_type=bytes`` they yield the stored key bytes exactly;
with ``str`` (the default) a key that is not UTF-8 comes back with U+FFFD in place of its
ill-formed bytes, and that text no longer finds the key.
"""
from __future__ import annotations

import os
from collections.abc import ItemsView, Iterator, KeysView, Mapping, ValuesView
from types import TracebackType
from typing import Any, Callable, Iterable, NoReturn, Optional, TypeVar

from kalvex import errors
from kalvex._backend import BACKEND, Key, RawReader
from kalvex._codec import PathLike, Value, array_key_unpacker, as_bytes, decode_failure, unencodable_key, unpacker

T = TypeVar("T")
R = TypeVar("R", bound="ReaderBase")

_STORE_ERRORS = (RuntimeError, OSError, ValueError)


def _closed(_key: object) -> NoReturn:
    raise errors.closed_error()


class ReaderBase(Mapping[Key, Value]):
    """What every kalvex reader shares above its lookups: the options, decoding, the views
    and scans in key order, and the ``with`` block. A subclass supplies ``_payloads``,
    ``_pairs`` and ``_keys`` (listings from a prefix), ``_live`` (its native state, or the closed error),
    the lookups, ``__len__`` and ``close``."""

    def _set_options(self, raw: bool, key_type: type, unpack_options: dict[str, Any]) -> None:
        if key_type is not str and key_type is not bytes:
            raise TypeError(f"key_type must be str or bytes, not {key_type!r}")
        self._raw_values = raw
        self._key_type = key_type
        self._unpack_options = unpack_options
        self._unpack = unpacker(unpack_options)
        # A misspelled or ill-typed option fails here, not as a decode error at the first
        # read: decoding a nil takes every option through msgpack's own checks.
        try:
            self._unpack(b"\xc0")
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"unknown or invalid msgpack option: {exc}") from None
        self._unpack_array_keys = array_key_unpacker(unpack_options)

    def _decode(self, key: object, payload: bytes) -> Value:
        try:
            return self._unpack(payload)
        except MemoryError:
            raise
        except Exception as exc:
            return self._decode_refused(key, payload, exc)

    def _decode_refused(self, key: object, payload: bytes, exc: Exception) -> Value:
        """What a payload the decoder refused with ``exc`` holds after all: a map keyed by
        an array (a tuple key, when arrays decode as lists) decodes with tuple keys.
        Anything else raises ``KalvDecodeError`` naming ``key``."""
        if isinstance(exc, TypeError) and self._unpack_array_keys is not None:
            try:
                return self._unpack_array_keys(payload)
            except MemoryError:
                raise
            except Exception:  # noqa: BLE001 - the first refusal is the one to report
                pass
        raise errors.KalvDecodeError(f"cannot decode the value of {key!r}: {decode_failure(exc)}") from exc

    def _decode_objects(self, payloads: list[bytes]) -> list[Value]:
        if self._raw_values:
            return list(payloads)
        return [self._decode(f"object #{i}", payload) for i, payload in enumerate(payloads)]

    def _payloads(self, prefix: bytes, bytes_keys: bool) -> Iterator[tuple[Key, bytes]]:
        raise NotImplementedError

    def _pairs(self, prefix: bytes) -> Iterator[tuple[Key, Any]]:
        raise NotImplementedError

    def _keys(self, prefix: bytes) -> Iterator[Key]:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def __iter__(self) -> Iterator[Key]:
        return self._keys(b"")

    def keys(self) -> KeysView[Key]:
        """The keys, in key order."""
        return KeysView(self)

    def items(self) -> ItemsView[Key, Value]:
        """(key, value) pairs in key order; a full listing reads each object once per key."""
        return _ItemsView(self)

    def values(self) -> ValuesView[Value]:
        """The values in key order (an object shared by keys appears once per key)."""
        return _ValuesView(self)

    def prefix(self, prefix: Key) -> list[tuple[Key, Value]]:
        """Every (key, value) whose key starts with ``prefix``, in key order."""
        return list(self._pairs(as_bytes(prefix)))

    def prefix_keys(self, prefix: Key) -> list[Key]:
        """Every key that starts with ``prefix``, in key order."""
        return list(self._keys(as_bytes(prefix)))

    def __enter__(self: R) -> R:
        return self

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()


class KalvReader(ReaderBase):
    """A read-only Mapping over one ``.klvx`` store.

    ``verify`` checks the whole-file CRC-32 at open. ``raw=True`` returns payload bytes
    instead of decoded values everywhere. ``key_type`` (``str`` or ``bytes``) is the type of
    the keys that iteration, views and scans yield. Other keyword arguments go to
    ``msgpack.unpackb`` (defaults: ``raw=False``, ``strict_map_key=False``).

    >>> with KalvReader("users.klvx") as r:
    ...     r["user:1"], "user:9" in r, r.prefix("user:")
    ({'name': 'Ada'}, False, [('user:1', {'name': 'Ada'}), ('user:2', {'name': 'Bob'})])
    """

    def __init__(
        self,
        path: PathLike,
        *,
        verify: bool = True,
        raw: bool = False,
        key_type: type = str,
        **unpack_options: Any,
    ) -> None:
        self._set_options(raw, key_type, unpack_options)
        self._path = os.fsdecode(path)
        # Pickling sends this, so that a reader unpickled after a chdir opens the same file.
        self._abspath = os.path.abspath(self._path)
        try:
            native = BACKEND.open_reader(self._path, verify)
            stats = native.stats()
        except _STORE_ERRORS as exc:
            if os.path.isdir(self._path):
                raise errors.KalvIOError(
                    f"{self._path} is a directory, not a store file (kalvex.open reads a sharded store)"
                ) from exc
            raise errors.translate(exc) or exc
        self._native: Optional[RawReader] = native
        self._get_raw: Callable[[Key], Optional[bytes]] = native.get_raw
        self._exists: Callable[[Key], bool] = native.exists
        self._len: int = stats["num_keys"]
        self._num_objects: int = stats["num_objects"]

    # --- lookups: the hot path binds the native calls directly -------------------------

    def __getitem__(self, key: Key) -> Value:
        try:
            payload = self._get_raw(key)
        except (RuntimeError, ValueError) as exc:
            raise self._lookup_error(key, exc)
        if payload is None:
            raise KeyError(key)
        if self._raw_values:
            return payload
        try:  # _decode, inline: a call frame is a tenth of a hot lookup
            return self._unpack(payload)
        except MemoryError:
            raise
        except Exception as exc:
            return self._decode_refused(key, payload, exc)

    def get(self, key: Key, default: Any = None) -> Any:
        """The value of ``key``, or ``default`` when the store does not hold it."""
        try:
            payload = self._get_raw(key)
        except (RuntimeError, ValueError) as exc:
            raise self._lookup_error(key, exc)
        if payload is None:
            return default
        if self._raw_values:
            return payload
        try:
            return self._unpack(payload)
        except MemoryError:
            raise
        except Exception as exc:
            return self._decode_refused(key, payload, exc)

    def get_raw(self, key: Key) -> Optional[bytes]:
        """The payload bytes of ``key`` as stored, or None."""
        try:
            return self._get_raw(key)
        except (RuntimeError, ValueError) as exc:
            raise self._lookup_error(key, exc)

    def _lookup_error(self, key: object, exc: Exception) -> Exception:
        """What a lookup of ``key`` that raised ``exc`` reports: the store error named, or
        for a ``str`` key with no UTF-8 form, that (the native layer only says its type)."""
        if self._native is not None and isinstance(key, str):
            try:
                key.encode()
            except UnicodeEncodeError:
                error = unencodable_key(key)
                error.__suppress_context__ = True  # the native text says less than this
                return error
        return errors.translate(exc) or exc

    def __contains__(self, key: object) -> bool:
        try:
            return self._exists(key)  # type: ignore[arg-type]
        except ValueError:
            if self._native is None:
                raise
            return False  # not a str or bytes: never a stored key

    # --- listings, in key order --------------------------------------------------------

    def _live(self) -> RawReader:
        if self._native is None:
            raise errors.closed_error()
        return self._native

    def _listing(self, produce: Callable[[], Iterable[T]]) -> Iterator[T]:
        """Iterate what ``produce`` lists, with native store errors named.

        A listing made before ``close()`` fails at its next step after it, whatever the
        backend holds: the C-API module hands over whole lists and the cffi path chunks of
        one, both of which would otherwise go on yielding after the close.
        """
        try:
            for item in produce():
                if self._native is None:
                    break
                yield item
            else:
                return
        except _STORE_ERRORS as exc:
            if self._native is None:  # closed while the native side was being walked
                raise errors.closed_error() from exc
            raise errors.translate(exc) or exc
        raise errors.closed_error()

    def _payloads(self, prefix: bytes, bytes_keys: bool) -> Iterator[tuple[Key, bytes]]:
        """(key, payload bytes) in key order; with ``bytes_keys`` the keys' exact bytes."""
        native = self._live()
        return self._listing(lambda: BACKEND.items(native, prefix, bytes_keys))

    def _pairs(self, prefix: bytes) -> Iterator[tuple[Key, Any]]:
        pairs = self._payloads(prefix, self._key_type is bytes)
        if self._raw_values:
            return pairs
        decode = self._decode
        return ((key, decode(key, payload)) for key, payload in pairs)

    def _keys(self, prefix: bytes) -> Iterator[Key]:
        native = self._live()
        return self._listing(lambda: BACKEND.keys(native, prefix, self._key_type is bytes))

    def __len__(self) -> int:
        self._live()
        return self._len

    def objects(self) -> list[Value]:
        """Each distinct stored object once, in the order its first key comes."""
        return self._decode_objects(list(self._listing(self._live().objects_raw)))

    # --- metadata and checks -----------------------------------------------------------

    @property
    def path(self) -> str:
        """The path the store was opened from."""
        return self._path

    def stats(self) -> dict[str, Any]:
        """The file's metadata: path, version, keys, objects, offsets, size, CRC-32."""
        return self._live().stats()

    def verify(self) -> bool:
        """Check the whole-file CRC-32, every object's, and that the object records fill the
        data section as the header says; True, or ``KalvCorruptError``."""
        native = self._live()
        try:
            return native.verify()
        except _STORE_ERRORS as exc:
            raise errors.translate(exc) or exc

    # --- lifetime ----------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return self._native is None

    def close(self) -> None:
        """Release the mapping; any later use raises ``ValueError``. Closing twice is fine."""
        native, self._native = self._native, None
        self._get_raw = self._exists = _closed
        if native is not None:
            native.close()

    def __reduce__(self) -> tuple[Any, ...]:
        # A reader travels as its path and options: the other process maps the file itself.
        self._live()
        return (_reopen, (self._abspath, self._raw_values, self._key_type, self._unpack_options))

    def __repr__(self) -> str:
        if self._native is None:
            return f"KalvReader({self._path!r}, closed)"
        return f"KalvReader({self._path!r}, keys={self._len}, objects={self._num_objects})"


def _reopen(path: str, raw: bool, key_type: type, unpack_options: dict[str, Any]) -> KalvReader:
    # The sender checked the file when it opened it; the whole-file CRC is not read again.
    return KalvReader(path, verify=False, raw=raw, key_type=key_type, **unpack_options)


class _ItemsView(ItemsView[Key, Value]):
    _mapping: ReaderBase

    def __iter__(self) -> Iterator[tuple[Key, Value]]:
        return self._mapping._pairs(b"")


class _ValuesView(ValuesView[Value]):
    _mapping: ReaderBase

    def __iter__(self) -> Iterator[Value]:
        return (value for _, value in self._mapping._pairs(b""))
