"""An exact table from payload bytes to the object id that already holds them.

Dedupe must never merge two different payloads, and must stay small beside the native
writer's own copy of every payload (at most 40 bytes per object). A dict keyed by digest
would cost over 100 bytes per object in Python objects alone, so the digests live in a
flat table instead: the 128-bit XXH3 digest of each object, and open addressing over
entry numbers. Two payloads are taken as equal only when their whole digests are equal.

On CPython the table is native (``kalvex._accel.DigestTable``): one call per probe. On
PyPy the same algorithm in Python below is compiled by the JIT and beats a call into a
C-API module.
"""
from __future__ import annotations

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

    ``_digests`` holds entry i at bytes [16 i, 16 i + 16); ``_slots`` holds entry + 1 (zero:
    empty), probed linearly from the digest's first eight bytes.
    Invariant: at most half the slots are full. Memory: 16 + 8..16 bytes per entry.
    """

    def __init__(self) -> None:
        self._digests = bytearray()
        self._slots = array("I", bytes(4 * _INITIAL_SLOTS))
        self._mask = _INITIAL_SLOTS - 1

    def _probe(self, digest: bytes) -> int:
        if len(digest) != _DIGEST_SIZE:
            raise ValueError("digest must be 16 bytes")
        slots, mask, digests = self._slots, self._mask, self._digests
        slot = int.from_bytes(digest[:8], "little") & mask
        held = slots[slot]
        while held and digests[(held - 1) * 16 : held * 16] != digest:
            slot = (slot + 1) & mask
            held = slots[slot]
        return slot

    def find(self, digest: bytes, /) -> int:
        return self._slots[self._probe(digest)] - 1

    def add(self, digest: bytes, /) -> None:
        entries = len(self)
        if (entries + 1) * 2 > len(self._slots):
            self._grow()
        self._slots[self._probe(digest)] = entries + 1
        self._digests += digest

    def __len__(self) -> int:
        return len(self._digests) // _DIGEST_SIZE

    def _grow(self) -> None:
        size = len(self._slots) * 2
        mask = size - 1
        slots = array("I", bytes(4 * size))
        digests = self._digests
        for held in self._slots:
            if held:
                slot = int.from_bytes(digests[(held - 1) * 16 : (held - 1) * 16 + 8], "little") & mask
                while slots[slot]:
                    slot = (slot + 1) & mask
                slots[slot] = held
        self._slots, self._mask = slots, mask


def _table_class() -> Callable[[], _Digests]:
    if sys.implementation.name == "cpython":
        try:
            from kalvex._accel import DigestTable as Native  # type: ignore[import-not-found]
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
