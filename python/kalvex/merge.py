"""merge(): one store from several, payloads copied as bytes and never decoded."""
from __future__ import annotations

import os
from typing import Any, Callable, Optional, Union

from kalvex._codec import PathLike
from kalvex.reader import ReaderBase
from kalvex.shards import open as open_store
from kalvex.writer import KalvWriter

Source = Union[PathLike, ReaderBase]

# Keys read between two progress reports.
_PROGRESS_STEP = 1 << 16


def merge(
    out_path: PathLike,
    *inputs: Source,
    dedupe: bool = True,
    progress: Optional[Callable[[int], None]] = None,
    index: bool = True,
    compression: Optional[str] = None,
    compression_level: int = 3,
    dictionary: Optional[bytes] = None,
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
    decoded).

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
                      {"compression": compression, "compression_level": compression_level, "dictionary": dictionary})
    finally:
        for reader in opened:
            reader.close()


def _merge(
    out_path: PathLike,
    readers: list[ReaderBase],
    dedupe: bool,
    progress: Optional[Callable[[int], None]],
    index: bool,
    compression: dict[str, Any],
) -> str:
    writer = KalvWriter(out_path, dedupe=dedupe, index=index, **compression)
    # Newest first: a key already taken was set by a later input, so older copies are
    # skipped instead of stored and then overwritten.
    for reader in reversed(readers):
        # Without dedupe, equal payloads of one input (its shared objects among them) still
        # make one object, but never meet another input's.
        within: Optional[dict[bytes, int]] = None if dedupe else {}
        add_raw, link = writer.add_raw, writer.link
        read = 0
        for read, (key, payload) in enumerate(reader.items_raw(), 1):
            if key not in writer:
                if within is None:
                    add_raw(payload, key)
                elif payload in within:
                    link(key, within[payload])
                else:
                    within[payload] = add_raw(payload, key)
            if progress is not None and read % _PROGRESS_STEP == 0:
                progress(_PROGRESS_STEP)
        if progress is not None and read % _PROGRESS_STEP:
            progress(read % _PROGRESS_STEP)
    return writer.build()
