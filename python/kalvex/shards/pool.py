"""``build``: a sharded store built and published on a local process pool.

Workers route chunks of records into spill files in the staging directory, then build the
shards from them (``write_shard``); the parent stages and publishes. The workers' functions
live at module level, where a pool started by spawn imports them from.
"""
from __future__ import annotations

import io
import multiprocessing
import os
import pickle
from collections.abc import Mapping
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from itertools import islice, repeat
from typing import Any, Callable, Iterable, Iterator, Optional, Union

from kalvex.shards.publish import Entry, Staging, shared_dictionary, write_shard
from kalvex.shards.routing import Field, route_records
from kalvex._codec import PathLike
from kalvex.writer import compression_options

# What route_records takes besides the records, set once in each worker.
_worker_fields: dict[str, Any] = {}


def _init_worker(fields: dict[str, Any]) -> None:
    _worker_fields.update(fields)


def _spill_name(shard: int, chunk: Optional[int] = None) -> str:
    prefix = f".spill-{shard:05d}-"
    return prefix if chunk is None else f"{prefix}{chunk:010d}"


def _spill_chunk(directory: str, nshards: int, chunk: int, records: list[Any]) -> None:
    """Route and encode a chunk of records; write each shard's part to its own spill file."""
    buckets: dict[int, list[tuple[bytes, bytes]]] = {}
    for shard, data, payload in route_records(records, nshards, **_worker_fields):
        buckets.setdefault(shard, []).append((data, payload))
    for shard, pairs in buckets.items():
        with io.open(os.path.join(directory, _spill_name(shard, chunk)), "wb") as file:
            pickle.dump(pairs, file, protocol=pickle.HIGHEST_PROTOCOL)


def _build_spilled(directory: str, shard: int, nshards: int, index: bool, compression: dict[str, Any]) -> Entry:
    """Build one shard from its spill files, read in chunk order so the last value wins."""
    prefix = _spill_name(shard)
    names = sorted(name for name in os.listdir(directory) if name.startswith(prefix))

    def pairs() -> Iterator[tuple[bytes, bytes]]:
        for name in names:
            with io.open(os.path.join(directory, name), "rb") as file:
                part: list[tuple[bytes, bytes]] = pickle.load(file)
            yield from part

    entry = write_shard(directory, shard, nshards, pairs(), encoded=True, check_routing=False, index=index,
                        **compression)
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
    index: bool = True,
    compression: Optional[str] = None,
    compression_level: int = 3,
    dictionary: Optional[bytes] = None,
    memory_limit: Optional[int] = None,
) -> str:
    """Build and publish a sharded store from ``records`` on a local process pool.

    Records are (key, value) pairs (or a mapping's items) unless ``key`` says where a
    record's key is (a field name, an index or a function); ``value`` likewise, the whole
    record when None. The parent reads records in chunks of ``chunk_size``; the workers
    route and encode each chunk to spill files, then build one shard each at a time, so
    memory holds a few chunks and one shard per worker. A key given twice keeps its last
    value. ``default`` is handed to msgpack for values of types it cannot encode (a
    ``datetime``, say), and ``index`` says whether each shard carries a mapped index, as
    for ``KalvWriter``. ``compression``, ``compression_level`` and ``dictionary`` are
    ``KalvWriter``'s; every shard shares one dictionary: ``dictionary``, or one trained in
    the parent from the first chunk of records. ``memory_limit`` is ``KalvWriter``'s, for
    each worker's writer. Returns the new version's directory.

    Where the platform can fork, ``key``, ``value`` and ``default`` may be lambdas; under
    spawn they must pickle.

    >>> rows = [{"id": "user:1", "name": "Ada"}, {"id": "user:2", "name": "Bob"}]
    >>> kalvex.shards.build(rows, "people.shards", 16, key="id")
    '...people.shards/v-000001'
    """
    fields: dict[str, Any] = {"key": key, "value": value, "default": default}
    route_records((), nshards, **fields)  # the fields checked here, before any process starts
    compression_options(compression, compression_level, dictionary)  # and these
    shared = {"compression": compression, "compression_level": compression_level, "dictionary": dictionary,
              "memory_limit": memory_limit}
    if key is None and isinstance(records, Mapping):
        records = records.items()
    workers = processes or os.cpu_count() or 1
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork" if "fork" in methods else "spawn")
    with Staging(out_dir, nshards, keep=keep) as staging, ProcessPoolExecutor(
        workers, mp_context=context, initializer=_init_worker, initargs=(fields,)
    ) as pool:
        pending: set[Future[None]] = set()
        iterator = iter(records)
        for chunk, part in enumerate(iter(lambda: list(islice(iterator, chunk_size)), [])):
            if chunk == 0 and compression is not None and dictionary is None:
                shared["dictionary"] = shared_dictionary(
                    payload for _, _, payload in route_records(part, nshards, **fields))
            if len(pending) >= 2 * workers:
                done, pending = wait(pending, return_when=FIRST_COMPLETED)
                for future in done:
                    future.result()
            pending.add(pool.submit(_spill_chunk, staging.path, nshards, chunk, part))
        for future in pending:
            future.result()
        entries = list(pool.map(_build_spilled, repeat(staging.path), range(nshards), repeat(nshards),
                                repeat(index), repeat(shared)))
        return staging.publish(entries)
