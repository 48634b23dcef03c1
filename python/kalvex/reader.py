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
import weakref
from collections.abc import ItemsView, Iterable, Iterator, KeysView, Mapping, ValuesView
from itertools import chain, islice
from typing import Any, Callable, NoReturn, Optional, TypeVar, cast

from kalvex import _backend, errors
from kalvex._codec import (
    Key, PathLike, Value, array_key_unpacker, as_bytes, decode_failure, first_unpacker, refused_keys,
    unpacker)
from kalvex._contract import NativeReader
from kalvex.ordered import Batch, Ordered, Positions

R = TypeVar("R", bound="ReaderBase")
# Keys per native call of get_many: past a few thousand the call's own cost is nothing per
# key, and the chunk's keys, views and answers stay in the caches.
MANY_CHUNK = 4096
Chunk = tuple[Optional[list[Any]], Optional[list[bytes]], Optional[list[int]]]
# How the core's detail begins when a file does not start with the store's magic (the
# low-level module shows that detail as it is).
_BAD_MAGIC = "bad magic ["


def _closed(_key: object) -> NoReturn:
    raise errors.closed_error()


class ReaderBase(Ordered, Mapping[Key, Value]):
    """What every kalvex reader shares above its lookups: the options, decoding, the views
    and scans in key order, the ordered queries (kalvex/ordered.py), and the ``with`` block.
    A subclass supplies ``_open`` (of the path, once the options are set), ``_payloads`` and
    ``_keys`` (listings from a prefix), ``_live`` (its native state, or the closed error),
    the lookups, the ordered queries' primitives, ``__len__`` and ``close``."""

    def __init__(
        self,
        path: PathLike,
        *,
        verify: bool = True,
        check: bool = False,
        raw: bool = False,
        key_type: type = str,
        **unpack_options: Any,
    ) -> None:
        if key_type is not str and key_type is not bytes:
            raise TypeError(f"key_type must be str or bytes, not {key_type!r}")
        self._raw_values = raw
        self._key_type = key_type
        self._unpack_options = unpack_options
        self._unpack_all = unpacker(unpack_options)
        self._unpack = first_unpacker(unpack_options)
        # A misspelled or ill-typed option fails here, not as a decode error at the first
        # read: decoding a nil takes every option through msgpack's own checks. (Without
        # options there is nothing to check, and on PyPy the check is a tenth of an open.)
        if unpack_options:
            try:
                self._unpack_all(b"\xc0")
            except (TypeError, ValueError) as exc:
                raise type(exc)(f"unknown or invalid msgpack option: {exc}") from None
        self._unpack_array_keys = array_key_unpacker(unpack_options)
        self._check = bool(check)  # read by _open
        self._open(os.fsdecode(path), verify)

    def _open(self, path: str, verify: bool) -> None:
        raise NotImplementedError

    def verify(self) -> bool:
        """The deep check of everything the reader reads; True, or ``KalvCorruptError``."""
        raise NotImplementedError

    def _decode(self, key: object, payload: bytes) -> Value:
        try:
            return self._unpack(payload)
        except MemoryError:
            raise
        except Exception as exc:
            return self._decode_refused(key, payload, exc)

    def _decode_refused(self, key: object, payload: bytes, exc: Exception) -> Value:
        """What a payload the first decoder refused with ``exc`` holds after all: decoded
        with every option (a map with keys not str), or a map keyed by an array (a tuple
        key, when arrays decode as lists) with tuple keys. Anything else raises
        ``KalvDecodeError`` naming ``key``."""
        if self._unpack is not self._unpack_all and isinstance(exc, ValueError):
            try:
                return self._unpack_all(payload)
            except MemoryError:
                raise
            except Exception as again:  # noqa: BLE001 - its refusal is the one that counts
                exc = again
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

    def _decode_many(self, keys: list[Key], payloads: list[Optional[bytes]], default: Any) -> list[Any]:
        """The values of ``payloads`` (those of ``keys``), ``default`` for None."""
        if self._raw_values:
            return [default if payload is None else payload for payload in payloads]
        unpack = self._unpack
        try:
            return [default if payload is None else unpack(payload) for payload in payloads]
        except MemoryError:
            raise
        except Exception:  # noqa: BLE001 - decoded again key by key, which says whose value
            decode = self._decode
            return [default if payload is None else decode(key, payload) for key, payload in zip(keys, payloads)]

    def _payloads(self, prefix: bytes, bytes_keys: bool) -> Iterator[tuple[Key, bytes]]:
        raise NotImplementedError

    def _pairs(self, prefix: bytes) -> Iterator[tuple[Key, Any]]:
        pairs = self._payloads(prefix, self._key_type is bytes)
        if self._raw_values:
            return pairs
        decode = self._decode
        return ((key, decode(key, payload)) for key, payload in pairs)

    def _keys(self, prefix: bytes) -> Iterator[Key]:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def __iter__(self) -> Iterator[Key]:
        """The keys in key order (bytewise), as ``key_type`` says: ``for key in r``."""
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

    def items_raw(self, prefix: Key = b"") -> Iterator[tuple[bytes, bytes]]:
        """(key, payload) for every key that starts with ``prefix``, in key order, both as
        stored, whatever ``raw`` and ``key_type`` say: the key's exact bytes and the payload
        bytes. An iterator, for copying or comparing stores without decoding a value.

        >>> with kalvex.open("users.klvx") as r:     # a store file or a sharded store
        ...     for key, payload in r.items_raw("user:"):
        ...         print(key, payload == r.get_raw(key))
        b'user:1' True
        b'user:2' True
        """
        return cast(Iterator[tuple[bytes, bytes]], self._payloads(as_bytes(prefix), True))

    def __enter__(self: R) -> R:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class KalvReader(ReaderBase):
    """A read-only Mapping over one ``.klvx`` store.

    ``verify`` checks the whole-file CRC-32 at open. ``check=True`` makes damage an error
    instead of a wrong answer at a cost that grows with the index, not the data: the index
    is checked at open (the CRC-32 of the mapped index and of the index section), and every
    value read has its record's CRC-32 checked. ``raw=True`` returns payload bytes
    instead of decoded values everywhere. ``key_type`` (``str`` or ``bytes``) is the type of
    the keys that iteration, views and scans yield. Other keyword arguments go to
    ``msgpack.unpackb`` (defaults: ``raw=False``, ``strict_map_key=False``).

    >>> with KalvReader("users.klvx") as r:
    ...     r["user:1"], "user:9" in r, r.prefix("user:")
    ({'name': 'Ada'}, False, [('user:1', {'name': 'Ada'}), ('user:2', {'name': 'Bob'})])
    """

    def _open(self, path: str, verify: bool) -> None:
        self._path = path
        # Pickling sends this, so that a reader unpickled after a chdir opens the same file.
        self._abspath = os.path.abspath(self._path)
        try:
            native = _backend.BACKEND.open_reader(self._path, verify, self._check)
        except errors.KalvexError as exc:
            if os.path.isdir(self._path):
                raise errors.KalvIOError(
                    f"{self._path} is a directory, not a store file (kalvex.open reads a sharded store)"
                ) from exc
            if isinstance(exc, errors.KalvCorruptError) and str(exc).startswith(_BAD_MAGIC):
                # The core's detail gives the four bytes found; a reader of the message
                # wants first to know that the file is something else altogether.
                raise errors.KalvCorruptError(f"not a kalvex store: {exc}") from exc
            raise
        stats = native.stats()
        self._native: Optional[NativeReader] = native
        self._get_raw: Callable[[Key], Optional[bytes]] = native.find
        self._exists: Callable[[Key], bool] = native.exists
        self._len: int = stats["num_keys"]
        self._num_objects: int = stats["num_objects"]
        self._in_hand: weakref.WeakValueDictionary[int, Batch] = weakref.WeakValueDictionary()  # live ranges' chunks

    # --- lookups: the hot path binds the native calls directly -------------------------

    def __getitem__(self, key: Key) -> Value:
        """``r[key]``: the value of ``key`` (a ``str`` or ``bytes``); ``KeyError`` when the
        store does not hold it."""
        try:
            payload = self._get_raw(key)
        except ValueError as exc:
            raise self._lookup_error((key,), exc)
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
        except ValueError as exc:
            raise self._lookup_error((key,), exc)
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
        except ValueError as exc:
            raise self._lookup_error((key,), exc)

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The value of each of ``keys`` (any iterable), or ``default`` for a key the store
        does not hold, in order. Faster than a loop of ``get``: the keys go to the native
        reader a few thousand at a time, whose lookups overlap their memory reads.

        >>> with KalvReader("users.klvx") as r:
        ...     r.get_many(["user:1", "user:9"], default={})
        [{'name': 'Ada'}, {}]
        """
        values: list[Any] = []
        for chunk, payloads in self._many(keys):
            values += self._decode_many(chunk, payloads, default)
        return values

    def get_many_raw(self, keys: Iterable[Key]) -> list[Optional[bytes]]:
        """The payload bytes of each of ``keys`` as stored, or None, in order (see
        ``get_many``)."""
        found: list[Optional[bytes]] = []
        for _, payloads in self._many(keys):
            found += payloads
        return found

    def _many(self, keys: Iterable[Key]) -> Iterator[tuple[list[Key], list[Optional[bytes]]]]:
        """(chunk of keys, their payloads) for ``keys`` in order, one native call each."""
        find_many = self._live().find_many
        for chunk in _chunks_of(keys):
            try:
                yield chunk, find_many(chunk)
            except ValueError as exc:
                raise self._lookup_error(chunk, exc)

    def _lookup_error(self, keys: Iterable[object], exc: ValueError) -> ValueError:
        """What a lookup of ``keys`` that raised ``exc`` reports: for a ``str`` key with no
        UTF-8 form among them, that (the native layer only says it is no key); else ``exc``,
        which is also what a closed reader's refusal stays."""
        return refused_keys(keys, exc) if self._native is not None else exc

    def __contains__(self, key: object) -> bool:
        """``key in r``: whether the store holds ``key``; an object that cannot be a key
        (neither ``str`` nor bytes) is never held."""
        try:
            return self._exists(key)  # type: ignore[arg-type]
        except ValueError:
            if self._native is None:
                raise
            return False  # not a str or bytes: never a stored key

    # --- listings, in key order --------------------------------------------------------

    def _live(self) -> NativeReader:
        if self._native is None:
            raise errors.closed_error()
        return self._native

    def _chunks(self, prefix: bytes, keys: Optional[type], payloads: bool) -> Iterator[Chunk]:
        """The entries whose key starts with ``prefix``, chunk by chunk, as ``read_range``
        gives them (see kalvex/_contract.py). Fails at once on a closed reader."""
        native = self._live()
        first, last = native.prefix_range(prefix)
        return _walk(native, first, last, keys, payloads)

    def _steps(self, chunks: Iterator[Chunk], pairs: bool) -> Iterator[Any]:
        """The keys, or (key, payload) pairs, of ``chunks`` one by one. A listing made
        before close() fails at its next step after it: the chunk in hand would otherwise
        go on yielding, so every step looks at _native."""
        for keys, payloads, _ in chunks:
            for item in zip(keys, payloads) if pairs else keys:  # type: ignore[arg-type, union-attr]
                if self._native is None:
                    raise errors.closed_error()
                yield item

    def _payloads(self, prefix: bytes, bytes_keys: bool) -> Iterator[tuple[Key, bytes]]:
        """(key, payload bytes) in key order; with ``bytes_keys`` the keys' exact bytes."""
        return self._steps(self._chunks(prefix, bytes if bytes_keys else str, True), True)

    def _keys(self, prefix: bytes) -> Iterator[Key]:
        return self._steps(self._chunks(prefix, self._key_type, False), False)

    def object_ids(self, prefix: Key = b"") -> Iterator[int]:
        """The object id of each key that starts with ``prefix``, in key order, without
        reading any payload: keys that share an object share its id (the object's place
        in the file, the same for every reader of the file)."""
        native = self._live()
        first, last = native.prefix_range(as_bytes(prefix))
        return self._steps(((ids, None, None) for _, _, ids in _walk(native, first, last, ids=True)), False)

    # --- ordered queries (kalvex/ordered.py): positions sought, then read --------------

    def _span(self, start: Optional[bytes], stop: Optional[bytes], reverse: bool, limit: Optional[int],
              keys: type, extra: str) -> Iterator[Any]:
        positions = Positions(self._live())
        first, last = positions.span(start, stop, reverse, limit)
        return chain.from_iterable(self._held(positions.chunks(first, last, reverse, keys, extra)))

    def _held(self, chunks: Iterator[Batch]) -> Iterator[Batch]:
        """``chunks``, each kept where close() empties it: the items then go by at C speed,
        yet a range made before close() fails at its next step after it, as ``_steps``
        makes the other listings do (the emptied chunk ends, the next read refuses)."""
        for chunk in chunks:
            if self._native is None:
                raise errors.closed_error()
            self._in_hand[id(chunk)] = chunk
            yield chunk

    def _seek(self, key: bytes, strict: bool, backward: bool) -> Optional[tuple[bytes, bytes]]:
        return Positions.seek(self._live(), key, strict, backward)

    def _rank(self, key: bytes) -> int:
        return self._live().lower_bound(key)

    def _key_at(self, index: int) -> bytes:
        return Positions.key_at(self._live(), index)

    def _entry_count(self) -> int:
        return len(self)

    def __len__(self) -> int:
        """``len(r)``: the number of keys (shared objects counted once per key)."""
        self._live()
        return self._len

    def objects(self) -> list[Value]:
        """Each distinct stored object once, in the order its first key comes."""
        return self._decode_objects(self._live().objects()[0])

    # --- metadata and checks -----------------------------------------------------------

    @property
    def path(self) -> str:
        """The path the store was opened from."""
        return self._path

    def stats(self) -> dict[str, Any]:
        """The file's metadata: path, version, keys, objects, offsets, size, CRC-32, and
        whether the reader reads a mapped index the file carries (``index``) and the bytes
        of its record (``index_size``, 0 without). ``num_objects`` counts the stored
        values' objects, not the index's nor the compression dictionary's. ``compressed``
        says whether the values are stored compressed, ``dictionary_size`` the bytes of the
        store's dictionary, and ``ratio`` the distinct values' stored bytes over their
        original bytes (``original_bytes``, ``stored_bytes``; 1.0 when not compressed)."""
        stats = self._live().stats()
        original = stats["original_bytes"]
        stats["ratio"] = stats["stored_bytes"] / original if stats["compressed"] and original else 1.0
        return stats

    def dictionary(self) -> bytes:
        """The compression dictionary the store carries (``b""`` when none): give it as
        ``dictionary=`` to a writer whose store should share it."""
        return self._live().dictionary()

    def verify(self) -> bool:
        """Check the whole-file CRC-32, every object's, that the object records fill the
        data section as the header says, and a mapped index the file carries (its CRC-32,
        and that it finds every key); True, or ``KalvCorruptError``."""
        return self._live().verify()

    # --- lifetime ----------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return self._native is None

    def close(self) -> None:
        """Release the mapping; any later use raises ``ValueError``. Closing twice is fine."""
        native, self._native = self._native, None
        self._get_raw = self._exists = _closed
        for chunk in list(self._in_hand.values()):
            chunk.clear()
        if native is not None:
            native.close()

    def __reduce__(self) -> tuple[Any, ...]:
        # A reader travels as its path and options: the other process maps the file itself.
        self._live()
        return (_reopen, (self._abspath, self._raw_values, self._key_type, self._unpack_options, self._check))

    def __repr__(self) -> str:
        if self._native is None:
            return f"KalvReader({self._path!r}, closed)"
        return f"KalvReader({self._path!r}, keys={self._len}, objects={self._num_objects})"


