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
from typing import Any, Optional

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
        epilog="examples:\n  kalvex keys users.klvx --prefix user:\n  kalvex keys users.klvx --count\n"
        "  kalvex keys events.klvx --from 2026-03-01 --to 2026-04-01\n"
        "  kalvex keys events.klvx --reverse --limit 10",
    )

    dump = commands.add_parser(
        "dump", run=run_dump,
        help="write every key and value, in key order",
        description="Write every (key, value) pair in key order: JSON Lines "
        '{"key": ..., "value": ...}, or a msgpack stream of [key, value] arrays that '
        "'kalvex build' reads back.",
        epilog="examples:\n  kalvex dump users.klvx | head\n"
        "  kalvex dump events.klvx --from 2026-03-01 --to 2026-04-01\n"
        "  kalvex dump users.klvx --format msgpack | kalvex build copy.klvx --format msgpack",
    )
    # Both list a store's entries in key order: all, or those of a prefix or a key range,
    # from either end. Keys order by their bytes, so a bound is taken as its exact bytes.
    for listing in (keys, dump):
        listing.add_argument("store", metavar="STORE")
        listing.add_argument("--prefix", metavar="P", help="only keys starting with P")
        listing.add_argument("--from", dest="start", metavar="K", help="only keys from K on (K included)")
        listing.add_argument("--to", dest="stop", metavar="K", help="only keys before K (K excluded)")
        listing.add_argument("--reverse", action="store_true", help="from the last key to the first")
        listing.add_argument("--limit", metavar="N", type=_count, help="at most N keys")
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


def _count(text: str) -> int:
    """--limit's value: a whole number, 0 or more."""
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"not a count: {text!r}")
    return int(text)


def _prefix_end(prefix: bytes) -> Optional[bytes]:
    """The least key above every key that starts with ``prefix`` (None: there is none)."""
    kept = prefix.rstrip(b"\xff")
    return kept[:-1] + bytes([kept[-1] + 1]) if kept else None


def _bounds(args: argparse.Namespace) -> tuple[Optional[bytes], Optional[bytes]]:
    """The key range a listing reads: --from and --to, narrowed to --prefix's keys."""
    start = None if args.start is None else os.fsencode(args.start)
    stop = None if args.stop is None else os.fsencode(args.stop)
    if args.prefix:
        prefix = os.fsencode(args.prefix)
        start = prefix if start is None else max(start, prefix)
        end = _prefix_end(prefix)
        stop = end if stop is None or end is not None and end < stop else stop
    return start, stop


def _listing(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of the range a listing reads."""
    start, stop = _bounds(args)
    return {"start": start, "stop": stop, "reverse": args.reverse, "limit": args.limit}


def run_keys(args: argparse.Namespace) -> int:
    with open_store(args.store) as reader:
        if args.count:
            low, high = _bounds(args)
            # Two seeks, whatever the range holds.
            found = (len(reader) if high is None else reader.rank(high)) - (0 if low is None else reader.rank(low))
            print(max(0, min(found, len(reader) if args.limit is None else args.limit)))
            return YES
        keys = [key for key, _ in reader.range_raw(**_listing(args))]
    out = output()
    for start in range(0, len(keys), _BATCH):
        # A newline never continues a UTF-8 sequence: the block reads as its keys one by one.
        out.write(key_text(b"\n".join(keys[start : start + _BATCH]) + b"\n").encode())
    return YES


def run_dump(args: argparse.Namespace) -> int:
    out = output()
    with open_store(args.store) as reader:
        pairs = reader.range_raw(**_listing(args))
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
