"""``kalvex info`` (what a store holds) and ``kalvex verify`` (the deep check), each of a
store file or a sharded store."""
from __future__ import annotations

import argparse
import json
import os
import sys
from collections import Counter
from typing import Any

from kalvex.cli._common import NO, TROUBLE, YES, Store, counted, human_size, open_store, with_path
from kalvex.errors import KalvCorruptError, KalvexError
from kalvex.shards import ShardedReader
from kalvex.shards import open as open_any


def register(commands: Any) -> None:
    info = commands.add_parser(
        "info", run=run_info,
        help="what a store holds: keys, objects, sharing, layout, CRC-32",
        description="Show a store's size, keys, distinct objects, the share of keys that "
        "share an object, format version, section offsets and file CRC-32. For a sharded "
        "store: the manifest's figures, then one line per shard file.",
        epilog="examples:\n  kalvex info users.klvx --json\n  kalvex info users.shards",
    )
    info.add_argument("store", metavar="STORE")
    info.add_argument("--json", action="store_true", help="print one JSON object")

    verify = commands.add_parser(
        "verify", run=run_verify,
        help="check stores deeply: file CRC-32, every object's, the header's counts",
        description="Check the whole-file CRC-32, every object, and the object records against "
        "the header's count and index offset of each store; for a sharded store, every shard "
        "file against the manifest as well. One line per store, 'ok' or the damage found. Exit "
        "status 0 when every store is sound, 1 when one is damaged, 2 when one could not be "
        "read at all (missing, not a store).",
        epilog="example:\n  kalvex verify users.klvx orders.klvx users.shards",
    )
    verify.add_argument("stores", metavar="STORE", nargs="+")


def sharing_keys(reader: Store) -> int:
    """How many keys share their object with at least one other key, counted from the
    object ids of the entries: no payload is read. Objects are shared within a file only,
    so a sharded store is counted shard by shard."""
    if isinstance(reader, ShardedReader):
        return sum(sharing_keys(shard) for shard in reader.shards)
    holders = Counter(reader.object_ids())
    return sum(count for count in holders.values() if count > 1)


# A file's facts in ``kalvex info``, each from the reader's stats (JSON name: stats name).
_FILE_FACTS = {"keys": "num_keys", "objects": "num_objects", "format_version": "version", "data_offset": "data_offset",
               "index_offset": "index_offset", "file_crc32": "file_crc32", "index": "index", "index_size": "index_size",
               "compressed": "compressed", "dictionary_size": "dictionary_size", "original_bytes": "original_bytes",
               "stored_bytes": "stored_bytes"}
# The text lines of a store file's and a sharded store's own facts: label, JSON name.
_FILE_LINES = (("format version", "format_version"), ("data offset", "data_offset"),
               ("index offset", "index_offset"), ("file CRC-32", "file_crc32"))
_SHARDED_LINES = (("version", "version_dir"), ("created", "created"), ("routing", "routing"),
                  ("manifest format", "manifest_version"), ("shards", "num_shards"))


def _file_facts(path: str, reader: Store) -> dict[str, Any]:
    stats = reader.stats()
    return {"file_size": os.path.getsize(path), **{name: stats[field] for name, field in _FILE_FACTS.items()}}


def _sharded_facts(reader: ShardedReader) -> dict[str, Any]:
    stats = reader.stats()
    shards = [
        {"shard": number, "file": os.path.basename(shard.path), **_file_facts(shard.path, shard)}
        for number, shard in enumerate(reader.shards)
    ]
    return {
        "version_dir": stats["path"],
        "created": stats["created"],
        "routing": stats["routing"],
        "manifest_version": stats["version"],
        "num_shards": stats["num_shards"],
        "file_size": sum(shard["file_size"] for shard in shards),
        "keys": stats["num_keys"],
        "objects": stats["num_objects"],
        "index_shards": sum(shard["index"] for shard in shards),
        "index_size": sum(shard["index_size"] for shard in shards),
        "compressed_shards": sum(shard["compressed"] for shard in shards),
        # A dictionary shared by the shards is counted once per shard: each file holds it.
        "dictionary_size": sum(shard["dictionary_size"] for shard in shards),
        "original_bytes": sum(shard["original_bytes"] for shard in shards),
        "stored_bytes": sum(shard["stored_bytes"] for shard in shards),
        "shards": shards,
    }


