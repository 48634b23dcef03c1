"""KalvWriter: Python objects in, one immutable store out.

A writer collects objects (values encoded with msgpack) and the keys that map to them in
memory, then writes the store in one atomic build: a temporary file beside the target,
fsync, rename. Nothing is written before ``build()``, and a failed call leaves the writer
as it was: keys are checked and the value encoded before anything is stored.

Not thread-safe: one writer is filled from one thread at a time.
"""
from __future__ import annotations

import os
from collections.abc import Mapping
from types import TracebackType
from typing import Any, Callable, Iterable, Optional, Sequence, Union

from kalvex import _backend
from kalvex._codec import MAX_KEY_BYTES, Key, Value, key_bytes, packer
from kalvex._dedupe import PayloadTable

PathLike = Union[str, "os.PathLike[str]"]
BytesLike = Union[bytes, bytearray, memoryview]
# Keys of any accepted type: a Mapping's key type is invariant, so a dict[str, ...] must fit.
Data = Union[Mapping[Any, Value], Iterable[tuple[Any, Value]]]


class KalvWriter:
    """Builds one store from Python values.

    ``path`` is where ``build()`` writes when it is given no path. With ``dedupe`` (the
    default) byte-identical encoded values are stored once however they were added; with
    ``dedupe=False`` every add stores its own object. ``default`` is handed to msgpack for
    values of types it cannot encode.

    >>> with KalvWriter("users.klvx") as w:
    ...     w["user:1"] = {"name": "Ada"}
    ...     w.add({"name": "Bob"}, "user:2", "email:bob@example.org")
    1
    """

    def __init__(
        self,
        path: Optional[PathLike] = None,
        *,
        dedupe: bool = True,
        default: Optional[Callable[[Any], Any]] = None,
    ) -> None:
        self._path = os.fspath(path) if path is not None else None
        self._raw = _backend.BACKEND.new_writer()
        self._pack = packer(default)
        self._table = PayloadTable() if dedupe else None
        # The native writer dedupes by itself, comparing whole payloads in one call.
        self._add_unique: Optional[Callable[[bytes], int]] = self._raw.add_unique if dedupe else None
        self._keys: set[bytes] = set()
        self._add_key = self._raw.add_key

    def _encode(self, key: object, value: Value) -> bytes:
        try:
            return self._pack(value)
        except (TypeError, ValueError, OverflowError) as exc:
            raise TypeError(
                f"cannot encode the value of key {key!r} ({type(value).__name__}): {exc}"
            ) from exc

    def _store(self, payload: bytes) -> int:
        if self._add_unique is not None:
            return self._add_unique(payload)
        if self._table is None:
            return self._raw.add(payload)
        return self._table.intern(payload, self._raw.add)

    def _dedupe_from_here(self) -> None:
        """Dedupe later objects among themselves only, not against those stored so far."""
        self._table = PayloadTable()
        self._add_unique = None

    def __setitem__(self, key: Key, value: Value) -> None:
        """Store ``value`` as one object under ``key``; a key set again maps to the new value."""
        data = key_bytes(key)
        self._add_key(data, self._store(self._encode(key, value)))
        self._keys.add(data)

    def add(self, value: Value, *keys: Key) -> int:
        """Store ``value`` once, map every key to it, and return its object id."""
        datas = [key_bytes(key) for key in keys]
        object_id = self._store(self._encode(keys[0] if keys else None, value))
        self._link_all(datas, object_id)
        return object_id

    def add_raw(self, payload: BytesLike, *keys: Key) -> int:
        """Like ``add`` for a payload already encoded (any bytes-like object), stored as is."""
        datas = [key_bytes(key) for key in keys]
        data = payload if type(payload) is bytes else bytes(memoryview(payload))
        object_id = self._store(data)
        self._link_all(datas, object_id)
        return object_id

    def add_many_raw(self, items: Iterable[tuple[BytesLike, Sequence[Key]]]) -> int:
        """``add_raw(payload, *keys)`` for each ``(payload, keys)`` of ``items``; how many.

        The loop of a bulk load, with the work of each call bound once. An item that fails
        (a key of the wrong type or over the limit) raises with nothing of it stored; the
        items before it stay added.

        >>> w = KalvWriter()
        >>> w.add_many_raw([(b"\\x01", ["one", "uno"]), (b"\\x02", ["two"])])
        2
        """
        store, add_key, seen = self._store, self._add_key, self._keys
        count = 0
        for payload, keys in items:
            try:
                datas = [key.encode() if type(key) is str else key_bytes(key) for key in keys]
            except UnicodeEncodeError:
                datas = [key_bytes(key) for key in keys]  # raises, naming the key
            for data in datas:
                if len(data) > MAX_KEY_BYTES:
                    key_bytes(data)
            object_id = store(payload if type(payload) is bytes else bytes(memoryview(payload)))
            for data in datas:
                add_key(data, object_id)
            seen.update(datas)
            count += 1
        return count

    def link(self, key: Key, object_id: int) -> None:
        """Map one more key to an object already stored (``KalvError`` if there is none)."""
        data = key_bytes(key)
        self._add_key(data, object_id)
        self._keys.add(data)

    def _link_all(self, datas: list[bytes], object_id: int) -> None:
        add_key = self._add_key
        for data in datas:
            add_key(data, object_id)
        self._keys.update(datas)

    def update(self, data: Data = (), **more: Value) -> None:
        """Set every (key, value) of a mapping or an iterable of pairs, then of ``more``."""
        pairs: Iterable[tuple[Any, Value]]
        if isinstance(data, Mapping):
            pairs = data.items()
        elif hasattr(data, "keys"):
            pairs = ((key, data[key]) for key in data.keys())  # type: ignore[index]
        else:
            pairs = data
        # The loop of a whole build: names bound once, the common str key encoded inline.
        pack, store, add_key, keys = self._pack, self._store, self._add_key, self._keys
        for key, value in pairs:
            try:
                stored = key.encode() if type(key) is str else key_bytes(key)
            except UnicodeEncodeError:
                stored = key_bytes(key)  # raises, naming the key
            if len(stored) > MAX_KEY_BYTES:
                key_bytes(key)
            try:
                payload = pack(value)
            except (TypeError, ValueError, OverflowError):
                payload = self._encode(key, value)
            add_key(stored, store(payload))
            keys.add(stored)
        if more:
            self.update(more)

    def __len__(self) -> int:
        """The number of distinct keys added so far."""
        return len(self._keys)

    def __contains__(self, key: object) -> bool:
        try:
            return key_bytes(key) in self._keys
        except ValueError:
            return False

    def build(self, path: Optional[PathLike] = None) -> str:
        """Write the store atomically to ``path`` (or the writer's path) and return that path.

        The writer is unchanged and may be grown and built again.
        """
        target = os.fspath(path) if path is not None else self._path
        if target is None:
            raise ValueError("no path to build: give one to KalvWriter() or to build()")
        self._raw.build(target)
        return target

    def __enter__(self) -> "KalvWriter":
        return self

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        """Build on a clean exit; when the block raised, write nothing."""
        if exc_type is None:
            self.build()

    def __repr__(self) -> str:
        return f"<KalvWriter path={self._path!r} keys={len(self._keys)}>"


def build(
    path: PathLike,
    data: Data,
    *,
    dedupe: bool = True,
    default: Optional[Callable[[Any], Any]] = None,
) -> str:
    """Build a store at ``path`` from a mapping or (key, value) pairs in one call.

    >>> kalvex.build("colors.klvx", {"red": [255, 0, 0]})
    'colors.klvx'
    """
    writer = KalvWriter(path, dedupe=dedupe, default=default)
    writer.update(data)
    return writer.build()
