"""Records read from JSON Lines, CSV and msgpack inputs, each with where it came from.

A reader yields, for each record, either ``(payload, keys)``: the msgpack bytes to store
and the keys to store them under, or a ``BadRecord`` naming the place and the fault, so
the caller decides whether a fault stops the build. Every reader reports the input bytes it
has consumed through ``advance``, for progress.

Key fields: a record's key is the value of each key field, a string as is and an integer
as its decimal text; any other type, or a missing field, makes the record bad.
A msgpack input read without key fields is a stream of ``[key, value]`` pairs, as
``kalvex dump --format msgpack`` writes; the value's bytes are stored exactly as read.
"""
from __future__ import annotations

import csv
import io
import json
from typing import Any, BinaryIO, Callable, Iterator, NamedTuple, Sequence, Union

import msgpack

from kalvex._codec import packer


class BadRecord(NamedTuple):
    where: str
    reason: str


Record = Union[tuple[bytes, list[Union[str, bytes]]], BadRecord]
Advance = Callable[[int], None]


def _keys_of(record: Any, fields: Sequence[str]) -> Union[list[Union[str, bytes]], str]:
    """The keys of ``record``, or the text of why it has none."""
    if not isinstance(record, dict):
        return f"a record must be an object with the key fields, not {_kind(record)}"
    keys: list[Union[str, bytes]] = []
    for field in fields:
        value = record.get(field)
        if type(value) is str:
            keys.append(value)
        elif type(value) is int:
            keys.append(str(value))
        elif value is None and field not in record:
            return f"no key field {field!r}"
        else:
            return f"key field {field!r} is {_kind(value)}, not a string or an integer"
    return keys


def _kind(value: Any) -> str:
    return "null" if value is None else f"a {type(value).__name__}"


def jsonl(stream: BinaryIO, name: str, fields: Sequence[str], advance: Advance) -> Iterator[Record]:
    """One record per line; blank lines are skipped."""
    loads = json.loads
    pack = packer(None)
    for number, line in enumerate(stream, 1):
        advance(len(line))
        try:
            record = loads(line)
        except ValueError as exc:
            if not line.strip():
                continue
            yield BadRecord(f"{name}:{number}", f"not JSON: {exc}")
            continue
        keys = _keys_of(record, fields)
        if type(keys) is str:
            yield BadRecord(f"{name}:{number}", keys)
            continue
        try:
            yield pack(record), keys  # type: ignore[misc]
        except (OverflowError, ValueError) as exc:
            yield BadRecord(f"{name}:{number}", f"cannot store the record: {exc}")


def csv_rows(stream: BinaryIO, name: str, fields: Sequence[str], advance: Advance) -> Iterator[Record]:
    """One record per row, named by the header row; every value stays a string."""
    text = io.TextIOWrapper(stream, encoding="utf-8-sig", newline="")
    rows = csv.DictReader(text)
    pack = packer(None)
    try:
        header = rows.fieldnames or []
        for field in fields:
            if field not in header:
                yield BadRecord(f"{name}:1", f"the header has no column {field!r}")
                return
        consumed = _position(text)
        for row in rows:
            where = f"{name}:{rows.line_num}"
            if None in row or None in row.values():
                yield BadRecord(where, f"the row's field count differs from the header's {len(header)}")
                continue
            keys = _keys_of(row, fields)
            if type(keys) is str:
                yield BadRecord(where, keys)
                continue
            position = _position(text)
            if position > consumed:
                advance(position - consumed)
                consumed = position
            yield pack(row), keys  # type: ignore[misc]
    except (csv.Error, UnicodeDecodeError) as exc:
        # The reader cannot go on past a row it cannot split: the rest is one bad record.
        yield BadRecord(f"{name}:{rows.line_num}", f"not CSV: {exc}")
    finally:
        text.detach()


def _position(text: io.TextIOWrapper) -> int:
    try:
        return text.buffer.tell()
    except (OSError, ValueError):
        return 0


def msgpack_stream(stream: BinaryIO, name: str, fields: Sequence[str], advance: Advance) -> Iterator[Record]:
    """Objects one after another: maps with the key fields, or ``[key, value]`` pairs."""
    data = stream.read()
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=max(len(data), 1 << 20))
    unpacker.feed(data)
    number = 0
    consumed = 0
    while consumed < len(data):
        number += 1
        where = f"{name}: record {number}"
        try:
            if fields:
                record = unpacker.unpack()
                keys_or_reason = _keys_of(record, fields)
                payload = data[consumed : unpacker.tell()]
            else:
                keys_or_reason, payload = _pair(unpacker, data)
        except (msgpack.OutOfData, ValueError, msgpack.ExtraData) as exc:
            # Past a value that does not parse there is no telling where the next begins.
            yield BadRecord(where, f"not msgpack: {exc or 'the input ends inside a value'}")
            return
        advance(unpacker.tell() - consumed)
        consumed = unpacker.tell()
        if type(keys_or_reason) is str:
            yield BadRecord(where, keys_or_reason)
        else:
            yield payload, keys_or_reason  # type: ignore[misc]


def _pair(unpacker: Any, data: bytes) -> tuple[Union[list[Union[str, bytes]], str], bytes]:
    try:
        size = unpacker.read_array_header()
    except ValueError:
        unpacker.skip()
        return "not a [key, value] pair; give --key to read records", b""
    if size != 2:
        for _ in range(size):
            unpacker.skip()
        return f"an array of {size}, not a [key, value] pair", b""
    key = unpacker.unpack()
    value_start = unpacker.tell()
    unpacker.skip()
    if not isinstance(key, (str, bytes)):
        return f"the key is {_kind(key)}, not a string or bytes", b""
    return [key], data[value_start : unpacker.tell()]


READERS: dict[str, Callable[[BinaryIO, str, Sequence[str], Advance], Iterator[Record]]] = {
    "jsonl": jsonl,
    "csv": csv_rows,
    "msgpack": msgpack_stream,
}
