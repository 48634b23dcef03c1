"""to_kalvex: a sharded store built by a Dask cluster from a Bag or a DataFrame.

Needs the extra ``kalvex[dask]``; Dask is imported on the first call, not with the package.

The graph: each input partition routes and encodes its records to (shard, key bytes,
payload) tuples, so only compact bytes travel; a group-by on the shard number shuffles
them into ``nshards`` output partitions; each output task builds the shards it received
(a partition may hold several shards' groups or none: Dask places groups by its own hash)
and verifies them. The client writes the shards no record went to, then publishes. The
store directory must be on a file system that the client and every worker see at the
same path.

Each shard build prints its one summary line on its worker's standard output (the native
build writes it to the process's file descriptor 1). It is left there: it names the shard
and its figures, there is one per shard, and muting it would take swapping descriptor 1 for
the whole worker process, silencing every other task running in its threads.
"""
from __future__ import annotations

from operator import itemgetter
from typing import Any, Callable, Iterable

from kalvex.shards import (
    Entry,
    Field,
    PathLike,
    Staging,
    extractor,
    route_and_encode,
    write_shard,
)

_SHARD_OF_TUPLE = itemgetter(0)


def to_kalvex(
    collection: Any,
    out_dir: PathLike,
    nshards: int,
    key: Field = None,
    value: Field = None,
    *,
    keep: int = 2,
    retries: int = 1,
) -> str:
    """Build a sharded store from a Dask Bag or DataFrame and publish it; return the new
    version's directory.

    ``key`` says where a record's key is (a field or column name, an index, or a function
    of the record); ``value`` likewise, the whole record when None (a DataFrame row as a
    dict of its columns). With neither, a Bag's elements are (key, value) pairs. Uses the
    current Dask scheduler (a ``distributed.Client`` when one is active). A task that fails
    runs again up to ``retries`` times; the version is published only once every shard
    is built and verified. When one key appears in several records, which value it keeps
    is not defined (the shuffle does not keep record order).

    >>> from dask.distributed import Client                     # doctest: +SKIP
    >>> client = Client(n_workers=2)
    >>> kalvex.dask.to_kalvex(bag, "/shared/users.shards", 16, key="id")
    """
    bag = _as_bag(collection)
    extract = extractor(key, value)
    with Staging(out_dir, nshards, keep=keep) as staging:
        routed = bag.map_partitions(_route_partition, nshards, extract)
        groups = routed.groupby(_SHARD_OF_TUPLE, npartitions=nshards)
        built = groups.map_partitions(_build_groups, staging.path, nshards)
        entries: list[Entry] = list(built.compute(retries=retries))
        done = {entry["shard"] for entry in entries}
        for shard in range(nshards):
            if shard not in done:
                entries.append(write_shard(staging.path, shard, nshards, ()))
        return staging.publish(entries)


def _as_bag(collection: Any) -> Any:
    import dask.bag

    if isinstance(collection, dask.bag.Bag):
        return collection
    if hasattr(collection, "to_bag") and hasattr(collection, "columns"):
        return collection.to_bag(index=False, format="dict")
    raise TypeError(f"to_kalvex needs a Dask Bag or DataFrame, not {type(collection).__name__}")


def _route_partition(
    records: Iterable[Any], nshards: int, extract: Callable[[Any], tuple[Any, Any]]
) -> list[tuple[int, bytes, bytes]]:
    return list(route_and_encode(records, nshards, extract))


def _build_groups(
    groups: Iterable[tuple[int, list[tuple[int, bytes, bytes]]]], directory: str, nshards: int
) -> list[Entry]:
    return [
        write_shard(
            directory,
            shard,
            nshards,
            ((data, payload) for _, data, payload in records),
            encoded=True,
            check_routing=False,
        )
        for shard, records in groups
    ]
