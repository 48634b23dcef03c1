"""Sharded stores: many store files built in parallel that read as one.

One concept per module:

- ``routing``: ``shard_of(key, n)``, the key-to-shard rule fixed for good, and
  ``route_records``, records as the (shard, key, payload) rows an engine moves to their shard.
- ``publish``: ``Staging``, ``write_shard`` and ``rollback``: a version staged, its shards
  built wherever their records are, published atomically; ``_layout`` holds the directory's
  layout and is the only code that changes it.
- ``pool``: ``build``, all of it on a local process pool.
- ``reader``: ``ShardedReader`` and ``open``.

Any engine that can run a function per partition builds a store with the same three steps
``build`` takes: ``Staging`` on the coordinating process, ``write_shard`` once per shard
where its records are, ``staging.publish(entries)`` back on the coordinator
(``kalvex.dask.to_kalvex`` does it on a Dask cluster). Everything here is imported from
``kalvex.shards``; the modules' names are not part of the API.
"""
from kalvex.shards.pool import build
from kalvex.shards.publish import Entry, Staging, rollback, write_shard
from kalvex.shards.reader import ShardedReader, open
# A reader pickled before this package was split names kalvex.shards._reopen.
from kalvex.shards.reader import _reopen  # noqa: F401
from kalvex.shards.routing import Field, route_records, shard_of

__all__ = [
    "Entry",
    "Field",
    "ShardedReader",
    "Staging",
    "build",
    "open",
    "rollback",
    "route_records",
    "shard_of",
    "write_shard",
]
