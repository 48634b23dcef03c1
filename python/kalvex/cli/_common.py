"""What every subcommand shares: its error, exit statuses, opening a store, standard
output, progress."""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any, BinaryIO, Callable, Union

from kalvex.errors import KalvexError
from kalvex.reader import KalvReader
from kalvex.shards import ShardedReader
from kalvex.shards import open as open_any

Store = Union[KalvReader, ShardedReader]

# Exit statuses: the answers yes and no, and trouble (no answer), as kalvex.cli says.
YES, NO, TROUBLE = 0, 1, 2


class CommandError(Exception):
    """A failure the command reports as one line: bad input, a missing file, a bad option."""


def open_store(path: str, *, verify: bool = False) -> Store:
    """The store file or sharded store directory ``path`` opened raw (payload bytes), with
    its index checked and every payload's CRC-32 checked as it is read (``check=True``): a
    damaged store is an error (exit 2), never a wrong answer, at a cost that grows with the
    index and what is printed, not with the data. Errors name the file once. ``verify``
    also reads the whole-file CRC-32."""
    try:
        return open_any(path, verify=verify, check=True, raw=True)
    except KalvexError as exc:
        raise CommandError(with_path(path, exc)) from exc


def with_path(path: str, exc: BaseException, *, first: bool = False) -> str:
    """The message of ``exc`` led by ``path`` unless it names the path already (with
    ``first``, unless it begins with it: lines that each begin with their store's path)."""
    text = str(exc)
    named = text.startswith((f"{path}:", f"{path} ")) if first else path in text
    return text if named else f"{path}: {text}"


def output() -> BinaryIO:
    """Standard output as bytes, after any text already printed to it. Its buffer gathers
    short writes; ``main`` flushes it at the end."""
    sys.stdout.flush()
    return sys.stdout.buffer


def progress(args: argparse.Namespace, **options: Any) -> Any:
    """A tqdm bar on standard error, drawn only when standard error is a terminal and
    ``--quiet`` was not given, so that logs and pipes never fill with bars."""
    if getattr(args, "quiet", False) or not sys.stderr.isatty():
        return _NoBar()
    from tqdm import tqdm

    return tqdm(file=sys.stderr, dynamic_ncols=True, leave=False, **options)


class _NoBar:
    """A bar not drawn: every call does nothing (and tqdm, slow to import, stays unloaded)."""

    def __getattr__(self, name: str) -> Callable[..., None]:
        return lambda *args, **kwargs: None


def summary(path: str, quiet: bool) -> None:
    """One line on standard error describing the store just written at ``path``."""
    if quiet:
        return
    with KalvReader(path, verify=False, raw=True) as reader:
        stats = reader.stats()
    print(f"kalvex: wrote {path}: {counted(stats['num_objects'], 'object')}, "
          f"{counted(stats['num_keys'], 'key')}, {human_size(os.path.getsize(path))}", file=sys.stderr)


def counted(number: int, noun: str) -> str:
    """``number`` and ``noun``, plural unless it is one: "1 key", "2,048 keys"."""
    return f"{number:,} {noun}{'' if number == 1 else 's'}"


def human_size(size: int) -> str:
    """A size in bytes as people read it, in decimal units: kilobytes to one decimal below
    a megabyte ("0.4 kB", "84.5 kB"), three figures above ("84.5 MB", "1.36 GB")."""
    if size < 999_950:
        return f"{size / 1000:.1f} kB"
    value, unit = size / 1e6, "MB"
    for unit in ("MB", "GB", "TB"):
        if value < 999.5 or unit == "TB":
            break
        value /= 1000
    return f"{value:.3g} {unit}" if value < 1000 else f"{value:,.0f} {unit}"


def key_text(key: bytes) -> str:
    """A stored key as text: UTF-8, with each byte that is not valid UTF-8 shown as \\xNN
    and a backslash doubled, so that no two keys share a text (``k\\xff`` is the key
    ``k`` and the byte 0xFF, ``k\\\\xff`` the key of five characters)."""
    if b"\\" in key:
        key = key.replace(b"\\", b"\\\\")
    return key.decode("utf-8", "backslashreplace")
