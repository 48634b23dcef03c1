"""merge(): one store from several, payloads copied as bytes and never decoded.

The inputs are read together in key order, a merge of their listings, so each key is
looked at once and only its last input's copy is stored.
"""
from __future__ import annotations

import heapq
import os
from typing import Any, Callable, Iterator, Optional, Union

from kalvex._codec import PathLike
from kalvex.reader import ReaderBase
from kalvex.shards import open as open_store
from kalvex.writer import KalvWriter

Source = Union[PathLike, ReaderBase]

# Keys read between two progress reports.
_PROGRESS_STEP = 1 << 16
# Pairs handed to the writer per call when no object id is wanted back.
_BATCH = 2048


def merge(
    out_path: PathLike,
    *inputs: Source,
    dedupe: bool = True,
    progress: Optional[Callable[[int], None]] = None,
    index: bool = True,
    compression: Optional[str] = None,
    compression_level: int = 3,
    dictionary: Optional[bytes] = None,
    memory_limit: Optional[int] = None,
) -> str:
    """Write one store holding every key of ``inputs``: open readers, or paths of store
    files or sharded stores.

    A key held by several inputs takes its value from the last of them. Keys that share an
    object in an input share it in the output. With ``dedupe`` (the default) byte-identical
    payloads are stored once across all inputs; with ``dedupe=False`` only within each input.
    Every input passes the deep check (``verify()``) first: a damaged one raises
    ``KalvCorruptError`` and nothing is written. The build is atomic like every build;
    returns ``out_path``. ``progress``, when given,
    is called now and then with the number of input keys read since its last call.
    ``index`` is ``KalvWriter``'s: the output carries a mapped index unless it is False.
    ``compression``, ``compression_level`` and ``dictionary`` are ``KalvWriter``'s too: the
    output is compressed as they say, whether the inputs were or not (their values are read
    decoded). ``memory_limit`` is ``KalvWriter``'s.

    >>> kalvex.merge("all.klvx", "2025.klvx", "2026.klvx")
    'all.klvx'
    """
    if not inputs:
        # An empty store replacing out_path is never what a call without inputs meant.
        raise TypeError("merge() needs at least one input store")
    # Every input passes the deep check before anything is written: a damaged index can
    # list fewer keys than the store holds, and copying that listing would publish a short
    # store under a fresh, valid checksum. Readers opened here are closed on every exit.
    opened: list[ReaderBase] = []
    try:
        readers = []
        for source in inputs:
            if isinstance(source, ReaderBase):
                readers.append(source)
            else:
                opened.append(open_store(os.fsdecode(source), raw=True))
                readers.append(opened[-1])
            readers[-1].verify()
        return _merge(out_path, readers, dedupe, progress, index,
                      {"compression": compression, "compression_level": compression_level, "dictionary": dictionary,
                       "memory_limit": memory_limit})
    finally:
        for reader in opened:
            reader.close()


def _merge(
    out_path: PathLike,
    readers: list[ReaderBase],
    dedupe: bool,
    progress: Optional[Callable[[int], None]],
    index: bool,
    options: dict[str, Any],
) -> str:
    writer = KalvWriter(out_path, dedupe=dedupe, index=index, **options)
    try:
        _copy_merged(writer, readers, dedupe, progress)
        return writer.build()
    finally:
        writer.close()


def _copy_merged(
    writer: KalvWriter, readers: list[ReaderBase], dedupe: bool, progress: Optional[Callable[[int], None]]
) -> None:
    """Adds every key of ``readers`` to ``writer`` in key order, with the payload of the
    last reader holding it; older copies of a key are skipped, never stored."""
    # The inputs' listings, each in key order, merged into one as (key, input number,
    # payload): a key is held once per input, so tuples compare by key, then input
    # number, and never reach the payloads. Of equal keys the last input's comes last.
    streams = [_numbered(reader, number) for number, reader in enumerate(readers)]
    merged: Iterator[tuple[bytes, int, bytes]] = streams[0] if len(streams) == 1 else heapq.merge(*streams)
    # Without dedupe, equal payloads of one input (its shared objects among them) still
    # make one object, but never meet another input's.
    within: list[dict[bytes, int]] = [{} for _ in readers]
    add_raw, link = writer.add_raw, writer.link
    # With dedupe no object id is needed back: the pairs go to the writer a batch a call.
    keys: list[bytes] = []
    payloads: list[bytes] = []

    def store(key: bytes, number: int, payload: bytes) -> None:
        if dedupe:
            keys.append(key)
            payloads.append(payload)
            if len(keys) == _BATCH:
                writer._add_packed(keys, payloads)
                keys.clear()
                payloads.clear()
            return
        seen = within[number]
        if payload in seen:
            link(key, seen[payload])
        else:
            seen[payload] = add_raw(payload, key)

    held: Optional[tuple[bytes, int, bytes]] = None  # waits to see whether a later input has its key
    read = 0
    for read, entry in enumerate(merged, 1):
        if held is not None and held[0] != entry[0]:
            store(*held)
        held = entry
        if progress is not None and read % _PROGRESS_STEP == 0:
            progress(_PROGRESS_STEP)
    if held is not None:
        store(*held)
    writer._add_packed(keys, payloads)
    if progress is not None and read % _PROGRESS_STEP:
        progress(read % _PROGRESS_STEP)


def _numbered(reader: ReaderBase, number: int) -> Iterator[tuple[bytes, int, bytes]]:
    """(key, ``number``, payload) for each key of ``reader``, in key order."""
    for key, payload in reader.items_raw():
        yield key, number, payload
