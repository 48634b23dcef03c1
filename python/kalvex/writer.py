"""KalvWriter: Python objects in, one immutable store out.

A writer collects objects (values encoded with msgpack) and the keys that map to them,
then writes the store in one atomic build: a temporary file beside the target, fsync,
rename. Values beyond the first few go to that temporary file as they are added (or to an
anonymous one when the target is not known yet and they outgrow ``memory_limit``), so a
build's memory is bounded by its keys, not its data; nothing is published before
``build()``. A failed call leaves the writer as it was: keys are checked and the value
encoded before anything is stored.

Not thread-safe: one writer is filled from one thread at a time.
"""
from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from itertools import islice
from types import TracebackType
from typing import Any, Callable, Iterable, Optional, Sequence, Union

from kalvex import _backend
from kalvex._codec import Key, PathLike, Value, as_bytes, packer, refused_keys, value_encoder
from kalvex._contract import NativeWriter

BytesLike = Union[bytes, bytearray, memoryview]
# Keys of any accepted type: a Mapping's key type is invariant, so a dict[str, ...] must fit.
Data = Union[Mapping[Any, Value], Iterable[tuple[Any, Value]]]

# Pairs handed to the native writer per call by update(): enough that the call's own cost
# vanishes, few enough that the chunk's payloads stay in the CPU caches until copied.
_BATCH = 2048
_C_LOOPS = sys.implementation.name == "cpython"


