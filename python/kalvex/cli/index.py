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
from kalvex.shards import ShardedReader, Staging
from kalvex.shards.publish import is_version, shard_entry
from kalvex.writer import KalvWriter

# Pairs handed to the writer per call.
_BATCH = 2048


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
    # Object id (its file offset) -> the id of its copy, in one small dict per MiB of the
    # file: one dict of millions of entries would stop every other thread for hundreds of
    # milliseconds each time it grows, and again when it is freed.
    copies: list[dict[int, int]] = []
    # New objects reach the writer in batches; without dedupe each pair is one more object
    # and ids count from 0 in add order, so a copy's id is known before its batch goes.
    keys: list[bytes] = []
    payloads: list[bytes] = []
    added = 0

    def flush() -> None:
        writer._add_packed(keys, payloads)
        keys.clear()
        payloads.clear()

    # Both walks run over the same positions in key order, so they pair up entry by entry.
    for (key, payload), object_id in zip(reader.items_raw(), reader.object_ids()):
        region = object_id >> 20
        if region >= len(copies):
            copies.extend({} for _ in range(region + 1 - len(copies)))
        seen = copies[region]
        copy = seen.get(object_id)
        if copy is None:
            seen[object_id] = added
            added += 1
            keys.append(key)
            payloads.append(payload)
            if len(keys) == _BATCH:
                flush()
        else:
            if copy >= added - len(keys):  # its object is still in the batch
                flush()
            writer.link(key, copy)
    flush()
    for seen in copies:
        seen.clear()
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
                path = staging.shard_path(number)
                rewrite(shard, path, index)
                entries.append(shard_entry(path, number))
            staging.publish(entries)
    return True


def run_index(args: argparse.Namespace) -> int:
    path, index = args.store, not args.drop
    try:
        if os.path.isdir(path):
            if is_version(path):
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
