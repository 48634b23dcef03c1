"""Sharded stores: many store files built in parallel that read as one.

Import everything from ``kalvex.shards``; its modules, one concept each, are not the API:
routing, publishing (over the directory layout of ``_layout``), the build on a local
process pool (``kalvex.dask`` builds on a cluster from the same blocks) and the reader.
"""
from kalvex.shards.pool import build
from kalvex.shards.publish import Entry, Staging, rollback, shared_dictionary, write_shard
from kalvex.shards.reader import ShardedReader, open
from kalvex.shards.routing import Field, route_records, shard_of

__all__ = ["Entry", "Field", "ShardedReader", "Staging", "build", "open", "rollback",
           "route_records", "shard_of", "shared_dictionary", "write_shard"]
