"""``kalvex info`` (what a store holds) and ``kalvex verify`` (the deep check)."""
from __future__ import annotations

import argparse
import json
import os
import sys
from collections import Counter
from typing import Any

from kalvex.cli._common import HelpFormatter, open_store
from kalvex.errors import KalvexError
from kalvex.reader import KalvReader


def register(commands: Any) -> None:
    info = commands.add_parser(
        "info",
        help="what a store holds: keys, objects, sharing, layout, CRC-32",
        description="Show a store's size, keys, distinct objects, the share of keys that "
        "share an object, format version, section offsets and file CRC-32.",
        epilog="example:\n  kalvex info users.klvx --json",
        formatter_class=HelpFormatter,
    )
    info.add_argument("store", metavar="STORE")
    info.add_argument("--json", action="store_true", help="print one JSON object")
    info.set_defaults(run=run_info)

    verify = commands.add_parser(
        "verify",
        help="check stores deeply: file CRC-32, every object's, the header's counts",
        description="Check the whole-file CRC-32, every object, and the object records against "
        "the header's count and index offset of each store. One line per store, 'ok' or the damage found; exit status 1 if any store is damaged or unreadable.",
        epilog="example:\n  kalvex verify users.klvx orders.klvx",
        formatter_class=HelpFormatter,
    )
    verify.add_argument("stores", metavar="STORE", nargs="+")
    verify.set_defaults(run=run_verify)


def sharing_keys(reader: KalvReader) -> int:
    """How many keys share their object with at least one other key.

    Listings give each key's payload, not its object, so keys are grouped by payload bytes.
    In a store built with dedupe (the default, and every merge) equal payloads are one
    object and the count is exact; in one built without it, keys holding equal bytes in
    separate objects count as sharing too.
    """
    holders = Counter(payload for _, payload in reader._payloads(b"", True))
    return sum(count for count in holders.values() if count > 1)


def run_info(args: argparse.Namespace) -> int:
    with open_store(args.store) as reader:
        stats = reader.stats()
        keys = stats["num_keys"]
        shared = sharing_keys(reader)
    facts = {
        "path": args.store,
        "file_size": os.path.getsize(args.store),
        "keys": keys,
        "objects": stats["num_objects"],
        "keys_sharing_an_object": shared,
        "shared_key_share": shared / keys if keys else 0.0,
        "format_version": stats["version"],
        "data_offset": stats["data_offset"],
        "index_offset": stats["index_offset"],
        "file_crc32": stats["file_crc32"],
    }
    if args.json:
        print(json.dumps(facts))
        return 0
    print(
        f"path            {facts['path']}\n"
        f"file size       {facts['file_size']:,} bytes\n"
        f"keys            {keys:,}\n"
        f"objects         {facts['objects']:,}\n"
        f"shared keys     {shared:,} ({facts['shared_key_share']:.1%} of keys share an object)\n"
        f"format version  {facts['format_version']}\n"
        f"data offset     {facts['data_offset']}\n"
        f"index offset    {facts['index_offset']}\n"
        f"file CRC-32     {facts['file_crc32']}"
    )
    return 0


def run_verify(args: argparse.Namespace) -> int:
    status = 0
    for path in args.stores:
        try:
            with KalvReader(path, verify=False, raw=True) as reader:
                reader.verify()
            print(f"{path}: ok")
        except KalvexError as exc:
            status = 1
            print(f"{path}: {exc}")
        sys.stdout.flush()
    return status
