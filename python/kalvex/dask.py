"""to_kalvex: a sharded store built by a Dask cluster from a Bag or a DataFrame.

Needs the extra ``kalvex[dask]`` (Dask's distributed scheduler and its DataFrame, whose
shuffle this uses); Dask is imported on the first call, not with the package.

The graph: each input partition routes and encodes its records to rows of (shard, key
bytes, payload), so only compact bytes travel. Setting the shard number as the index with
the divisions 0, 1, ..., n moves every row to the output partition of its shard (Dask's
peer-to-peer shuffle: tasks in proportion to partitions plus shards, data spilled to disk
when it does not fit), so partition i holds exactly shard i's rows, none for an empty
shard. One task per partition builds and verifies its shard. The client publishes. The store
directory must be on a file system that the client and every worker see at the same path.

Shard builds print nothing; each shard's figures are in the manifest.
"""
from __future__ import annotations

from typing import Any, Callable, Iterable, Optional

from kalvex.shards import Field, Staging, route_records, write_shard
from kalvex.shards.publish import shared_dictionary
from kalvex.writer import compression_options
from kalvex._codec import PathLike

# Rows of the routed table. Keys and payloads are bytes objects; Dask's option to turn
# object columns into string columns is switched off while it is built.
_COLUMNS: dict[str, Any] = {"shard": "int64", "key": object, "payload": object}
# A shard's entry for the manifest, as write_shard made it: one cell of the built table.
_ENTRY_COLUMNS: dict[str, Any] = {"entry": object}


def to_kalvex(
    collection: Any,
    out_dir: PathLike,
    nshards: int,
    key: Field = None,
    value: Field = None,
    *,
    keep: int = 2,
    retries: int = 1,
    default: Optional[Callable[[Any], Any]] = None,
    index: bool = True,
    compression: Optional[str] = None,
    compression_level: int = 3,
    dictionary: Optional[bytes] = None,
    memory_limit: Optional[int] = None,
) -> str:
    """Build a sharded store from a Dask Bag or DataFrame and publish it; return the new
    version's directory.

    ``key`` says where a record's key is (a field or column name, an index, or a function
    of the record); ``value`` likewise, the whole record when None (a DataFrame row as a
    dict of its columns). With neither, a Bag's elements are (key, value) pairs. Uses the
    current Dask scheduler (a ``distributed.Client`` when one is active). A task that fails
    runs again up to ``retries`` times; the version is published only once every shard
    is built and verified. When one key appears in several records, which value it keeps
    is not defined (the shuffle does not keep record order). ``default`` is handed to
    msgpack for values of types it cannot encode, as ``KalvWriter`` does: a DataFrame's
    datetime column, say, stored with ``default=lambda t: t.isoformat()``. It travels to
    the workers, so it must pickle where they are other processes. ``index`` says whether
    each shard carries a mapped index, as for ``KalvWriter``. ``compression``,
    ``compression_level`` and ``dictionary`` are ``KalvWriter``'s; every shard shares one
    dictionary: ``dictionary``, or one trained from the first input partition (computed
    once more for it). ``memory_limit`` is ``KalvWriter``'s, for each shard's writer.

    Here on a local cluster of two in-process workers; on a real one, the client of its
    scheduler and a directory on a file system every worker sees:

    >>> import dask.bag as db
    >>> from dask.distributed import Client, LocalCluster
    >>> bag = db.from_sequence([{"id": f"user:{i}", "name": f"user {i}"} for i in range(100)],
    ...                        npartitions=4)
    >>> with LocalCluster(n_workers=2, processes=False, dashboard_address=":0") as c, Client(c):
    ...     version = kalvex.dask.to_kalvex(bag, "dask-users.shards", 16, key="id")
    >>> with kalvex.open("dask-users.shards") as r:
    ...     len(r), r["user:7"]
    (100, {'id': 'user:7', 'name': 'user 7'})
    """
    import dask
    import dask.bag
    import dask.dataframe

    fields: dict[str, Any] = {"key": key, "value": value, "default": default}
    meta = _route([], nshards, fields)  # also checks the fields, before any task runs
    if not isinstance(collection, dask.bag.Bag) and not (
            hasattr(collection, "to_delayed") and hasattr(collection, "columns")):
        raise TypeError(f"to_kalvex needs a Dask Bag or DataFrame, not {type(collection).__name__}")
    compression_options(compression, compression_level, dictionary)
    shared = {"compression": compression, "compression_level": compression_level, "dictionary": dictionary,
              "memory_limit": memory_limit}
    if compression is not None and dictionary is None:
        first = _route(collection.to_delayed()[0].compute(), nshards, fields)
        shared["dictionary"] = shared_dictionary(first["payload"])
    with dask.config.set({"dataframe.convert-string": False}), Staging(out_dir, nshards, keep=keep) as staging:
        routed = dask.dataframe.from_delayed(
            [dask.delayed(_route)(part, nshards, fields) for part in collection.to_delayed()],
            meta=meta,
            verify_meta=False,
        )
        by_shard = routed.set_index("shard", divisions=list(range(nshards + 1)), shuffle_method="p2p")
        # map_partitions fuses each build into the task that reads its partition out of the
        # shuffle, so a worker holds one shard's rows at a time, not all of its partitions.
        built = by_shard.map_partitions(_build, staging.path, nshards, index, shared,
                                        meta=_frame([], _ENTRY_COLUMNS))
        return staging.publish(built.compute(retries=retries)["entry"])


def _route(part: Iterable[Any], nshards: int, fields: dict[str, Any]) -> Any:
    """One input partition (a list, or a pandas frame read row by row as dicts) as a frame of
    routed, encoded rows."""
    import pandas

    if isinstance(part, pandas.DataFrame):
        part = part.to_dict(orient="records")
    return _frame(list(route_records(part, nshards, **fields)), _COLUMNS)


def _build(frame: Any, directory: str, nshards: int, index: bool, compression: dict[str, Any],
           partition_info: Any = None) -> Any:
    """Build the shard of one partition (partition i holds shard i, indexed by it); its entry
    as a one-row frame."""
    shard = partition_info["number"]
    if len(frame) and not (frame.index == shard).all():
        raise RuntimeError(f"partition {shard} holds rows of other shards")
    pairs = zip(frame["key"], frame["payload"])
    entry = write_shard(directory, shard, nshards, pairs, encoded=True, check_routing=False, index=index,
                        **compression)
    return _frame([[entry]], _ENTRY_COLUMNS)


def _frame(rows: list[Any], columns: dict[str, Any]) -> Any:
    """``rows`` as a pandas frame of ``columns`` (name: type), typed even when empty, so that
    every partition matches the meta."""
    import pandas

    return pandas.DataFrame(rows, columns=list(columns)).astype(columns)