class KalvWriter:
    """Builds one store from Python values.

    ``path`` is where ``build()`` writes when it is given no path. With ``dedupe`` (the
    default) byte-identical encoded values are stored once however they were added; with
    ``dedupe=False`` every add stores its own object. ``default`` is handed to msgpack for
    values of types it cannot encode. With ``index`` (the default) the store carries a
    mapped hash index as its last object, about 10.5 bytes per key, so that readers open it
    in constant time; ``index=False`` writes the plain file. Either is a valid store for
    every reader.

    With ``compression="zstd"`` the build compresses each distinct value (libzstd at
    ``compression_level``, 3 by default) with a dictionary: ``dictionary`` (bytes, e.g. from
    ``train_dictionary()`` of another writer or ``KalvReader.dictionary()``, so that shards
    share one) or one trained at build from a sample of the values. A value that does not
    shrink is kept as it is, at one byte of overhead. Readers decode transparently;
    ``kalvex._kalvex`` opens such a store too, but its ``get_raw`` gives the values as
    stored (behind their head, compressed). Without the option the file is exactly as before.

    ``memory_limit`` bounds, in bytes, what the writer holds in memory (None: a quarter of
    the machine's memory, at least 256 MiB). A writer given its ``path`` writes the values
    to the build's temporary file as they come; ``build()`` to that path then publishes
    that file. Keys beyond the budget go to sorted runs in unnamed temporary files, merged
    at build (the last assignment of a key wins). With ``dedupe``, the table that finds
    duplicates takes an eighth of the budget; values past it are matched at build instead:
    such a value added again may get a new object id (``add``), and the build stores it
    once. The file is the same whatever the budget.
    ``close()`` (or a ``with`` block that raises) drops the writer and its
    temporary file without building.

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
        index: bool = True,
        compression: Optional[str] = None,
        compression_level: int = 3,
        dictionary: Optional[BytesLike] = None,
        memory_limit: Optional[int] = None,
    ) -> None:
        self._path = os.fsdecode(path) if path is not None else None
        self._index = bool(index)
        self._level, self._dictionary = compression_options(compression, compression_level, dictionary)
        self._raw: NativeWriter = _backend.BACKEND.new_writer(self._path, memory_budget(memory_limit))
        self._pack = packer(default)
        self._encode = value_encoder(self._pack)
        # One native call per add: it checks every key, stores the payload (whole-byte
        # dedupe in the native writer when `unique`) and maps the keys, or changes nothing.
        self._put = self._raw.add_mapped
        self._unique = bool(dedupe)

    def __setitem__(self, key: Key, value: Value) -> None:
        """Store ``value`` as one object under ``key``; a key set again maps to the new value."""
        try:
            payload = self._pack(value)
        except (TypeError, ValueError, OverflowError):
            payload = self._encode(key, value)
        try:
            self._put(payload, (key,), self._unique)
        except ValueError as exc:
            raise refused_keys((key,), exc)

    def add(self, value: Value, *keys: Key) -> int:
        """Store ``value`` once, map every key to it, and return its object id."""
        try:
            return self._put(self._encode(keys[0] if keys else None, value), keys, self._unique)
        except ValueError as exc:
            raise refused_keys(keys, exc)

    def add_raw(self, payload: BytesLike, *keys: Key) -> int:
        """Like ``add`` for a payload already encoded (any bytes-like object), stored as is."""
        try:
            return self._put(payload if type(payload) is bytes else bytes(memoryview(payload)), keys, self._unique)
        except ValueError as exc:
            raise refused_keys(keys, exc)

    def add_many_raw(self, items: Iterable[tuple[BytesLike, Sequence[Key]]]) -> int:
        """``add_raw(payload, *keys)`` for each ``(payload, keys)`` of ``items``; how many.

        The loop of a bulk load, with the work of each call bound once. An item that fails
        (a key of the wrong type or over the limit) raises with nothing of it stored; the
        items before it stay added.

        >>> w = KalvWriter()
        >>> w.add_many_raw([(b"\\x01", ["one", "uno"]), (b"\\x02", ["two"])])
        2
        """
        put, unique = self._put, self._unique
        count = 0
        for payload, keys in items:
            try:
                put(payload if type(payload) is bytes else bytes(memoryview(payload)),
                    keys if type(keys) is tuple or type(keys) is list else tuple(keys), unique)
            except ValueError as exc:
                raise refused_keys(keys, exc)
            count += 1
        return count

    def link(self, key: Key, object_id: int) -> None:
        """Map one more key to an object already stored (``KalvError`` if there is none)."""
        try:
            self._raw.add_key(key, object_id)
        except ValueError as exc:
            raise refused_keys((key,), exc)

    def update(self, data: Data = (), **more: Value) -> None:
        """Set every (key, value) of a mapping or an iterable of pairs, then of ``more``."""
        pairs: Iterable[tuple[Any, Value]]
        if isinstance(data, Mapping):
            pairs = data.items()
        elif hasattr(data, "keys"):
            pairs = ((key, data[key]) for key in data.keys())  # type: ignore[index]
        else:
            pairs = data
        # Pairs reach the native writer a chunk per call, which checks every key before it
        # stores anything. On CPython a dict's chunk is taken and encoded by C loops
        # (islice, map), faster there than any Python loop; PyPy's JIT compiles the plain
        # loop below into something faster than those calls.
        if type(data) is dict and _C_LOOPS:
            keys_of, values_of = iter(data), iter(data.values())
            while True:
                keys = list(islice(keys_of, _BATCH))
                if not keys:
                    break
                self._add_chunk(keys, list(islice(values_of, len(keys))))
        else:
            pack = self._pack
            keys = []
            payloads: list[bytes] = []
            try:
                for key, value in pairs:
                    try:
                        payload = pack(value)
                    except (TypeError, ValueError, OverflowError):
                        payload = self._encode(key, value)
                    keys.append(key)
                    payloads.append(payload)
                    if len(keys) == _BATCH:
                        full, encoded = keys, payloads
                        keys, payloads = [], []  # before the add: its failure must not repeat it
                        self._add_packed(full, encoded)
            finally:
                # What came before a failure (of the source, an item, a value) is stored;
                # a refused key among it raises first, as it came first.
                self._add_packed(keys, payloads)
        if more:
            self.update(more)

    def _add_chunk(self, keys: list[Any], values: list[Value]) -> None:
        """Adds keys[i] with values[i] for each i. What fails (a value that does not encode,
        a refused key) goes through _add_each, which stores the pairs before the culprit
        and raises what an add of it alone raises."""
        payloads: list[bytes] = []
        failure: Optional[BaseException] = None
        try:
            payloads.extend(map(self._pack, values))
        except BaseException as exc:  # the values before it are stored all the same
            failure = exc
        done = len(payloads)
        self._add_packed(keys[:done] if done < len(keys) else keys, payloads)
        if failure is not None:
            if not isinstance(failure, (TypeError, ValueError, OverflowError)):
                raise failure
            self._add_each(zip(keys[done:], values[done:]), encode=True)  # names the culprit's key

    def _add_packed(self, keys: list[Any], payloads: list[bytes]) -> None:
        """Adds keys[i] with payloads[i] for each i; a refused key raises as its own add
        would, with the pairs before it stored."""
        if keys:
            stored = self._raw.add_pairs(payloads, keys, self._unique)
            if stored < len(keys):
                # The refused pair alone raises its error (a batch refused for its size
                # alone goes on one pair at a time).
                self._add_each(zip(keys[stored:], payloads[stored:]))

    def _add_each(self, pairs: Iterable[Any], encode: bool = False) -> None:
        """Adds (key, payload) pairs, or with ``encode`` (key, value) pairs, one call each;
        raises at the first that fails, with the pairs before it stored."""
        put, unique = self._put, self._unique
        for key, item in pairs:
            payload = self._encode(key, item) if encode else item
            try:
                put(payload, (key,), unique)
            except ValueError as exc:
                raise refused_keys((key,), exc)

    def __len__(self) -> int:
        """The number of distinct keys added so far."""
        return self._raw.key_count()

    def __contains__(self, key: object) -> bool:
        """``key in w``: whether ``key`` has been added; an object that cannot be a key
        (neither ``str`` nor bytes) never has."""
        try:
            return self._raw.contains(key if type(key) is str or type(key) is bytes else as_bytes(key))
        except ValueError:
            return False

    def build(self, path: Optional[PathLike] = None) -> str:
        """Write the store atomically to ``path`` (or the writer's path) and return that path.

        Prints nothing. The writer is unchanged and may be grown and built again.
        """
        target = os.fsdecode(path) if path is not None else self._path
        if target is None:
            raise ValueError("no path to build: give one to KalvWriter() or to build()")
        # Objects no key reaches (a key's replaced value) are left out of the file.
        self._raw.build(target, self._index, True, self._level, self._dictionary)
        return target

    def train_dictionary(self) -> bytes:
        """The dictionary a compressed build would train from the values added so far
        (``b""`` when they are too few to learn from): give it as ``dictionary=`` to the
        writers of stores that should share it."""
        return self._raw.train_dictionary()

    def close(self) -> None:
        """Drop the writer without building: its values, keys and temporary file go. Every
        later call but ``close()`` raises ``ValueError``; a store built before stays."""
        if isinstance(self._raw, _ClosedWriter):
            return
        self._raw.discard()
        self._raw = _ClosedWriter()
        self._put = self._raw.add_mapped

    def __enter__(self) -> "KalvWriter":
        return self

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        """Build on a clean exit; when the block raised, write nothing and close."""
        if exc_type is None:
            self.build()
        else:
            self.close()

    def __repr__(self) -> str:
        if isinstance(self._raw, _ClosedWriter):
            return f"<KalvWriter path={self._path!r} closed>"
        return f"<KalvWriter path={self._path!r} keys={len(self)}>"


def _closed(*args: Any) -> Any:
    raise ValueError("writer is closed")


class _ClosedWriter:
    """What a closed KalvWriter calls: every method raises ValueError."""

    def __getattr__(self, name: str) -> Callable[..., Any]:
        return _closed


# A writer's default memory budget: a quarter of the machine's memory, at least this much.
_MIN_DEFAULT_BUDGET = 256 << 20


def memory_budget(memory_limit: Optional[int]) -> int:
    """The bytes a writer may hold in memory for ``memory_limit`` (None: a quarter of the
    machine's physical memory, at least 256 MiB). ``TypeError`` for a limit that is no int,
    ``ValueError`` for one below 1."""
    if memory_limit is None:
        try:
            physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        except (ValueError, OSError, AttributeError):
            physical = 0
        return max(_MIN_DEFAULT_BUDGET, physical // 4)
    if type(memory_limit) is not int:
        raise TypeError(f"memory_limit must be an int or None, not {type(memory_limit).__name__}")
    if memory_limit < 1:
        raise ValueError(f"memory_limit must be at least 1 byte, not {memory_limit}")
    return memory_limit


COMPRESSIONS = ("zstd",)


def compression_options(compression: Optional[str], level: int,
                        dictionary: Optional[BytesLike]) -> tuple[int, Optional[bytes]]:
    """What the native build takes for the writer's compression arguments: the level (0 for
    none) and the dictionary's bytes. ``ValueError`` for an unknown compression or a
    dictionary without one, ``TypeError`` for a level that is no int."""
    if compression is None:
        if dictionary is not None:
            raise ValueError("a dictionary is only used with compression='zstd'")
        return 0, None
    if compression not in COMPRESSIONS:
        raise ValueError(f"unknown compression {compression!r}: use 'zstd' or None")
    if type(level) is not int:
        raise TypeError(f"compression_level must be an int, not {type(level).__name__}")
    given = None if dictionary is None else bytes(memoryview(dictionary))
    # libzstd reads level 0 as its default, 3; the native call reads 0 as "no compression".
    return level or 3, given


def build(
    path: PathLike,
    data: Data,
    *,
    dedupe: bool = True,
    default: Optional[Callable[[Any], Any]] = None,
    index: bool = True,
    compression: Optional[str] = None,
    compression_level: int = 3,
    dictionary: Optional[BytesLike] = None,
    memory_limit: Optional[int] = None,
) -> str:
    """Build a store at ``path`` from a mapping or (key, value) pairs in one call; the
    options are ``KalvWriter``'s. A failure (of ``data``, of the build) leaves no
    temporary file.

    >>> kalvex.build("colors.klvx", {"red": [255, 0, 0]})
    'colors.klvx'
    """
    writer = KalvWriter(path, dedupe=dedupe, default=default, index=index, compression=compression,
                        compression_level=compression_level, dictionary=dictionary, memory_limit=memory_limit)
    try:
        writer.update(data)
        return writer.build()
    finally:
        writer.close()
