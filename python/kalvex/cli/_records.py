"""Records read from JSON Lines, CSV and msgpack inputs, each with where it came from.

A reader yields ``(payload, keys, number)`` for each good record: the msgpack bytes to
store, the keys to store them under, and the record's line (record, for msgpack) number.
A record that cannot be stored goes to ``bad(number, reason)``, which raises to stop the
build or returns to skip the record; a fault that spoils every record raises
``CommandError``.
Readers report what they consumed through ``advance(bytes, records)`` a block at a time,
for progress.

Key fields: a record's key is the value of each key field, a string as is and an integer
as its decimal text; any other type, a missing field or a key longer than the format
allows makes the record bad, as does an empty CSV key field (an empty field is CSV's
only way to say "no value"). A msgpack input read without key fields is a stream of
``[key, value]`` pairs, as ``kalvex dump --format msgpack`` writes; the value's bytes are
stored exactly as read.
"""
from __future__ import annotations

import codecs
import csv
import io
import json
import json.scanner
from typing import Any, BinaryIO, Callable, Iterator, Optional, Sequence, Union

import msgpack

from kalvex._codec import MAX_KEY_BYTES, UNPACK_DEFAULTS, decode_failure, packer
from kalvex.cli._common import CommandError


Keys = list[Union[str, bytes]]
Record = tuple[bytes, Keys, int]
Advance = Callable[[int, int], None]
Bad = Callable[[int, str], None]
Reader = Callable[[BinaryIO, str, Sequence[str], Advance, Bad], Iterator[Record]]

# A str of at most this many characters is within the key limit in UTF-8 (4 bytes each).
_SURELY_SHORT = MAX_KEY_BYTES // 4
# Lines read per block of JSON Lines input.
_BLOCK_BYTES = 1 << 20


def _keys_of(record: Any, fields: Sequence[str]) -> Union[Keys, str]:
    """The keys of ``record``, or the text of why it has none."""
    if not isinstance(record, dict):
        return f"a record must be an object with the key fields, not {_kind(record)}"
    keys: Keys = []
    for field in fields:
        value = record.get(field)
        if type(value) is int:
            value = str(value)
        if type(value) is not str:
            if value is None and field not in record:
                return f"no key field {field!r}"
            return f"key field {field!r} is {_kind(value)}, not a string or an integer"
        if len(value) > _SURELY_SHORT and len(value.encode()) > MAX_KEY_BYTES:
            return f"key field {field!r} is {len(value.encode())} bytes, the format allows {MAX_KEY_BYTES}"
        keys.append(value)
    return keys


def _kind(value: Any) -> str:
    return "null" if value is None else f"a {type(value).__name__}"


def _line_scanner() -> Callable[[str], Any]:
    """Parse one line of JSON as ``json.loads`` does, or raise ``ValueError``.

    On CPython the decoder's scanner is called directly: it skips ``json.loads``'s type
    checks, encoding detection and whitespace regex, a third of its time on a short line.
    PyPy's ``json.loads`` has its own fast path, which the scanner would bypass.
    """
    if json.scanner.c_make_scanner is None:  # type: ignore[attr-defined]
        return json.loads
    make_scanner: Any = json.scanner.make_scanner
    scan = make_scanner(json.JSONDecoder())

    def parse(text: str) -> Any:
        try:
            value, end = scan(text, 0)
        except StopIteration:
            return json.loads(text)  # leading space, or no value: its own message
        if end != len(text) and text[end:] != "\n" and text[end:].strip():
            return json.loads(text)  # more after the value: its own message
        return value

    return parse


def jsonl(stream: BinaryIO, name: str, fields: Sequence[str], advance: Advance, bad: Bad) -> Iterator[Record]:
    """One record per line; blank lines are skipped. A UTF-8 byte-order mark at the start
    is skipped too, as the CSV reader does (editors on some systems write one)."""
    parse = _line_scanner()
    pack = packer(None)
    number = 0
    for block in iter(lambda: stream.readlines(_BLOCK_BYTES), []):
        advance(sum(map(len, block)), len(block))
        if number == 0 and block[0].startswith(codecs.BOM_UTF8):
            block[0] = block[0][len(codecs.BOM_UTF8):]
        for line in block:
            number += 1
            try:
                record = parse(line.decode())
            except ValueError as exc:  # UnicodeDecodeError is one too
                if line.strip():
                    bad(number, f"not JSON: {exc}")
                continue
            keys = _keys_of(record, fields)
            if isinstance(keys, str):
                bad(number, keys)
                continue
            try:
                payload = pack(record)
            except (OverflowError, ValueError) as exc:
                bad(number, f"cannot store the record: {exc}")
                continue
            yield payload, keys, number