def _index_line(facts: dict[str, Any]) -> str:
    """Whether the mapped index is there (in how many shards) and its bytes."""
    size = f", {_exact_size(facts['index_size'])}" if facts["index_size"] else ""
    if "index_shards" in facts:
        return f"in {facts['index_shards']} of {facts['num_shards']} shards{size}"
    return f"yes{size}" if facts["index"] else "no"


def _compression_line(facts: dict[str, Any]) -> str:
    """Whether the values are compressed (in how many shards), the dictionary's bytes and
    the stored bytes of the values over their original bytes."""
    if "compressed_shards" in facts:
        if not facts["compressed_shards"]:
            return "no"
        where = f"zstd in {facts['compressed_shards']} of {facts['num_shards']} shards"
    elif not facts["compressed"]:
        return "no"
    else:
        where = "zstd"
    ratio = facts["stored_bytes"] / facts["original_bytes"] if facts["original_bytes"] else 1.0
    return (f"{where}, dictionary {facts['dictionary_size']:,} bytes, values {facts['stored_bytes']:,} of "
            f"{facts['original_bytes']:,} bytes (ratio {ratio:.3f})")


def _exact_size(size: int) -> str:
    """A size for people, with the exact count of bytes beside it once they are rounded."""
    return f"{size:,} bytes" if size < 1000 else f"{human_size(size)} ({size:,} bytes)"


def run_info(args: argparse.Namespace) -> int:
    with open_store(args.store) as reader:
        sharded = isinstance(reader, ShardedReader)
        facts = {"path": args.store}
        facts.update(_sharded_facts(reader) if isinstance(reader, ShardedReader) else _file_facts(args.store, reader))
        shared = sharing_keys(reader)
    keys = facts["keys"]
    facts["keys_sharing_an_object"] = shared
    facts["shared_key_share"] = shared / keys if keys else 0.0
    if args.json:
        print(json.dumps(facts))
        return YES
    rows = [
        ("path", facts["path"]),
        ("file size", _exact_size(facts["file_size"]) + (f" in {facts['num_shards']} files" if sharded else "")),
        ("keys", f"{keys:,}"),
        ("objects", f"{facts['objects']:,}"),
        ("index", _index_line(facts)),
        ("compression", _compression_line(facts)),
        ("shared keys", f"{shared:,} ({facts['shared_key_share']:.1%} of keys share an object)"),
        *((label, facts[name]) for label, name in (_SHARDED_LINES if sharded else _FILE_LINES)),
    ]
    lines = [f"{label:<15} {value}" for label, value in rows]
    lines += [
        f"  {shard['file']}  {counted(shard['keys'], 'key')}, {counted(shard['objects'], 'object')}, "
        f"{human_size(shard['file_size'])}, format {shard['format_version']}, CRC-32 {shard['file_crc32']}"
        for shard in facts.get("shards", ())
    ]
    print("\n".join(lines))
    return YES


def run_verify(args: argparse.Namespace) -> int:
    status = YES
    for path in args.stores:
        try:
            # Opening a sharded store checks each shard file against its manifest entry.
            with open_any(path, verify=False, raw=True) as reader:
                reader.verify()
            print(f"{path}: ok")
        except KalvCorruptError as exc:
            status = max(status, NO)
            print(with_path(path, exc, first=True))
        except (KalvexError, OSError) as exc:
            # Not damage found but no answer at all: the file is missing, not a store, or
            # written in a format version this kalvex does not read.
            status = TROUBLE
            print(with_path(path, exc, first=True))
        sys.stdout.flush()
    return status
