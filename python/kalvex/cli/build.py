"""``kalvex build`` (a store from data files) and ``kalvex merge`` (one store from several).

Both write through the package's atomic build: the store appears whole at OUT or not at
all, and a failed run leaves an existing OUT as it was. A build reads every input before
writing anything, so bad input stops it before OUT is touched; ``--skip-bad`` leaves bad
records out instead, counts them and names the first few.

A key given by two records is a conflict the build resolves as ``--on-duplicate`` says:
``error`` (the default) treats the later record as bad, as a primary key refuses a second
row; ``first`` and ``last`` keep one record's value for the key and count the others. A
record stores its object only under the keys it keeps: one that keeps none stores nothing,
so no object is left that no key reaches.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from contextlib import ExitStack
from typing import Any, BinaryIO, Iterable, Iterator, Optional

from kalvex.cli._common import YES, CommandError, key_text, open_store, progress, summary, with_path
from kalvex.cli._records import READERS, Bad, Record
from kalvex.errors import KalvexError
from kalvex.merge import merge
from kalvex.writer import KalvWriter

# Bad records named one by one with --skip-bad; the rest are only counted.
_NAMED_BAD = 10
_EXTENSIONS = {".csv": "csv", ".msgpack": "msgpack", ".mpk": "msgpack", ".jsonl": "jsonl", ".ndjson": "jsonl"}


def register(commands: Any) -> None:
    build = commands.add_parser(
        "build", run=run_build,
        help="build a store from JSON Lines, CSV or msgpack records",
        description="Build a store at OUT from records read from each INPUT (standard input for "
        "'-' or when none is given). Each record is stored once, under the value of every --key "
        "field. CSV takes its header row as field names and keeps values as strings. A msgpack "
        "stream of [key, value] pairs (kalvex dump --format msgpack) needs no --key. The format "
        "defaults to the first input's extension (.jsonl, .csv, .msgpack), else jsonl.\n\n"
        "Bad input (a line that does not parse, a record without a key field, a key given "
        "by an earlier record) stops the build and nothing is written, unless --skip-bad is "
        "given. --on-duplicate first or last takes a repeated key as no fault: the first or "
        "the last record giving it keeps it.",
        epilog="examples:\n  kalvex build users.klvx users.jsonl --key id --key email\n"
        "  kalvex build users.klvx users.csv --key id\n"
        "  zcat users.jsonl.gz | kalvex build users.klvx --key id\n"
        "  kalvex dump old.klvx --format msgpack | kalvex build copy.klvx --format msgpack",
    )
    build.add_argument("out", metavar="OUT")
    build.add_argument("inputs", metavar="INPUT", nargs="*")
    build.add_argument("--key", dest="fields", metavar="FIELD", action="append", default=[],
                       help="a field whose value is a key of the record (repeatable)")
    build.add_argument("--format", choices=sorted(READERS), help="the input format")
    build.add_argument("--no-dedupe", action="store_true",
                       help="store every record as its own object, even when equal to another")
    build.add_argument("--on-duplicate", choices=("error", "first", "last"), default="error",
                       help="a key given by more than one record: a bad record (error, the default), "
                       "or kept by the first or the last of them (the others are counted)")
    build.add_argument("--skip-bad", action="store_true", help="leave bad records out and count them")

    merge_parser = commands.add_parser(
        "merge", run=run_merge,
        help="merge stores into one",
        description="Write one store at OUT holding every key of the inputs (store files or "
        "sharded stores). A key held by several inputs takes its value from the last of "
        "them; equal values are stored once.",
        epilog="example:\n  kalvex merge all.klvx 2025.klvx 2026.klvx",
    )
    merge_parser.add_argument("out", metavar="OUT")
    merge_parser.add_argument("inputs", metavar="IN", nargs="+")

    for writing in (build, merge_parser):
        writing.add_argument("--no-index", action="store_true",
                             help="write the plain file, without the mapped index that lets readers open it at once")
        writing.add_argument("--quiet", "-q", action="store_true", help="no progress and no summary")
        writing.add_argument("--compress", action="store_true",
                             help="store the values compressed (zstd, with a dictionary trained from them): "
                             "about half the size for records of a few hundred bytes; readers decode them")
        writing.add_argument("--compression-level", type=int, default=3, metavar="N",
                             help="the zstd level of --compress (default 3; higher is smaller and slower)")


def _compression(args: argparse.Namespace) -> dict[str, Any]:
    """The writer's compression options that --compress and --compression-level give."""
    return {"compression": "zstd" if args.compress else None, "compression_level": args.compression_level}


def _format_of(args: argparse.Namespace) -> str:
    if args.format:
        return str(args.format)
    for name in args.inputs:
        if name != "-":
            return _EXTENSIONS.get(os.path.splitext(name)[1].lower(), "jsonl")
    return "jsonl"


def _total_size(inputs: list[tuple[str, BinaryIO]]) -> Optional[int]:
    try:
        return sum(os.fstat(stream.fileno()).st_size for _, stream in inputs if stream is not sys.stdin.buffer) or None
    except OSError:
        return None