def _chunks_of(keys: Iterable[Key]) -> Iterator[list[Key]]:
    """``keys`` as lists of up to MANY_CHUNK keys, in order."""
    if type(keys) is list and len(keys) <= MANY_CHUNK:
        yield keys
        return
    it = iter(keys)
    while True:
        chunk = list(islice(it, MANY_CHUNK))
        if not chunk:
            return
        yield chunk


def _walk(
    native: NativeReader, first: int, last: int, keys: Optional[type] = None, payloads: bool = False, ids: bool = False
) -> Iterator[Chunk]:
    while first < last:
        chunk = native.read_range(first, last, keys, payloads, ids)
        yield chunk
        first += len(next(part for part in chunk if part is not None))


def _reopen(
    path: str, raw: bool, key_type: type, unpack_options: dict[str, Any], check: bool = False
) -> KalvReader:
    # The sender checked the file when it opened it; the whole-file CRC is not read again.
    return KalvReader(path, verify=False, check=check, raw=raw, key_type=key_type, **unpack_options)


class _ItemsView(ItemsView[Key, Value]):
    _mapping: ReaderBase

    def __iter__(self) -> Iterator[tuple[Key, Value]]:
        return self._mapping._pairs(b"")


class _ValuesView(ValuesView[Value]):
    _mapping: ReaderBase

    def __iter__(self) -> Iterator[Value]:
        return (value for _, value in self._mapping._pairs(b""))
