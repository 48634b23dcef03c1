"""Sharded stores: many store files built in parallel that read as one.

Routing. ``shard_of(key, n)`` is fixed for good, so that any process, machine, language or
later version finds a key in the shard that holds it:

1. ``h`` = XXH3-64 of the key's bytes (a ``str`` key as UTF-8), seed 0: the unsigned 64-bit
   integer ``XXH3_64bits(data, len)`` returns (its canonical 8-byte form is big-endian).
2. The shard is the jump consistent hash of ``h`` over ``n`` buckets (Lamping and Veach,
   "A Fast, Minimal Memory, Consistent Hash Algorithm", 2014), in 64-bit unsigned integers
   and IEEE-754 doubles::

       b = -1; j = 0
       while j < n:
           b = j
           h = h * 2862933555777941757 + 1          (mod 2**64)
           j = floor((b + 1) * (2**31 / ((h >> 33) + 1)))   (double arithmetic, this order)
       return b

   Growing ``n`` to ``n + 1`` moves about ``1 / (n + 1)`` of the keys, all into the new shard.

The building blocks, for any engine that can run a function per partition:

- ``Staging(out_dir, nshards)`` on the coordinating process: takes the directory's lock,
  removes a crashed build's leftovers and makes the staging directory ``staging.path``.
- ``write_shard(staging.path, shard, nshards, pairs)`` wherever shard ``shard``'s records
  are (a worker, an executor): builds and verifies the shard file, returns its entry.
- ``staging.publish(entries)`` back on the coordinating process: checks every shard against
  its entry, writes the manifest, makes the version current, retires old versions.

``build()`` runs them on a local process pool; ``kalvex.dask.to_kalvex`` on a Dask cluster.
``ShardedReader`` (or ``kalvex.open``) reads the current version.
"""
from __future__ import annotations

import heapq
import io
import multiprocessing
import os
import pickle
import sys
from collections.abc import Iterator, Mapping
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from itertools import islice
from operator import itemgetter
from types import TracebackType
from typing import Any, Callable, Iterable, NoReturn, Optional, Union, cast

from xxhash import xxh3_64_intdigest

from kalvex import _layout, errors
from kalvex._codec import Key, Value, as_bytes, key_bytes
from kalvex.reader import KalvReader, ReaderBase
from kalvex.writer import KalvWriter

PathLike = Union[str, "os.PathLike[str]"]
# How a record gives its key or value: a field name or index (``record[field]``) or a function.
Field = Union[str, int, Callable[[Any], Any], None]
Entry = dict[str, Any]
Extract = Callable[[Any], tuple[Any, Any]]

ROUTING = "xxh3_64-jump"
_LCG_MULTIPLIER = 2862933555777941757
_MASK64 = (1 << 64) - 1


def _jump_in_python(digest: int, n: int) -> int:
    """The jump consistent hash of a 64-bit ``digest`` over ``n`` buckets (see the header)."""
    bucket, jump = -1, 0
    while jump < n:
        bucket = jump
        digest = (digest * _LCG_MULTIPLIER + 1) & _MASK64
        jump = int((bucket + 1) * (2147483648.0 / ((digest >> 33) + 1)))
    return bucket


_jump = _jump_in_python
if sys.implementation.name == "cpython":
    # The same function compiled: CPython interprets the loop above a step at a time.
    try:
        from kalvex._native import jump_hash as _jump  # type: ignore[assignment]
    except ImportError:
        pass


def shard_of(key: Key, n: int) -> int:
    """The shard, from 0 to ``n - 1``, that holds ``key`` in a store of ``n`` shards.

    Stable everywhere (never Python's salted ``hash()``): ``"a"`` and ``b"a"`` route alike.

    >>> kalvex.shard_of("user:1", 16)
    1
    """
    if type(n) is not int or not 1 <= n < 1 << 31:
        raise ValueError(f"n must be an int from 1 to 2**31 - 1, not {n!r}")
    return _jump(xxh3_64_intdigest(as_bytes(key)), n)


# --- the building blocks --------------------------------------------------------------------


