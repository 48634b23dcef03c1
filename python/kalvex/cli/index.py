"""``kalvex index``: give an existing store the mapped index (or, with ``--drop``, take it
away) by rewriting it.

The rewrite goes through the package's own reader and writer: every key and payload is
copied as stored, keys that shared an object share its copy (object ids, not payload
equality, decide: a store built without dedupe keeps its equal but separate objects), and
the build is atomic, so the file is either the old store or the new one. A store file is
rewritten in place; a sharded store gets a new version with every shard rewritten, published
as any build publishes one. Every file passes the deep check first (CRC-32s and the index
it carries), so damage is refused rather than copied into a file with a fresh checksum: a
damaged index could list fewer keys than the store holds, and the rewrite would keep only
those. A store already in the asked form is
left untouched.
"""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from kalvex.cli._common import YES, CommandError, with_path
from kalvex.errors import KalvexError
from kalvex.reader import KalvReader
from kalvex.shards import ShardedReader, Staging, _layout
from kalvex.shards.publish import shard_entry
from kalvex.writer import KalvWriter


def register(commands: Any) -> None:
    index = commands.add_parser(
        "index", run=run_index,
        help="add the mapped index to a store (or drop it) by an atomic rewrite",
        description="Rewrite STORE (a store file, or a sharded store's directory: a new "
        "version) with the mapped index that lets readers open it in constant time, keys, "
        "values and shared objects as they are. With --drop, rewrite it without the index. "
        "A store that is already so is left untouched. The rewrite holds the store's "
        "payloads in memory.",
        epilog="examples:\n  kalvex index users.klvx\n  kalvex index users.klvx --drop",
    )
    index.add_argument("store", metavar="STORE")
    index.add_argument("--drop", action="store_true", help="write the store without its index")


def rewrite(reader: KalvReader, target: str, index: bool) -> None:
    """The store ``reader`` has open, built again at ``target`` with or without the index;
    a compressed store stays compressed, with its own dictionary."""
    compressed = reader.stats()["compressed"]
    writer = KalvWriter(dedupe=False, index=index, compression="zstd" if compressed else None,
                        dictionary=reader.dictionary() if compressed else None)
    copies: dict[int, int] = {}
    # Both walks run over the same positions in key order, so they pair up entry by entry.
    for (key, payload), object_id in zip(reader.items_raw(), reader.object_ids()):
        copy = copies.get(object_id)
        if copy is None:
            copies[object_id] = writer.add_raw(payload, key)
        else:
            writer.link(key, copy)
    writer.build(target)


def _file(path: str, index: bool) -> bool:
    """Rewrites the store file ``path`` unless it already is as asked; whether it did."""
    with KalvReader(path, verify=True, raw=True, key_type=bytes) as reader:
        if reader.stats()["index"] == index:
            return False
        reader.verify()
        rewrite(reader, path, index)
    return True


def _sharded(root: str, index: bool) -> bool:
    """Publishes a new version of the sharded store ``root`` whose shards are rewritten,
    unless every shard already is as asked; whether it did."""
    with ShardedReader(root, verify=True, raw=True, key_type=bytes) as store:
        if all(shard.stats()["index"] == index for shard in store.shards):
            return False
        store.verify()
        with Staging(root, len(store.shards)) as staging:
            entries = []
            for number, shard in enumerate(store.shards):
                path = os.path.join(staging.path, _layout.shard_file_name(number, len(store.shards)))
                rewrite(shard, path, index)
                entries.append(shard_entry(path, number))
            staging.publish(entries)
    return True


def run_index(args: argparse.Namespace) -> int:
    path, index = args.store, not args.drop
    try:
        if os.path.isdir(path):
            if os.path.isfile(os.path.join(path, _layout.MANIFEST)):
                raise CommandError(f"{path} is one version of a sharded store: give the store's directory")
            changed = _sharded(path, index)
        else:
            changed = _file(path, index)
    except KalvexError as exc:
        raise CommandError(with_path(path, exc)) from exc
    if changed:
        print(f"kalvex: {path}: {'added' if index else 'dropped'} the mapped index", file=sys.stderr)
    else:
        print(f"kalvex: {path} already carries {'a' if index else 'no'} mapped index; left as it is", file=sys.stderr)
    return YES
