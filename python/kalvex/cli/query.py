"""``kalvex get``, ``kalvex keys`` and ``kalvex dump``: reading a store from the shell.

Each takes a store file or a sharded store's directory. Keys given on the command line are
taken as their exact bytes (``os.fsencode``), so a key that is not UTF-8 can be asked for
as the shell passes it. Keys are shown as ``key_text`` writes them, keys and values in JSON
in the forms of ``_jsonform``; ``--raw`` and ``--format msgpack`` pass payload bytes
through undecoded.
"""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from kalvex._codec import packer
from kalvex.cli._common import NO, YES, key_text, open_store, output
from kalvex.cli._jsonform import decoder, key_json, to_json

# Keys joined into one text per batch of a listing.
_BATCH = 2048


def register(commands: Any) -> None:
    get = commands.add_parser(
        "get", run=run_get,
        help="print the values of keys as JSON",
        description="Print the value of each KEY as one line of JSON. A missing key is named "
        "on standard error after the values found are printed, and the exit status is 1.",
        epilog="examples:\n  kalvex get users.klvx u0000001 u0000002\n"
        "  kalvex get users.klvx u0000001 --raw > value.msgpack",
    )
    get.add_argument("store", metavar="STORE")
    get.add_argument("keys", metavar="KEY", nargs="+")
    get.add_argument("--raw", action="store_true", help="write the stored msgpack bytes instead")

    keys = commands.add_parser(
        "keys", run=run_keys,
        help="list keys in key order",
        description="List the keys of a store in key order, one per line. Bytes that are not "
        "UTF-8 are shown as \\xNN and a backslash as \\\\, so no two keys print alike.",
        epilog="examples:\n  kalvex keys users.klvx --prefix user:\n  kalvex keys users.klvx --count",
    )

    dump = commands.add_parser(
        "dump", run=run_dump,
        help="write every key and value, in key order",
        description="Write every (key, value) pair in key order: JSON Lines "
        '{"key": ..., "value": ...}, or a msgpack stream of [key, value] arrays that '
        "'kalvex build' reads back.",
        epilog="examples:\n  kalvex dump users.klvx | head\n"
        "  kalvex dump users.klvx --format msgpack | kalvex build copy.klvx --format msgpack",
    )
    # Both list a store's entries in key order: all, or those whose key has a prefix.
    for listing in (keys, dump):
        listing.add_argument("store", metavar="STORE")
        listing.add_argument("--prefix", metavar="P", help="only keys starting with P")
    keys.add_argument("--count", action="store_true", help="print only how many keys there are")
    dump.add_argument("--format", choices=("jsonl", "msgpack"), default="jsonl",
                      help="the output format (default: jsonl)")


def run_get(args: argparse.Namespace) -> int:
    out = output()
    decode = decoder()
    with open_store(args.store) as reader:
        # Every key looked up before any value is printed: the answer (all found or not)
        # is known even when the reader of the output goes away early.
        found = [(key, reader.get_raw(key)) for key in map(os.fsencode, args.keys)]
        missing = [key for key, payload in found if payload is None]
        status = args.answer = NO if missing else YES
        for key, payload in found:
            if payload is not None:
                out.write(payload if args.raw else to_json(decode(key, payload)).encode() + b"\n")
    out.flush()
    for key in missing:
        print(f"kalvex: key not found: {key_text(key)}", file=sys.stderr)
    return status


def run_keys(args: argparse.Namespace) -> int:
    with open_store(args.store) as reader:
        prefix = os.fsencode(args.prefix or "")
        if args.count:
            print(len(reader.prefix_keys(prefix)) if prefix else len(reader))
            return YES
        keys = [key for key, _ in reader.items_raw(prefix)]
    out = output()
    for start in range(0, len(keys), _BATCH):
        # A newline never continues a UTF-8 sequence: the block reads as its keys one by one.
        out.write(key_text(b"\n".join(keys[start : start + _BATCH]) + b"\n").encode())
    return YES


def run_dump(args: argparse.Namespace) -> int:
    out = output()
    with open_store(args.store) as reader:
        pairs = reader.items_raw(os.fsencode(args.prefix or ""))
        if args.format == "msgpack":
            pack = packer(None)
            for key, payload in pairs:
                try:
                    packed_key = pack(key.decode())
                except UnicodeDecodeError:
                    packed_key = pack(key)
                # A two-element array header, then the key, then the value exactly as stored.
                out.write(b"\x92" + packed_key + payload)
        else:
            decode = decoder()
            for key, payload in pairs:
                line = '{"key":' + key_json(key) + ',"value":' + to_json(decode(key, payload)) + "}\n"
                out.write(line.encode())
    return YES