def write_shard(
    directory: PathLike,
    shard: int,
    nshards: int,
    pairs: Iterable[tuple[Key, Any]],
    *,
    encoded: bool = False,
    check_routing: bool = True,
    default: Optional[Callable[[Any], Any]] = None,
) -> Entry:
    """Build shard ``shard`` of ``nshards`` in ``directory`` from (key, value) pairs; return
    its entry for ``Staging.publish``.

    ``encoded`` pairs carry payload bytes already encoded (msgpack) instead of values. A key
    given twice takes its last value; equal values are stored once. With ``check_routing``
    a key that belongs to another shard is a ``ValueError``: a lookup would never find it.
    The file is verified against its CRC-32 once written. Call it once per shard, empty
    shards included (with no pairs). ``default`` is handed to msgpack for values of types it
    cannot encode, as ``KalvWriter`` does.

    >>> write_shard(staging.path, 1, 16, [("user:1", {"name": "Ada"})])   # doctest: +SKIP
    """
    _layout.check_shard_count(nshards)
    if type(shard) is not int or not 0 <= shard < nshards:
        raise ValueError(f"shard must be an int from 0 to {nshards - 1}, not {shard!r}")
    if check_routing:
        pairs = _checked_routing(pairs, shard, nshards)
    writer = KalvWriter(default=default)
    if encoded:
        add_raw = writer.add_raw
        for key, payload in pairs:
            add_raw(payload, key)
    else:
        writer.update(pairs)
    name = _layout.shard_file_name(shard, nshards)
    path = writer.build(os.path.join(os.fspath(directory), name))
    del writer
    with KalvReader(path, verify=True, raw=True) as reader:
        stats = reader.stats()
    return {
        "shard": shard,
        "file": name,
        "num_keys": stats["num_keys"],
        "num_objects": stats["num_objects"],
        "size": os.path.getsize(path),
        "crc32": stats["file_crc32"],
    }


def _checked_routing(
    pairs: Iterable[tuple[Key, Any]], shard: int, nshards: int
) -> Iterator[tuple[Key, Any]]:
    for pair in pairs:
        owner = shard_of(pair[0], nshards)
        if owner != shard:
            raise ValueError(f"key {pair[0]!r} belongs to shard {owner} of {nshards}, not {shard}")
        yield pair


class Staging:
    """A new version of the sharded store at ``out_dir`` while its shards are built.

    Holds the directory's lock from creation to ``publish()`` or ``abort()`` (a second
    builder gets ``KalvIOError``), after removing what a crashed build left behind. Workers
    write their shards into ``path`` with ``write_shard``. Used as a context manager, a block
    that raises discards the staged version and the current one stays as it was.

    >>> with Staging("users.shards", 16) as staging:          # doctest: +SKIP
    ...     entries = [write_shard(staging.path, i, 16, pairs_of(i)) for i in range(16)]
    ...     staging.publish(entries)
    """

    def __init__(self, out_dir: PathLike, nshards: int, *, keep: int = 2) -> None:
        _layout.check_shard_count(nshards)
        if type(keep) is not int or keep < 1:
            raise ValueError(f"keep must be an int of at least 1, not {keep!r}")
        self.root = os.path.abspath(os.fspath(out_dir))
        self.nshards = nshards
        self.keep = keep
        self._lock: Optional[_layout.Lock] = _layout.Lock(self.root)
        try:
            _layout.remove_leftovers(self.root)
            numbers = _layout.version_numbers(self.root)
            self.version = _layout.version_name(numbers[-1] + 1 if numbers else 1)
            self.path = os.path.join(self.root, _layout.STAGING_PREFIX + self.version)
            os.mkdir(self.path)
        except BaseException:
            self._release()
            raise

    def publish(self, entries: Iterable[Entry]) -> str:
        """Check each shard against its entry, then make this version current atomically.

        Needs exactly one entry per shard. Returns the new version's directory.
        """
        if self._lock is None:
            raise ValueError("this staging was already published or aborted")
        ordered = self._in_shard_order(list(entries))
        for entry in ordered:
            path = os.path.join(self.path, entry["file"])
            with _open_shard(path) as reader:
                _layout.check_shard(path, entry, reader.stats())
        # A shard's task that died and ran again can leave its first attempt's temporary file.
        wanted = {entry["file"] for entry in ordered}
        for name in os.listdir(self.path):
            if name not in wanted:
                os.unlink(os.path.join(self.path, name))
        _layout.write_manifest(self.path, _layout.manifest(self.nshards, ROUTING, ordered))
        final = os.path.join(self.root, self.version)
        os.rename(self.path, final)
        _layout.fsync_dir(self.root)
        previous = _layout.current_version(self.root)
        _layout.set_current(self.root, self.version)
        _layout.retire(self.root, self.version, previous, self.keep)
        self._release()
        return final

    def _in_shard_order(self, entries: list[Entry]) -> list[Entry]:
        by_shard: dict[int, Entry] = {}
        for entry in entries:
            shard = entry.get("shard")
            if shard in by_shard or type(shard) is not int or not 0 <= shard < self.nshards:
                raise ValueError(f"an entry for shard {shard!r} is a duplicate or out of range")
            if entry.get("file") != _layout.shard_file_name(shard, self.nshards):
                raise ValueError(f"the entry for shard {shard} names {entry.get('file')!r}")
            by_shard[shard] = entry
        missing = [shard for shard in range(self.nshards) if shard not in by_shard]
        if missing:
            raise ValueError(f"no entry for {len(missing)} shards (first: {missing[:5]})")
        return [by_shard[shard] for shard in range(self.nshards)]

    def abort(self) -> None:
        """Discard the staged version; the current one stays as it was."""
        if self._lock is not None:
            _layout.remove_leftovers(self.root)
            self._release()

    def _release(self) -> None:
        if self._lock is not None:
            self._lock.release()
            self._lock = None

    def __enter__(self) -> "Staging":
        return self

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.abort()


