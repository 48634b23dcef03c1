"""Ordered queries on every reader: key ranges, seeks, ranks, forward or in reverse.

Keys are ordered by their bytes (a ``str`` key by its UTF-8 bytes), as the store keeps
them, so ``"é" > "z"``: é is the two bytes C3 A9, above z's 7A. A bound may be any key,
stored or not, of any length. A file written elsewhere may repeat a key: it then holds one
entry per occurrence, and ranges and ranks count each, as the other listings do; a stored
key is its own ``ceiling`` and ``floor``, with the value ``get`` gives it.

``Ordered`` is the public half, shared by ``KalvReader`` and ``ShardedReader``: each
supplies ``_span`` (the entries of a key range, lazily, in chunks), ``_seek`` (one entry
found from a key), ``_rank`` and ``_key_at``. ``Positions`` is the half over one file's
positions, built on the backend's ``lower_bound`` and ``read_range``.
"""
from __future__ import annotations

import operator
from typing import Any, Iterator, Optional, cast

from kalvex._codec import Key, Value, as_bytes
from kalvex._contract import NativeReader

# What a span yields: the key alone, or with its payload or its object id.
KEYS, PAYLOADS, IDS = "keys", "payloads", "ids"
# A range's first read takes this many entries, and each next one twice as many up to
# the backend's chunk: a limit or an early break costs about what was read, and a long
# range soon reads whole chunks.
FIRST_READ = 128
LAST_READ = 1024


def bound(key: Optional[Key]) -> Optional[bytes]:
    """A range's bound as the stored form of a key (None: no bound)."""
    return None if key is None else as_bytes(key)


def limit_of(limit: Optional[int]) -> Optional[int]:
    """``limit`` checked: None, or an int from 0 on."""
    if limit is None:
        return None
    limit = operator.index(limit)
    if limit < 0:
        raise ValueError(f"limit must be 0 or more, not {limit}")
    return limit