def csv_rows(stream: BinaryIO, name: str, fields: Sequence[str], advance: Advance, bad: Bad) -> Iterator[Record]:
    """One record per row, named by the header row; every value stays a string.

    Read strictly: a quote that is never closed or is followed by more than a delimiter is
    a bad record, not text quietly taken in. Bytes that are not UTF-8 are decoded as lone
    surrogates (so the row's line is known when the record is judged) and make their record
    bad; msgpack refuses to pack such text.
    """
    text = io.TextIOWrapper(stream, encoding="utf-8-sig", errors="surrogateescape", newline="")
    rows = csv.DictReader(text, strict=True)
    lines = rows.reader  # its line count, unlike the DictReader's, is current after an error
    pack = packer(None)
    try:
        # A fault of the header spoils every row: not a bad record to skip but a wrong input
        # or command.
        try:
            header = rows.fieldnames or []
            "".join(header).encode()
        except csv.Error as exc:
            raise CommandError(f"{name}:{lines.line_num}: the header is not CSV: {exc} (nothing written)") from exc
        except UnicodeEncodeError:
            raise CommandError(f"{name}:1: the header is not UTF-8 (nothing written)") from None
        twice = [column for number, column in enumerate(header) if column in header[:number]]
        if twice:
            raise CommandError(f"{name}:1: the header names the column {twice[0]!r} twice (nothing written)")
        missing = [field for field in fields if field not in header]
        if missing:
            raise CommandError(f"{name}:1: the header has no column {missing[0]!r} (nothing written)")
        consumed = _position(stream)
        count = 0
        while True:
            first_line = lines.line_num + 1
            try:
                row = next(rows)
            except StopIteration:
                break
            except csv.Error as exc:
                # The reader starts afresh on the line after the one it refused.
                began = f" (the record begins on line {first_line})" if first_line < lines.line_num else ""
                reason = str(exc).removeprefix(f"line {lines.line_num}: ")  # PyPy's csv names it too
                bad(lines.line_num, f"not CSV: {reason}{began}")
                continue
            count += 1
            if count % 4096 == 0:
                position = _position(stream)
                advance(position - consumed, 4096)
                consumed = position
            where = lines.line_num
            if None in row or None in row.values():
                bad(where, f"the row's field count differs from the header's {len(header)}")
                continue
            keys = _keys_of(row, fields)
            if isinstance(keys, str):
                bad(where, keys)
                continue
            if "" in keys:
                bad(where, f"key field {fields[keys.index('')]!r} is empty")
                continue
            try:
                payload = pack(row)
            except UnicodeEncodeError as exc:
                byte = ord(exc.object[exc.start]) - 0xDC00
                bad(where, f"not UTF-8: the byte 0x{byte:02x} decodes to no character")
                continue
            yield payload, keys, where
    finally:
        text.detach()


def _position(stream: BinaryIO) -> int:
    try:
        return stream.tell()
    except (OSError, ValueError):
        return 0


class _Tail:
    """``data`` from ``start`` on, as a file an unpacker reads a piece at a time: starting
    it over past a record costs that piece, not a copy of the rest of the input."""

    def __init__(self, data: bytes, start: int) -> None:
        self._view = memoryview(data)
        self._at = start

    def read(self, n: int) -> bytes:
        piece = bytes(self._view[self._at : self._at + n])
        self._at += len(piece)
        return piece


def _unpacker(data: bytes, start: int, **options: Any) -> Any:
    return msgpack.Unpacker(_Tail(data, start), read_size=_READ_SIZE, max_buffer_size=max(len(data), _READ_SIZE),
                            **{**UNPACK_DEFAULTS, **options})


def _end_of_value(data: bytes, start: int) -> Optional[int]:
    """Where the msgpack value at ``start`` ends, its text left undecoded; None when it
    does not parse."""
    skipper = _unpacker(data, start, raw=True)
    try:
        skipper.skip()
    except (msgpack.OutOfData, ValueError):
        return None
    return start + int(skipper.tell())


# The bytes an unpacker asks its input for at a time.
_READ_SIZE = 1 << 20


def msgpack_stream(stream: BinaryIO, name: str, fields: Sequence[str], advance: Advance, bad: Bad) -> Iterator[Record]:
    """Objects one after another: maps with the key fields, or ``[key, value]`` pairs."""
    data = stream.read()
    advance(len(data), 0)
    # An unpacker left by a failed value stands at a place that differs between msgpack's
    # implementations, so reading goes on with a new one from the next value's start.
    base = 0
    unpacker = _unpacker(data, base)
    number = 0
    while base + unpacker.tell() < len(data):
        number += 1
        start = base + unpacker.tell()
        try:
            if fields:
                checked = _keys_of(unpacker.unpack(), fields)
                payload = data[start : base + unpacker.tell()]
            else:
                checked, payload = _pair(unpacker, data, base)
        except UnicodeDecodeError as exc:
            # Well-formed msgpack whose text is not UTF-8: the record is bad, the next one
            # begins where its bytes end.
            end = _end_of_value(data, start)
            if end is None:
                bad(number, f"not msgpack: {decode_failure(exc)}")
                return
            bad(number, f"holds text that is not UTF-8: {exc}")
            base, unpacker = end, _unpacker(data, end)
            continue
        except (msgpack.OutOfData, msgpack.ExtraData, ValueError) as exc:
            # Past a value that does not parse there is no telling where the next begins.
            bad(number, f"not msgpack: {decode_failure(exc)}")
            return
        if isinstance(checked, str):
            bad(number, checked)
        else:
            yield payload, checked, number


def _pair(unpacker: Any, data: bytes, base: int) -> tuple[Union[Keys, str], bytes]:
    try:
        size = unpacker.read_array_header()
    except ValueError:
        unpacker.skip()
        return "not a [key, value] pair; --key reads records", b""
    if size != 2:
        for _ in range(size):
            unpacker.skip()
        return f"an array of {size}, not a [key, value] pair; --key reads records", b""
    key = unpacker.unpack()
    value_start = base + unpacker.tell()
    unpacker.skip()
    if not isinstance(key, (str, bytes)):
        return f"the key is {_kind(key)}, not a string or bytes", b""
    if len(key) > _SURELY_SHORT and len(key.encode() if isinstance(key, str) else key) > MAX_KEY_BYTES:
        return f"the key is over the format's {MAX_KEY_BYTES} bytes", b""
    return [key], data[value_start : base + unpacker.tell()]


READERS: dict[str, Reader] = {"jsonl": jsonl, "csv": csv_rows, "msgpack": msgpack_stream}