def rollback(out_dir: PathLike) -> str:
    """Make the version before the current one current again; return its directory.

    The version rolled back from stays on disk until the next publish removes it.
    """
    root = os.path.abspath(os.fspath(out_dir))
    lock = _layout.Lock(root)
    try:
        current = _layout.current_version(root)
        earlier = _layout.previous_version(root, current) if current else None
        if earlier is None:
            raise ValueError(f"{root} has no earlier version to roll back to")
        _layout.set_current(root, earlier)
        return os.path.join(root, earlier)
    finally:
        lock.release()


# --- one machine: a process pool -----------------------------------------------------------


def extractor(key: Field, value: Field) -> Extract:
    """A function from a record to its (key, value): ``None`` for both takes records as
    (key, value) pairs; a value of ``None`` with a key takes the whole record as the value."""
    if key is None:
        if value is not None:
            raise ValueError("value= needs key= too")
        return _as_pair
    get_key = key if callable(key) else itemgetter(key)
    if value is None:
        return lambda record: (get_key(record), record)
    get_value = value if callable(value) else itemgetter(value)
    return lambda record: (get_key(record), get_value(record))


def _as_pair(record: Any) -> tuple[Any, Any]:
    key, value = record
    return key, value


def route_and_encode(
    records: Iterable[Any],
    nshards: int,
    extract: Extract,
    default: Optional[Callable[[Any], Any]] = None,
) -> Iterator[tuple[int, bytes, bytes]]:
    """(shard, key bytes, msgpack payload) per record: the form records travel in.
    ``default`` encodes values of types msgpack does not know, as ``KalvWriter``'s does."""
    encode = KalvWriter(dedupe=False, default=default)._encode
    for record in records:
        key, value = extract(record)
        data = key_bytes(key)
        yield _jump(xxh3_64_intdigest(data), nshards), data, encode(key, value)


_worker_extract: Extract = _as_pair
_worker_default: Optional[Callable[[Any], Any]] = None


def _init_worker(extract: Extract, default: Optional[Callable[[Any], Any]]) -> None:
    global _worker_extract, _worker_default
    _worker_extract = extract
    _worker_default = default


def _spill_name(shard: int, chunk: Optional[int] = None) -> str:
    prefix = f".spill-{shard:05d}-"
    return prefix if chunk is None else f"{prefix}{chunk:010d}"


def _spill_chunk(directory: str, nshards: int, chunk: int, records: list[Any]) -> None:
    """Route and encode a chunk of records; write each shard's part to its own spill file."""
    buckets: dict[int, list[tuple[bytes, bytes]]] = {}
    for shard, data, payload in route_and_encode(records, nshards, _worker_extract, _worker_default):
        buckets.setdefault(shard, []).append((data, payload))
    for shard, pairs in buckets.items():
        with io.open(os.path.join(directory, _spill_name(shard, chunk)), "wb") as file:
            pickle.dump(pairs, file, protocol=pickle.HIGHEST_PROTOCOL)


def _build_spilled(directory: str, shard: int, nshards: int) -> Entry:
    """Build one shard from its spill files, read in chunk order so the last value wins."""
    prefix = _spill_name(shard)
    names = sorted(name for name in os.listdir(directory) if name.startswith(prefix))

    def pairs() -> Iterator[tuple[bytes, bytes]]:
        for name in names:
            with io.open(os.path.join(directory, name), "rb") as file:
                part: list[tuple[bytes, bytes]] = pickle.load(file)
            yield from part

    entry = write_shard(directory, shard, nshards, pairs(), encoded=True, check_routing=False)
    for name in names:
        os.unlink(os.path.join(directory, name))
    return entry