def run_build(args: argparse.Namespace) -> int:
    form = _format_of(args)
    if not args.fields and form != "msgpack":
        args.usage_error(f"--key is needed to read {form} records")
    read = READERS[form]
    writer = KalvWriter(dedupe=not args.no_dedupe, index=not args.no_index, **_compression(args))
    duplicates = _Duplicates(args.on_duplicate, writer)
    skipped, read_count, started = 0, 0, time.monotonic()

    def advance(size: int, count: int) -> None:
        # The bar moves by the bytes read; beside it, the records read and their rate.
        nonlocal read_count
        read_count += count
        rate = read_count / max(time.monotonic() - started, 1e-9)
        bar.set_postfix_str(f"{read_count:,} records, {rate:,.0f}/s", refresh=False)
        bar.update(size)

    def bad(number: int, reason: str) -> None:
        # Called only while the input ``name`` is read: its records are stored before the next.
        nonlocal skipped
        where = f"{name}: record {number}" if form == "msgpack" else f"{name}:{number}"
        if not args.skip_bad:
            raise CommandError(f"{where}: {reason} (nothing written; --skip-bad leaves such records out)")
        skipped += 1
        if skipped <= _NAMED_BAD:
            print(f"kalvex: skipping {where}: {reason}", file=sys.stderr)

    with ExitStack() as stack:
        # Every input opened before any is read, so that a missing file fails the run at once.
        inputs = [("<stdin>", sys.stdin.buffer) if name == "-" else (name, stack.enter_context(open(name, "rb")))
                  for name in args.inputs or ["-"]]
        bar = progress(args, total=_total_size(inputs), unit="B", unit_scale=True, desc="reading")
        try:
            for name, stream in inputs:
                writer.add_many_raw(duplicates.resolve(read(stream, name, args.fields, advance, bad), bad))
            writer.add_many_raw(duplicates.held())
        finally:
            bar.close()
    try:
        writer.build(args.out)
    except KalvexError as exc:
        raise CommandError(with_path(args.out, exc)) from exc
    if skipped:
        print(f"kalvex: skipped {skipped} bad record{'s' if skipped != 1 else ''}", file=sys.stderr)
    if duplicates.repeated:
        print(f"kalvex: {duplicates.repeated} key{'s' if duplicates.repeated != 1 else ''} given again: "
              f"kept the {args.on_duplicate} record's value", file=sys.stderr)
    summary(args.out, args.quiet)
    return YES


class _Duplicates:
    """Keys given by more than one record, resolved as ``--on-duplicate`` says.

    A record keeps the keys the writer does not hold yet (``add_many_raw`` stores a record
    before the next is read), so ``error`` and ``first`` decide as records arrive. ``last``
    is ``first`` backwards: it holds the records back and hands them over newest first, so
    that a record whose every key a later one took stores no object at all.
    """

    def __init__(self, mode: str, writer: KalvWriter) -> None:
        self.mode = mode
        self.repeated = 0
        # The writer answers for the keys it holds: no second copy of every key.
        self._taken = writer
        self._held: list[tuple[bytes, list[bytes]]] = []

    def resolve(self, records: Iterable[Record], bad: Bad) -> Iterator[tuple[bytes, list[bytes]]]:
        """The records to store, each with the keys it keeps."""
        for payload, keys, number in records:
            datas = [key.encode() if isinstance(key, str) else key for key in keys]
            if self.mode == "last":
                self._held.append((payload, datas))
                continue
            kept = self._kept(datas)
            if len(kept) < len(datas) and self.mode == "error":
                repeat = next(data for data in datas if data in self._taken)
                bad(number, f"the key {key_text(repeat)!r} was given by an earlier record "
                    "(--on-duplicate first or last keeps one of them)")
            elif kept:
                yield payload, kept

    def held(self) -> Iterator[tuple[bytes, list[bytes]]]:
        """With ``last``: the records held back, newest first, each under the keys it keeps."""
        while self._held:
            payload, datas = self._held.pop()  # handed to the writer: not kept twice
            kept = self._kept(datas)
            if kept:
                yield payload, kept

    def _kept(self, datas: list[bytes]) -> list[bytes]:
        kept = [data for data in datas if data not in self._taken]
        if self.mode != "error":
            self.repeated += len(datas) - len(kept)
        return kept


def run_merge(args: argparse.Namespace) -> int:
    with ExitStack() as stack:
        readers = [stack.enter_context(open_store(path, verify=True)) for path in args.inputs]
        total = sum(len(reader) for reader in readers)
        bar = progress(args, total=total, unit=" keys", unit_scale=True, desc="merging")
        try:
            merge(args.out, *readers, progress=bar.update, index=not args.no_index, **_compression(args))
        except KalvexError as exc:
            raise CommandError(with_path(args.out, exc)) from exc
        finally:
            bar.close()
    summary(args.out, args.quiet)
    return YES