class Ordered:
    """Key ranges, seeks and ranks, in key order (see the module's docstring)."""

    _key_type: type
    _raw_values: bool

    # --- what each reader supplies ------------------------------------------------------

    def _decode(self, key: object, payload: bytes) -> Value:
        raise NotImplementedError

    def _span(self, start: Optional[bytes], stop: Optional[bytes], reverse: bool, limit: Optional[int],
              keys: type, extra: str) -> Iterator[Any]:
        """The entries with ``start <= key < stop``, in key order or reverse, at most
        ``limit``: keys of type ``keys`` alone (``extra`` KEYS), or (key, payload bytes) or
        (key, object id). Fails at once on a closed reader; reads lazily after that."""
        raise NotImplementedError

    def _seek(self, key: bytes, strict: bool, backward: bool) -> Optional[tuple[bytes, bytes]]:
        """(key bytes, payload) of the first entry >= ``key`` (> with ``strict``), or with
        ``backward`` of the last entry <= ``key`` (<); None when there is none."""
        raise NotImplementedError

    def _rank(self, key: bytes) -> int:
        raise NotImplementedError

    def _key_at(self, index: int) -> bytes:
        """The key bytes of entry ``index``, 0 <= index < the entry count."""
        raise NotImplementedError

    def _entry_count(self) -> int:
        raise NotImplementedError

    # --- ranges ---------------------------------------------------------------------

    def range(self, start: Optional[Key] = None, stop: Optional[Key] = None, *, reverse: bool = False,
              limit: Optional[int] = None) -> Iterator[tuple[Key, Value]]:
        """(key, value) for each key with ``start <= key < stop`` (None: unbounded), in key
        order, or from the last with ``reverse``, at most ``limit``. An iterator that reads
        in chunks as it goes: a limit or an early ``break`` costs only what was read.

        >>> with kalvex.open("users.klvx") as r:
        ...     list(r.range("user:", "user:2")), list(r.range(reverse=True, limit=1))
        ([('user:1', {'name': 'Ada'})], [('user:2', {'name': 'Bob'})])
        """
        pairs = self._span(bound(start), bound(stop), reverse, limit_of(limit), self._key_type, PAYLOADS)
        if self._raw_values:
            return pairs
        decode = self._decode
        return ((key, decode(key, payload)) for key, payload in pairs)

    def range_keys(self, start: Optional[Key] = None, stop: Optional[Key] = None, *, reverse: bool = False,
                   limit: Optional[int] = None) -> Iterator[Key]:
        """The keys of ``range``, without reading a value.

        >>> with kalvex.open("users.klvx") as r:
        ...     list(r.range_keys("user:2")), list(r.range_keys(stop="user:2", reverse=True))
        (['user:2'], ['user:1'])
        """
        return self._span(bound(start), bound(stop), reverse, limit_of(limit), self._key_type, KEYS)

    def range_raw(self, start: Optional[Key] = None, stop: Optional[Key] = None, *, reverse: bool = False,
                  limit: Optional[int] = None) -> Iterator[tuple[bytes, bytes]]:
        """(key bytes, payload bytes) of ``range``, both as stored, whatever ``raw`` and
        ``key_type`` say.

        >>> with kalvex.open("users.klvx") as r:
        ...     next(r.range_raw("user:15"))
        (b'user:2', b'\\x81\\xa4name\\xa3Bob')
        """
        spanned: Iterator[tuple[bytes, bytes]] = self._span(
            bound(start), bound(stop), reverse, limit_of(limit), bytes, PAYLOADS)
        return spanned

    def range_ids(self, start: Optional[Key] = None, stop: Optional[Key] = None, *, reverse: bool = False,
                  limit: Optional[int] = None) -> Iterator[tuple[Key, int]]:
        """(key, object id) of ``range``, without reading a value: keys that share an
        object share its id, and no other key has it (a place in the file, as
        ``KalvReader.object_ids`` gives it; in a sharded store, made unique across shards)."""
        spanned: Iterator[tuple[Key, int]] = self._span(
            bound(start), bound(stop), reverse, limit_of(limit), self._key_type, IDS)
        return spanned

    # --- seeks ------------------------------------------------------------------------

    def _entry(self, found: Optional[tuple[bytes, bytes]]) -> Optional[tuple[Key, Value]]:
        if found is None:
            return None
        data, payload = found
        key: Key = data if self._key_type is bytes else data.decode("utf-8", "replace")
        return key, payload if self._raw_values else self._decode(key, payload)

    def ceiling(self, key: Key) -> Optional[tuple[Key, Value]]:
        """(key, value) of the first key >= ``key``, or None.

        >>> with kalvex.open("users.klvx") as r:
        ...     r.ceiling("user:1"), r.ceiling("user:10"), r.ceiling("user:3")
        (('user:1', {'name': 'Ada'}), ('user:2', {'name': 'Bob'}), None)
        """
        return self._entry(self._seek(as_bytes(key), False, False))

    def higher(self, key: Key) -> Optional[tuple[Key, Value]]:
        """(key, value) of the first key > ``key``, or None.

        >>> with kalvex.open("users.klvx") as r:
        ...     r.higher("user:1")
        ('user:2', {'name': 'Bob'})
        """
        return self._entry(self._seek(as_bytes(key), True, False))

    def floor(self, key: Key) -> Optional[tuple[Key, Value]]:
        """(key, value) of the last key <= ``key``, or None.

        >>> with kalvex.open("users.klvx") as r:
        ...     r.floor("user:10"), r.floor("user:0")
        (('user:1', {'name': 'Ada'}), None)
        """
        return self._entry(self._seek(as_bytes(key), False, True))

    def lower(self, key: Key) -> Optional[tuple[Key, Value]]:
        """(key, value) of the last key < ``key``, or None.

        >>> with kalvex.open("users.klvx") as r:
        ...     r.lower("user:2"), r.lower("user:1")
        (('user:1', {'name': 'Ada'}), None)
        """
        return self._entry(self._seek(as_bytes(key), True, True))

    # --- positions in key order -------------------------------------------------------

    def rank(self, key: Key) -> int:
        """How many keys sort before ``key`` (stored or not): its place in key order.

        >>> with kalvex.open("users.klvx") as r:
        ...     r.rank("user:1"), r.rank("user:15"), r.rank("zzz")
        (0, 1, 2)
        """
        return self._rank(as_bytes(key))

    def key_at(self, index: int) -> Key:
        """The key at ``index`` in key order, counted from the end when negative, as
        list indexes are; ``IndexError`` outside.

        >>> with kalvex.open("users.klvx") as r:
        ...     r.key_at(0), r.key_at(-1)
        ('user:1', 'user:2')
        """
        index = operator.index(index)
        n = self._entry_count()
        if not -n <= index < n:
            raise IndexError(f"key index {index} out of range for {n} keys")
        data = self._key_at(index % n)
        return data if self._key_type is bytes else data.decode("utf-8", "replace")