def build(
    records: Union[Iterable[Any], Mapping[Any, Any]],
    out_dir: PathLike,
    nshards: int,
    *,
    key: Field = None,
    value: Field = None,
    processes: Optional[int] = None,
    keep: int = 2,
    chunk_size: int = 20_000,
    default: Optional[Callable[[Any], Any]] = None,
) -> str:
    """Build and publish a sharded store from ``records`` on a local process pool.

    Records are (key, value) pairs (or a mapping's items) unless ``key`` says where a
    record's key is (a field name, an index or a function); ``value`` likewise, the whole
    record when None. The parent reads records in chunks of ``chunk_size``; the workers
    route and encode each chunk to spill files, then build one shard each at a time, so
    memory holds a few chunks and one shard per worker. A key given twice keeps its last
    value. ``default`` is handed to msgpack for values of types it cannot encode (a
    ``datetime``, say), as ``KalvWriter`` does. Returns the new version's directory.

    Where the platform can fork, ``key``, ``value`` and ``default`` may be lambdas; under
    spawn they must pickle.

    >>> rows = [{"id": "user:1", "name": "Ada"}, {"id": "user:2", "name": "Bob"}]
    >>> kalvex.shards.build(rows, "people.shards", 16, key="id")
    '...people.shards/v-000001'
    """
    extract = extractor(key, value)
    if key is None and isinstance(records, Mapping):
        records = records.items()
    workers = processes or os.cpu_count() or 1
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork" if "fork" in methods else "spawn")
    with Staging(out_dir, nshards, keep=keep) as staging, ProcessPoolExecutor(
        workers, mp_context=context, initializer=_init_worker, initargs=(extract, default)
    ) as pool:
        pending: set[Future[None]] = set()
        iterator = iter(records)
        chunk = 0
        while True:
            part = list(islice(iterator, chunk_size))
            if not part:
                break
            if len(pending) >= 2 * workers:
                done, pending = wait(pending, return_when=FIRST_COMPLETED)
                for future in done:
                    future.result()
            pending.add(pool.submit(_spill_chunk, staging.path, nshards, chunk, part))
            chunk += 1
        for future in pending:
            future.result()
        shards = range(nshards)
        entries = list(pool.map(_build_spilled, [staging.path] * nshards, shards, [nshards] * nshards))
        return staging.publish(entries)


# --- reading -------------------------------------------------------------------------------


def _open_shard(path: str, verify: bool = False) -> KalvReader:
    """A shard's reader (raw payloads, bytes keys); ``KalvCorruptError`` names a bad file."""
    try:
        return KalvReader(path, verify=verify, raw=True, key_type=bytes)
    except errors.KalvIOError as exc:
        if not os.path.exists(path):
            raise errors.KalvCorruptError(f"shard {path} is missing") from exc
        raise
    except errors.KalvexError as exc:
        raise errors.KalvCorruptError(f"shard {path} is damaged: {exc}") from exc


def _closed(_key: object) -> NoReturn:
    raise errors.closed_error()


