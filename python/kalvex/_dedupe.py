"""An exact table from payload bytes to the object id that already holds them.

Dedupe must never merge two different payloads, and must stay small beside the native
writer's own copy of every payload (at most 40 bytes per object). A dict keyed by digest
would cost over 100 bytes per object in Python objects alone, so the digests live in a
flat table instead: the 128-bit XXH3 digest of each object, and open addressing over
entry numbers. Two payloads are taken as equal only when their whole digests are equal.

On CPython the table is native (``kalvex._native.DigestTable``): one call per probe. On
PyPy the same algorithm in Python below is compiled by the JIT and beats a call into a
C-API module.
"""
from __future__ import annotations

import struct
import sys
from array import array
from typing import Callable, Protocol

from xxhash import xxh3_128_digest

_DIGEST_SIZE = 16
_MAX_ENTRIES = 0xFFFFFFFE
_INITIAL_SLOTS = 1024


class _Digests(Protocol):
    def find(self, digest: bytes, /) -> int: ...
    def add(self, digest: bytes, /) -> None: ...
    def __len__(self) -> int: ...


class DigestTable:
    """Entry numbers of 16-byte digests, in Python: the layout of the native table.

    ``_words`` holds entry i's digest as two 64-bit words at [2 i, 2 i + 2), so a probe
    compares integers and allocates nothing (what lets PyPy's JIT keep it in registers);
    ``_slots`` holds entry + 1 (zero: empty), probed linearly from the digest's first eight
    bytes. ``find`` remembers where its probe ended, so the ``add`` that follows a miss
    does not probe again.
    Invariant: at most half the slots are full. Memory: 16 + 8..16 bytes per entry.
    """

    def __init__(self) -> None:
        self._words = array("Q")
        self._slots = array("I", bytes(4 * _INITIAL_SLOTS))
        self._mask = _INITIAL_SLOTS - 1
        self._last: tuple[int, int, int] = (-1, -1, -1)  # (low, high, slot) of the last miss

    def _probe(self, low: int, high: int) -> int:
        slots, mask, words = self._slots, self._mask, self._words
        slot = low & mask
        held = slots[slot]
        while held and (words[2 * held - 2] != low or words[2 * held - 1] != high):
            slot = (slot + 1) & mask
            held = slots[slot]
        return slot

    def find(self, digest: bytes, /) -> int:
        low, high = _words_of(digest)
        slot = self._probe(low, high)
        held = self._slots[slot]
        if not held:
            self._last = (low, high, slot)
        return held - 1

    def add(self, digest: bytes, /) -> None:
        low, high = _words_of(digest)
        entries = len(self._words) // 2
        if (entries + 1) * 2 > len(self._slots):
            self._grow()
            slot = self._probe(low, high)
        elif self._last[:2] == (low, high):
            slot = self._last[2]
        else:
            slot = self._probe(low, high)
        self._last = (-1, -1, -1)
        self._slots[slot] = entries + 1
        self._words.append(low)
        self._words.append(high)

    def __len__(self) -> int:
        return len(self._words) // 2

    def _grow(self) -> None:
        size = len(self._slots) * 2
        mask = size - 1
        slots = array("I", bytes(4 * size))
        words = self._words
        for held in self._slots:
            if held:
                slot = words[2 * held - 2] & mask
                while slots[slot]:
                    slot = (slot + 1) & mask
                slots[slot] = held
        self._slots, self._mask = slots, mask


_DIGEST_WORDS = struct.Struct("<QQ")


def _words_of(digest: bytes) -> tuple[int, int]:
    if len(digest) != _DIGEST_SIZE:
        raise ValueError("digest must be 16 bytes")
    low, high = _DIGEST_WORDS.unpack(digest)
    return low, high


def _table_class() -> Callable[[], _Digests]:
    if sys.implementation.name == "cpython":
        try:
            from kalvex._native import DigestTable as Native
        except ImportError:
            pass
        else:
            native: Callable[[], _Digests] = Native
            return native
    return DigestTable


_new_table = _table_class()


class PayloadTable:
    """Object ids by payload content, for objects added through ``intern``.

    The objects one table adds have consecutive ids (nothing else adds objects to the same
    writer meanwhile), so entry i of the digest table is object ``first + i``.
    """

    def __init__(self) -> None:
        table = _new_table()
        self._find = table.find
        self._add = table.add
        self._first = 0
        self._count = 0

    def intern(self, payload: bytes, add: Callable[[bytes], int]) -> int:
        """The id of an object holding exactly ``payload``; ``add(payload)`` makes one if none.

        When ``add`` raises, the table is unchanged.
        """
        digest = xxh3_128_digest(payload)
        entry = self._find(digest)
        if entry >= 0:
            return self._first + entry
        object_id = add(payload)
        if not self._count:
            self._first = object_id
        elif object_id != self._first + self._count or self._count >= _MAX_ENTRIES:
            # Objects added around the table, or more than it holds: leave such objects out
            # rather than record a wrong id.
            return object_id
        self._add(digest)
        self._count += 1
        return object_id