class Batch(list):  # type: ignore[type-arg]
    """A list of a range's items that its reader can empty on close(): an iterator over
    it then ends at once, and the range's next read refuses (see ``KalvReader._held``)."""

    __slots__ = ("__weakref__",)


class Positions:
    """The ordered queries of one file, over its positions: each range is one seek per
    bound (``lower_bound``), then reads of position ranges."""

    def __init__(self, native: NativeReader) -> None:
        self.native = native

    def span(self, start: Optional[bytes], stop: Optional[bytes], reverse: bool, limit: Optional[int]
             ) -> tuple[int, int]:
        """The positions [first, last) a range reads: its bounds sought, then cut to
        ``limit`` entries at the end it starts from."""
        native = self.native
        first = 0 if start is None else native.lower_bound(start)
        last = native.count() if stop is None else native.lower_bound(stop)
        if limit is not None and last - first > limit:
            if reverse:
                first = last - limit
            else:
                last = first + limit
        return first, last

    def chunks(self, first: int, last: int, reverse: bool, keys: type, extra: str) -> Iterator[Batch]:
        """The entries of [first, last) as lists of items (see ``Ordered._span``), in
        order or reverse, read in windows that grow from FIRST_READ entries."""
        size = FIRST_READ
        while first < last:
            if reverse:
                low, high = max(first, last - size), last
                last = low
            else:
                low, high = first, min(last, first + size)
                first = high
            items = self.read(low, high, keys, extra)
            if reverse:
                items.reverse()
            yield items
            size = min(2 * size, LAST_READ)

    def read(self, first: int, last: int, keys: type, extra: str) -> Batch:
        """The items of positions [first, last), in order: one ``read_range`` call, or a
        few when the payloads are large."""
        native = self.native
        items = Batch()
        while first < last:
            key_list, payloads, ids = native.read_range(first, last, keys, extra == PAYLOADS, extra == IDS)
            key_list = cast(list[Any], key_list)
            if extra == KEYS:
                items += key_list
            else:
                items += zip(key_list, cast(list[Any], payloads if ids is None else ids))
            first += len(key_list)
        return items

    @staticmethod
    def seek(native: NativeReader, key: bytes, strict: bool, backward: bool) -> Optional[tuple[bytes, bytes]]:
        """``Ordered._seek`` on one file: a seek and a read of one entry. A stored key is
        its own ceiling and floor, found by one hash probe (with its value as ``get`` has
        it, should the file repeat the key), several times faster than the search."""
        if not strict:
            payload = native.find(key)
            if payload is not None:
                return key, payload
        position = native.lower_bound(key + b"\x00" if strict != backward else key) - backward
        if position < 0:
            return None
        key_list, payloads, _ = native.read_range(position, position + 1, bytes, True)
        return (key_list[0], payloads[0]) if key_list else None  # type: ignore[index]

    @staticmethod
    def key_at(native: NativeReader, index: int) -> bytes:
        key_list, _, _ = native.read_range(index, index + 1, bytes)
        return cast(list[bytes], key_list)[0]
