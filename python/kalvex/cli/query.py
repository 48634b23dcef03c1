"""``kalvex get``, ``kalvex keys`` and ``kalvex dump``: reading a store from the shell.

Keys given on the command line are taken as their exact bytes (``os.fsencode``), so a key
that is not UTF-8 can be asked for as the shell passes it. Listed keys that are not UTF-8
are shown with their undecodable bytes as ``\\xNN`` in plain text, and as
``{"$bytes": "<base64>"}`` in JSON. Values are shown as JSON in the forms ``_jsonform``
describes; ``--raw`` and ``--format msgpack`` pass payload bytes through undecoded.
"""
from __future__ import annotations

import argparse
import base64
import sys
from typing import Any, Callable

import msgpack

from kalvex._codec import unpacker
from kalvex.cli._common import HelpFormatter, Output, key_arg, key_text, open_store, optional_prefix
from kalvex.cli._jsonform import _encode, to_json
from kalvex.errors import KalvDecodeError

# Pairs written per batch of a dump: large enough that joining, not calling, dominates.
_BATCH = 2048


def register(commands: Any) -> None:
    get = commands.add_parser(
        "get",
        help="print the values of keys as JSON",
        description="Print the value of each KEY as one line of JSON. A missing key is named "
        "on standard error after the values found are printed, and the exit status is 1.",
        epilog="examples:\n  kalvex get users.klvx u0000001 u0000002\n"
        "  kalvex get users.klvx u0000001 --raw > value.msgpack",
        formatter_class=HelpFormatter,
    )
    get.add_argument("store", metavar="STORE")
    get.add_argument("keys", metavar="KEY", nargs="+")
    get.add_argument("--raw", action="store_true", help="write the stored msgpack bytes instead")
    get.set_defaults(run=run_get)

    keys = commands.add_parser(
        "keys",
        help="list keys in key order",
        description="List the keys of a store in key order, one per line. Bytes that are not "
        "UTF-8 are shown as \\xNN.",
        epilog="examples:\n  kalvex keys users.klvx --prefix user:\n  kalvex keys users.klvx --count",
        formatter_class=HelpFormatter,
    )
    keys.add_argument("store", metavar="STORE")
    keys.add_argument("--prefix", metavar="P", help="only keys starting with P")
    keys.add_argument("--count", action="store_true", help="print only how many keys there are")
    keys.set_defaults(run=run_keys)

    dump = commands.add_parser(
        "dump",
        help="write every key and value, in key order",
        description="Write every (key, value) pair in key order: JSON Lines "
        '{"key": ..., "value": ...}, or a msgpack stream of [key, value] arrays that '
        "'kalvex build' reads back.",
        epilog="examples:\n  kalvex dump users.klvx | head\n"
        "  kalvex dump users.klvx --format msgpack | kalvex build copy.klvx --format msgpack",
        formatter_class=HelpFormatter,
    )
    dump.add_argument("store", metavar="STORE")
    dump.add_argument("--prefix", metavar="P", help="only keys starting with P")
    dump.add_argument("--format", choices=("jsonl", "msgpack"), default="jsonl")
    dump.set_defaults(run=run_dump)


def _decoder() -> Callable[[bytes, bytes], Any]:
    # Arrays as tuples: JSON writes them alike, and an array used as a map key (which a
    # list cannot be, being unhashable) still decodes.
    unpack = unpacker({"use_list": False})

    def decode(key: bytes, payload: bytes) -> Any:
        try:
            return unpack(payload)
        except Exception as exc:
            raise KalvDecodeError(f"cannot decode the value of {key_text(key)!r}: {exc}") from exc

    return decode


def run_get(args: argparse.Namespace) -> int:
    out = Output()
    missing = []
    decode = _decoder()
    with open_store(args.store) as reader:
        for text in args.keys:
            key = key_arg(text)
            payload = reader.get_raw(key)
            if payload is None:
                missing.append(text)
            elif args.raw:
                out.write(payload)
            else:
                out.write(to_json(decode(key, payload)).encode() + b"\n")
    out.close()
    for text in missing:
        print(f"kalvex: key not found: {text}", file=sys.stderr)
    return 1 if missing else 0


def run_keys(args: argparse.Namespace) -> int:
    with open_store(args.store) as reader:
        prefix = optional_prefix(args.prefix)
        if args.count:
            print(sum(1 for _ in reader._keys(prefix)) if prefix else len(reader))
            return 0
        keys = list(_byte_keys(reader, prefix))
    out = Output()
    for start in range(0, len(keys), _BATCH):
        block = b"\n".join(keys[start : start + _BATCH]) + b"\n"
        try:
            block.decode()
        except UnicodeDecodeError:
            block = "".join(key_text(key) + "\n" for key in keys[start : start + _BATCH]).encode()
        out.write(block)
    out.close()
    return 0


def _byte_keys(reader: Any, prefix: bytes) -> Any:
    return (key for key, _ in reader._payloads(prefix, True))


def _key_json(key: bytes) -> str:
    try:
        return _encode(key.decode())
    except UnicodeDecodeError:
        return '{"$bytes":"' + base64.b64encode(key).decode("ascii") + '"}'


def run_dump(args: argparse.Namespace) -> int:
    out = Output()
    with open_store(args.store) as reader:
        pairs = reader._payloads(optional_prefix(args.prefix), True)
        if args.format == "msgpack":
            _dump_msgpack(pairs, out)
        else:
            _dump_jsonl(pairs, out)
    out.close()
    return 0


def _dump_msgpack(pairs: Any, out: Output) -> None:
    pack = msgpack.Packer(use_bin_type=True).pack
    for key, payload in pairs:
        try:
            packed_key = pack(key.decode())
        except UnicodeDecodeError:
            packed_key = pack(key)
        # A two-element array header, then the key, then the value exactly as stored.
        out.write(b"\x92" + packed_key + payload)


def _dump_jsonl(pairs: Any, out: Output) -> None:
    unpack = unpacker({"use_list": False})
    decode = _decoder()
    encode = _encode
    lines: list[str] = []
    for key, payload in pairs:
        try:
            key_json = encode(key.decode())
        except UnicodeDecodeError:
            key_json = _key_json(key)
        try:
            value = unpack(payload)
        except Exception:
            value = decode(key, payload)  # raises, naming the key
        try:
            value_json = encode(value)
        except (TypeError, ValueError):
            value_json = to_json(value)
        lines.append('{"key":' + key_json + ',"value":' + value_json + "}\n")
        if len(lines) == _BATCH:
            out.write("".join(lines).encode())
            lines.clear()
    out.write("".join(lines).encode())