class ShardedReader(ReaderBase):
    """A sharded store read as one Mapping, with ``KalvReader``'s API and options.

    ``path`` is the store directory (its current version is opened and kept: a later publish
    does not change what this reader sees) or a version directory. Every shard is opened and
    checked against the manifest at once; ``verify`` also checks each file's CRC-32. A lookup
    reads one shard; listings merge the shards in key order.

    >>> with ShardedReader("users.shards") as r:
    ...     r["user:1"], len(r), r.prefix("user:")
    ({'name': 'Ada'}, 2, [('user:1', {'name': 'Ada'}), ('user:2', {'name': 'Bob'})])
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
        self._version_dir = os.path.abspath(_layout.resolve(os.fsdecode(path)))
        self._manifest = _layout.read_manifest(self._version_dir, ROUTING)
        self._shards: list[KalvReader] = []
        try:
            for entry in self._manifest["shards"]:
                path = os.path.join(self._version_dir, entry["file"])
                self._shards.append(_open_shard(path, verify))
                _layout.check_shard(path, entry, self._shards[-1].stats())
        except BaseException:
            self.close()
            raise
        self._n = len(self._shards)
        self._get_raw: list[Callable[[Key], Optional[bytes]]] = [s.get_raw for s in self._shards]
        self._len: int = self._manifest["num_keys"]

    # --- lookups: one shard each ---------------------------------------------------------

    def _shard_getter(self, key: object) -> Callable[[Key], Optional[bytes]]:
        try:
            data = key.encode() if type(key) is str else as_bytes(key)
        except (ValueError, UnicodeError):
            # Never a stored key; the shard's own lookup raises the error a reader raises.
            return self._get_raw[0]
        return self._get_raw[_jump(xxh3_64_intdigest(data), self._n)]

    def __getitem__(self, key: Key) -> Value:
        # The hot path: _shard_getter inline for the common str key.
        try:
            data = key.encode() if type(key) is str else None
        except UnicodeError:
            data = None
        if data is None:
            payload = self._shard_getter(key)(key)
        else:
            payload = self._get_raw[_jump(xxh3_64_intdigest(data), self._n)](key)
        if payload is None:
            raise KeyError(key)
        return payload if self._raw_values else self._decode(key, payload)

    def get(self, key: Key, default: Any = None) -> Any:
        """The value of ``key``, or ``default`` when the store does not hold it."""
        payload = self._shard_getter(key)(key)
        if payload is None:
            return default
        return payload if self._raw_values else self._decode(key, payload)

    def get_raw(self, key: Key) -> Optional[bytes]:
        """The payload bytes of ``key`` as stored, or None."""
        return self._shard_getter(key)(key)

    def __contains__(self, key: object) -> bool:
        try:
            return self._shard_getter(key)(key) is not None  # type: ignore[arg-type]
        except ValueError:
            if not self._shards or self._get_raw[0] is _closed:
                raise
            return False

    # --- listings: the shards merged in key order ------------------------------------------

    def _live(self) -> list[KalvReader]:
        if not self._shards:
            raise errors.closed_error()
        return self._shards

    def _key_out(self, data: bytes) -> Key:
        return data if self._key_type is bytes else data.decode("utf-8", "replace")

    def _payloads(self, prefix: bytes, bytes_keys: bool) -> Iterator[tuple[Key, bytes]]:
        """(key, payload bytes) in key order; with ``bytes_keys`` the keys' exact bytes."""
        # With bytes keys asked for, the listings' keys are bytes.
        listings = [
            cast(Iterator[tuple[bytes, bytes]], shard._payloads(prefix, True))
            for shard in self._live()
        ]
        merged = heapq.merge(*listings, key=itemgetter(0))
        if bytes_keys:
            return cast(Iterator[tuple[Key, bytes]], merged)
        key_out = self._key_out
        return ((key_out(data), payload) for data, payload in merged)

    def _pairs(self, prefix: bytes) -> Iterator[tuple[Key, Any]]:
        pairs = self._payloads(prefix, self._key_type is bytes)
        if self._raw_values:
            return pairs
        decode = self._decode
        return ((key, decode(key, payload)) for key, payload in pairs)

    def _keys(self, prefix: bytes) -> Iterator[Key]:
        listings: list[Iterable[bytes]]
        # Each shard's own listing, never a copy: it fails at its next step after close().
        listings = [cast(Iterator[bytes], shard._keys(prefix)) for shard in self._live()]
        merged = heapq.merge(*listings)
        return merged if self._key_type is bytes else map(self._key_out, merged)

    def __len__(self) -> int:
        self._live()
        return self._len

    def objects(self) -> list[Value]:
        """Each shard's distinct objects, shard after shard (equal values in two shards are
        two objects: values are shared within a shard only)."""
        return self._decode_objects([payload for shard in self._live() for payload in shard.objects()])

    # --- metadata and checks ---------------------------------------------------------------

    @property
    def path(self) -> str:
        """The version directory this reader reads."""
        return self._version_dir

    def stats(self) -> dict[str, Any]:
        """The manifest's figures and each shard's own ``stats()``."""
        manifest = self._manifest
        return {
            "path": self._version_dir,
            "version": manifest["format_version"],
            "routing": manifest["routing"],
            "created": manifest["created"],
            "num_shards": manifest["num_shards"],
            "num_keys": manifest["num_keys"],
            "num_objects": manifest["num_objects"],
            "file_size_kb": round(manifest["size"] / 1024, 1),
            "shards": [shard.stats() for shard in self._live()],
        }

    def verify(self) -> bool:
        """Check every shard's whole-file and object CRC-32s; True, or ``KalvCorruptError``
        naming the damaged file."""
        for shard in self._live():
            try:
                shard.verify()
            except errors.KalvCorruptError as exc:
                raise errors.KalvCorruptError(f"shard {shard.path} is damaged: {exc}") from exc
        return True

    # --- lifetime --------------------------------------------------------------------------

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
