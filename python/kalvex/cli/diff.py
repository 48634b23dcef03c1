"""``kalvex diff``: the keys added, removed and changed between two versions of a store.

Both key listings are in key order, so one linear pass over the two finds every difference.
Values are compared as payload bytes, never decoded for the comparison: a key whose value
encodes to the same bytes is unchanged. Values are decoded only to be printed.

Standard output carries the differences only (the summary goes to standard error), so
anything written there means the stores differ: a reader that closes the pipe early still
gets status 1.
"""
from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Iterator, Optional

from kalvex.cli._common import NO, YES, key_text, open_store, output
from kalvex.cli._jsonform import decoder, key_json, to_json

# Each kind of change, in the order the summary counts them, and its mark in the text form.
_MARKS = {"added": "+", "removed": "-", "changed": "~"}


def register(commands: Any) -> None:
    diff = commands.add_parser(
        "diff", run=run_diff,
        help="keys added, removed or changed between two stores",
        description="List the keys added, removed, or whose value changed from OLD to NEW, in "
        "key order ('+', '-', '~' and the key, then the value); a summary line with the three "
        "counts goes to standard error. OLD and NEW are store files or sharded stores. Exit "
        "status 0 when they hold the same keys and values, 1 when not, 2 when one cannot be "
        "read.",
        epilog="examples:\n  kalvex diff users-monday.klvx users-tuesday.klvx\n"
        "  kalvex diff old.klvx new.klvx --keys-only --json",
    )
    diff.add_argument("old", metavar="OLD")
    diff.add_argument("new", metavar="NEW")
    diff.add_argument("--keys-only", action="store_true", help="print the keys without values")
    diff.add_argument("--json", action="store_true",
                      help='JSON Lines: {"change", "key", values...}; the counts as one JSON object on '
                      'standard error')


Change = tuple[str, bytes, Optional[bytes], Optional[bytes]]


def changes(old: Iterator[tuple[bytes, bytes]], new: Iterator[tuple[bytes, bytes]]) -> Iterator[Change]:
    """(kind, key, old payload, new payload) for each difference, in key order."""
    old_pair, new_pair = next(old, None), next(new, None)
    while old_pair is not None or new_pair is not None:
        if new_pair is None or (old_pair is not None and old_pair[0] < new_pair[0]):
            yield "removed", old_pair[0], old_pair[1], None  # type: ignore[index]
            old_pair = next(old, None)
        elif old_pair is None or new_pair[0] < old_pair[0]:
            yield "added", new_pair[0], None, new_pair[1]
            new_pair = next(new, None)
        else:
            if old_pair[1] != new_pair[1]:
                yield "changed", old_pair[0], old_pair[1], new_pair[1]
            old_pair, new_pair = next(old, None), next(new, None)


def run_diff(args: argparse.Namespace) -> int:
    counts = dict.fromkeys(_MARKS, 0)
    decode = decoder()
    out = output()
    with open_store(args.old) as old, open_store(args.new) as new:
        for kind, key, before, after in changes(old.items_raw(), new.items_raw()):
            counts[kind] += 1
            args.answer = NO
            values = {} if args.keys_only else {
                name: decode(key, payload) for name, payload in (("old", before), ("new", after)) if payload is not None
            }
            if args.json:
                line = '{"change":"' + kind + '","key":' + key_json(key)
                line += "".join(f',"{name}":{to_json(value)}' for name, value in values.items()) + "}"
            else:
                line = f"{_MARKS[kind]} {key_text(key)}"
                if values:
                    line += "\t" + " -> ".join(to_json(value) for value in values.values())
            out.write(line.encode() + b"\n")
    out.flush()
    if args.json:
        print(json.dumps(counts), file=sys.stderr)
    else:
        print(", ".join(f"{count} {kind}" for kind, count in counts.items()), file=sys.stderr)
    return NO if any(counts.values()) else YES
