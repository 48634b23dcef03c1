"""``ShardedReader`` and ``open``: a sharded store read as one Mapping, a version kept
from open to close (its shards stay mapped, even once a later publish retires it). A lookup
routes its key to one shard; listings merge the shards' own in key order.
"""
from __future__ import annotations

import heapq
import os
from collections.abc import Iterable, Iterator
from itertools import islice
from operator import itemgetter
from typing import Any, Callable, Optional, Union, cast

from xxhash import xxh3_64_intdigest

from kalvex import errors
from kalvex._codec import Key, PathLike, Value, as_bytes
from kalvex.ordered import IDS, KEYS
from kalvex.reader import KalvReader, ReaderBase, _closed
from kalvex.shards import _layout
from kalvex.shards.routing import _jump


class ShardedReader(ReaderBase):
    """A sharded store read as one Mapping, with ``KalvReader``'s API and options.

    ``path`` is the store directory (its current version is opened and kept: a later publish
    does not change what this reader sees) or a version directory. Every shard is opened and
    checked against the manifest at once; ``verify`` also checks each file's CRC-32, ``check``
    each file's index and every value read (as ``KalvReader`` does). A lookup reads one
    shard; listings merge the shards in key order. So do the ordered queries (``range``,
    the seeks, ``rank``): each asks every shard, and a range over n shards costs n seeks
    before its first key (``key_at`` walks, see there).

    >>> with ShardedReader("users.shards") as r:
    ...     r["user:1"], len(r), r.prefix("user:")
    ({'name': 'Ada'}, 2, [('user:1', {'name': 'Ada'}), ('user:2', {'name': 'Bob'})])
    """

    def _open(self, path: str, verify: bool) -> None:
        self._version_dir = os.path.abspath(_layout.resolve(path))
        self._manifest = _layout.read_manifest(self._version_dir)
        self._shards: list[KalvReader] = []
        try:
            for entry in self._manifest["shards"]:
                path = os.path.join(self._version_dir, entry["file"])
                self._shards.append(_layout.open_shard(path, entry, verify, self._check))
        except BaseException:
            self.close()
            raise
        self._n = len(self._shards)
        self._get_raw: list[Callable[[Key], Optional[bytes]]] = [s.get_raw for s in self._shards]
        self._len: int = self._manifest["num_keys"]

    def _route(self, key: object) -> int:
        try:
            return _jump(xxh3_64_intdigest(key.encode() if type(key) is str else as_bytes(key)), self._n)
        except (ValueError, UnicodeError):
            return 0  # never a stored key: the shard's own lookup raises what a reader raises

    def __getitem__(self, key: Key) -> Value:
        """``r[key]``: the value of ``key``, from the one shard it routes to; ``KeyError``
        when the store does not hold it."""
        # The hot path: _route inline for the common str key.
        try:
            data = key.encode() if type(key) is str else None
        except UnicodeError:
            data = None
        shard = self._route(key) if data is None else _jump(xxh3_64_intdigest(data), self._n)
        payload = self._get_raw[shard](key)
        if payload is None:
            raise KeyError(key)
        return payload if self._raw_values else self._decode(key, payload)

    def get(self, key: Key, default: Any = None) -> Any:
        """The value of ``key``, or ``default`` when the store does not hold it."""
        payload = self._get_raw[self._route(key)](key)
        if payload is None:
            return default
        return payload if self._raw_values else self._decode(key, payload)

    def get_raw(self, key: Key) -> Optional[bytes]:
        """The payload bytes of ``key`` as stored, or None."""
        return self._get_raw[self._route(key)](key)

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The value of each of ``keys`` (any iterable), or ``default`` for a key the store
        does not hold, in order: the keys go to their shards in one batch per shard.

        >>> with ShardedReader("users.shards") as r:
        ...     r.get_many(["user:1", "user:9"])
        [{'name': 'Ada'}, None]
        """
        keys = list(keys)
        return self._decode_many(keys, self.get_many_raw(keys), default)

    def get_many_raw(self, keys: Iterable[Key]) -> list[Optional[bytes]]:
        """The payload bytes of each of ``keys`` as stored, or None, in order."""
        keys, shards = list(keys), self._live()
        if len(shards) == 1:
            return shards[0].get_many_raw(keys)
        # Each key's place in its shard's batch, then each batch in one call of its shard.
        places: list[list[int]] = [[] for _ in shards]
        for place, key in enumerate(keys):
            places[self._route(key)].append(place)
        found: list[Optional[bytes]] = [None] * len(keys)
        for shard, batch in zip(shards, places):
            if batch:
                for place, payload in zip(batch, shard.get_many_raw([keys[place] for place in batch])):
                    found[place] = payload
        return found

    def __contains__(self, key: object) -> bool:
        """``key in r``: whether the store holds ``key``; an object that cannot be a key
        (neither ``str`` nor bytes) is never held."""
        try:
            return self._get_raw[self._route(key)](key) is not None  # type: ignore[arg-type]
        except ValueError:
            if not self._shards:
                raise
            return False

    def _live(self) -> list[KalvReader]:
        if not self._shards:
            raise errors.closed_error()
        return self._shards

    def _payloads(self, prefix: bytes, bytes_keys: bool) -> Iterator[tuple[Key, bytes]]:
        """(key, payload bytes) in key order; with ``bytes_keys`` the keys' exact bytes."""
        merged = heapq.merge(*[shard.items_raw(prefix) for shard in self._live()], key=itemgetter(0))
        if bytes_keys:
            return cast(Iterator[tuple[Key, bytes]], merged)
        return ((data.decode("utf-8", "replace"), payload) for data, payload in merged)

    def _keys(self, prefix: bytes) -> Iterator[Key]:
        # Each shard's own listing, never a copy: it fails at its next step after close().
        merged = heapq.merge(*[cast(Iterator[bytes], shard._keys(prefix)) for shard in self._live()])
        return merged if self._key_type is bytes else (data.decode("utf-8", "replace") for data in merged)

    # --- ordered queries (kalvex/ordered.py): the shards' own, merged --------------------
    # Keys are routed by hash, so every shard holds keys all along the key order: an
    # ordered query asks each shard (a range seeks once per shard, then merges the shards'
    # lazy streams), and a key lives in one shard only, so merged streams never tie.

    def _span(self, start: Optional[bytes], stop: Optional[bytes], reverse: bool, limit: Optional[int],
              keys: type, extra: str) -> Iterator[Any]:
        streams = [shard._span(start, stop, reverse, limit, bytes, extra) for shard in self._live()]
        if extra == IDS:
            # An object id is a place in its shard's file: the shard makes it the store's.
            streams = [_store_ids(stream, shard, len(streams)) for shard, stream in enumerate(streams)]
        merged: Iterator[Any] = heapq.merge(*streams, key=None if extra == KEYS else itemgetter(0), reverse=reverse)
        if limit is not None:
            merged = islice(merged, limit)
        if keys is bytes:
            return merged
        if extra == KEYS:
            return (data.decode("utf-8", "replace") for data in merged)
        return ((data.decode("utf-8", "replace"), item) for data, item in merged)

    def _seek(self, key: bytes, strict: bool, backward: bool) -> Optional[tuple[bytes, bytes]]:
        found = [entry for shard in self._live() if (entry := shard._seek(key, strict, backward)) is not None]
        if not found:
            return None
        return (max if backward else min)(found, key=itemgetter(0))

    def _rank(self, key: bytes) -> int:
        return sum(shard._rank(key) for shard in self._live())

    def _key_at(self, index: int) -> bytes:
        """A walk of the merged keys from the nearer end: O(min(index, n - index)) keys
        read, over every shard. (A file reader answers in O(log n).)"""
        n = self._entry_count()
        reverse = index >= n // 2
        keys = self._span(None, None, reverse, None, bytes, KEYS)
        return cast(bytes, next(islice(keys, n - 1 - index if reverse else index, None)))

    def _entry_count(self) -> int:
        return sum(shard._entry_count() for shard in self._live())

    def key_at(self, index: int) -> Key:
        """The key at ``index`` in key order, counted from the end when negative;
        ``IndexError`` outside. The shards are merged from the nearer end up to it, so it
        reads ``min(index, len - index)`` keys: use ``range`` for a run of them.

        >>> with ShardedReader("users.shards") as r:
        ...     r.key_at(0), r.key_at(-1), r.rank("user:2")
        ('user:1', 'user:2', 1)
        """
        return super().key_at(index)

    def __len__(self) -> int:
        """``len(r)``: the number of keys of all shards (from the manifest)."""
        self._live()
        return self._len

    def objects(self) -> list[Value]:
        """Each shard's distinct objects, shard after shard (equal values in two shards are
        two objects: values are shared within a shard only)."""
        return self._decode_objects([payload for shard in self._live() for payload in shard.objects()])

    @property
    def path(self) -> str:
        """The version directory this reader reads."""
        return self._version_dir

    @property
    def shards(self) -> tuple[KalvReader, ...]:
        """Each shard's own reader, in shard order (raw payloads, ``bytes`` keys); closed
        with this reader."""
        return tuple(self._live())

    def stats(self) -> dict[str, Any]:
        """The manifest's figures and each shard's own ``stats()``."""
        manifest = self._manifest
        figures = ("routing", "created", "num_shards", "num_keys", "num_objects")
        return {"path": self._version_dir, "version": manifest["format_version"],
                **{figure: manifest[figure] for figure in figures},
                "file_size_kb": round(manifest["size"] / 1024, 1),
                "shards": [shard.stats() for shard in self._live()]}

    def verify(self) -> bool:
        """Check every shard's whole-file and object CRC-32s; True, or ``KalvCorruptError``
        naming the damaged file."""
        for shard in self._live():
            try:
                shard.verify()
            except errors.KalvCorruptError as exc:
                raise _layout.damaged(shard.path, exc) from exc
        return True

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""
        return not self._shards

    def close(self) -> None:
        """Release every shard's mapping; any later use raises ``ValueError``."""
        for shard in self._shards:
            shard.close()
        self._shards = []
        self._get_raw = [_closed]
        self._n = 1

    def __reduce__(self) -> tuple[Any, ...]:
        # The version directory, not the store's: the other process reads the same version.
        self._live()
        options = (self._raw_values, self._key_type, self._unpack_options)
        return (_reopen, (self._version_dir, *options))

    def __repr__(self) -> str:
        if not self._shards:
            return f"ShardedReader({self._version_dir!r}, closed)"
        return f"ShardedReader({self._version_dir!r}, shards={self._n}, keys={self._len})"


def _store_ids(pairs: Iterator[tuple[bytes, int]], shard: int, n: int) -> Iterator[tuple[bytes, int]]:
    """(key, object id) of shard ``shard`` of ``n``, the id made unique in the store."""
    return ((data, place * n + shard) for data, place in pairs)


def _reopen(path: str, raw: bool, key_type: type, unpack_options: dict[str, Any]) -> ShardedReader:
    # The sender checked the files when it opened them; their CRCs are not read again.
    return ShardedReader(path, verify=False, raw=raw, key_type=key_type, **unpack_options)


def open(path: PathLike, **options: Any) -> Union[KalvReader, ShardedReader]:
    """A ``KalvReader`` for a store file, a ``ShardedReader`` for a sharded store's directory
    (or one of its version directories); ``options`` go to either.

    >>> with kalvex.open("users.shards") as r:
    ...     r["user:1"]
    {'name': 'Ada'}
    """
    if os.path.isdir(path):
        return ShardedReader(path, **options)
    return KalvReader(path, **options)
