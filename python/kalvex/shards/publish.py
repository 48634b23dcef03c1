"""Publishing, the building blocks of any engine: ``Staging(out_dir, nshards)`` on the
coordinating process, ``write_shard(staging.path, shard, nshards, pairs)`` wherever a
shard's records are (a worker, an executor), ``staging.publish(entries)`` back on the
coordinator; ``rollback`` makes the previous version current again. Only the process
holding the directory's lock changes it, and only through ``_layout``.
"""
from __future__ import annotations

import os
from typing import Any, Callable, Iterable, Iterator, Optional

from kalvex._codec import Key, PathLike
from kalvex.reader import KalvReader
from kalvex.shards import _layout
from kalvex.shards.routing import shard_of
from kalvex.writer import KalvWriter

# A shard's line in the manifest: shard, file, num_keys, num_objects (the user's, without
# the index), size, crc32, index (whether the file carries a mapped index).
Entry = dict[str, Any]


def write_shard(
    directory: PathLike,
    shard: int,
    nshards: int,
    pairs: Iterable[tuple[Key, Any]],
    *,
    encoded: bool = False,
    check_routing: bool = True,
    default: Optional[Callable[[Any], Any]] = None,
    index: bool = True,
    compression: Optional[str] = None,
    compression_level: int = 3,
    dictionary: Optional[bytes] = None,
    memory_limit: Optional[int] = None,
) -> Entry:
    """Build shard ``shard`` of ``nshards`` in ``directory`` from (key, value) pairs; return
    its entry for ``Staging.publish``.

    ``encoded`` pairs carry payload bytes already encoded (msgpack) instead of values. A key
    given twice takes its last value; equal values are stored once. With ``check_routing``
    a key that belongs to another shard is a ``ValueError``: a lookup would never find it.
    The file is verified against its CRC-32 once written. Call it once per shard, empty
    shards included (with no pairs). ``default``, ``index``, ``compression``,
    ``compression_level`` and ``dictionary`` are ``KalvWriter``'s: give every shard the
    same ``dictionary`` (``shared_dictionary``) so that none trains its own.
    ``memory_limit`` is ``KalvWriter``'s too.

    >>> with Staging("users.shards", 16) as staging:    # left unpublished: discarded
    ...     entry = write_shard(staging.path, 1, 16, [("user:1", {"name": "Ada"})])
    >>> entry["file"], entry["num_keys"]
    ('shard-00001-of-00016.klvx', 1)
    """
    _layout.check_shard_count(nshards)
    if type(shard) is not int or not 0 <= shard < nshards:
        raise ValueError(f"shard must be an int from 0 to {nshards - 1}, not {shard!r}")
    if check_routing:
        pairs = _checked_routing(pairs, shard, nshards)
    path = os.path.join(os.fsdecode(directory), _layout.shard_file_name(shard, nshards))
    writer = KalvWriter(path, default=default, index=index, compression=compression,
                        compression_level=compression_level, dictionary=dictionary, memory_limit=memory_limit)
    try:
        if encoded:
            writer.add_many_raw((payload, (key,)) for key, payload in pairs)
        else:
            writer.update(pairs)
        writer.build()
    finally:
        writer.close()
    return shard_entry(path, shard)


def shared_dictionary(payloads: Iterable[bytes]) -> bytes:
    """A compression dictionary trained from encoded values (a sample of a store's), for the
    writers of every shard to share: each shard is then smaller than with one of its own,
    which a small shard pays for in full. ``b""`` when the values are too few."""
    writer = KalvWriter(dedupe=True)
    writer.add_many_raw((payload, ()) for payload in payloads)
    return writer.train_dictionary()


def shard_entry(path: str, shard: int) -> Entry:
    """The entry of shard ``shard``, the file at ``path`` under its shard file name, once its
    CRC-32 is verified."""
    with KalvReader(path, verify=True, raw=True) as reader:
        return {"shard": shard, "file": os.path.basename(path), **_layout.shard_facts(reader)}


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

    >>> users = {"user:1": {"name": "Ada"}, "user:2": {"name": "Bob"}}
    >>> def pairs_of(shard):      # on an engine: the partition that holds this shard
    ...     return [(key, value) for key, value in users.items() if shard_of(key, 16) == shard]
    >>> with Staging("users.shards", 16) as staging:
    ...     entries = [write_shard(staging.path, i, 16, pairs_of(i)) for i in range(16)]
    ...     version = staging.publish(entries)
    >>> os.path.basename(version)
    'v-000002'
    """

    def __init__(self, out_dir: PathLike, nshards: int, *, keep: int = 2) -> None:
        _layout.check_shard_count(nshards)
        if type(keep) is not int or keep < 1:
            raise ValueError(f"keep must be an int of at least 1, not {keep!r}")
        self.root = os.path.abspath(os.fsdecode(out_dir))
        self.nshards = nshards
        self.keep = keep
        self._lock: Optional[int] = _layout.lock(self.root)
        try:
            _layout.remove_leftovers(self.root)
            numbers = _layout.version_numbers(self.root)
            self.version = _layout.version_name(numbers[-1] + 1 if numbers else 1)
            self.path = os.path.join(self.root, _layout.STAGING_PREFIX + self.version)
            os.mkdir(self.path)
        except BaseException:
            self._release()
            raise

    def shard_path(self, shard: int) -> str:
        """Where shard number ``shard`` of this version is written (``write_shard``'s file)."""
        return os.path.join(self.path, _layout.shard_file_name(shard, self.nshards))

    def publish(self, entries: Iterable[Entry]) -> str:
        """Check each shard against its entry, then make this version current atomically.

        Needs exactly one entry per shard. Returns the new version's directory.
        """
        if self._lock is None:
            raise ValueError("this staging was already published or aborted")
        ordered = self._in_shard_order(list(entries))
        for entry in ordered:
            _layout.open_shard(os.path.join(self.path, entry["file"]), entry).close()
        # A shard's task that died and ran again can leave its first attempt's temporary file.
        wanted = {entry["file"] for entry in ordered}
        for name in os.listdir(self.path):
            if name not in wanted:
                os.unlink(os.path.join(self.path, name))
        _layout.write_manifest(self.path, self.nshards, ordered)
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
            os.close(self._lock)
            self._lock = None

    def __enter__(self) -> "Staging":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.abort()


def rollback(out_dir: PathLike) -> str:
    """Make the version before the current one current again; return its directory.

    The version rolled back from stays on disk until the next publish removes it.
    """
    root = os.path.abspath(os.fsdecode(out_dir))
    lock = _layout.lock(root)
    try:
        current = _layout.current_version(root)
        earlier = _layout.previous_version(root, current) if current else None
        if earlier is None:
            raise ValueError(f"{root} has no earlier version to roll back to")
        _layout.set_current(root, earlier)
        return os.path.join(root, earlier)
    finally:
        os.close(lock)


def is_version(path: str) -> bool:
    """Whether ``path`` is one version of a sharded store (the directory holding its
    manifest), not the store's own directory."""
    return os.path.isfile(os.path.join(path, _layout.MANIFEST))
