"""An exact table from payload bytes to the object id that already holds them.

Dedupe must never merge two different payloads, and must stay small beside the native
writer's own copy of every payload (at most 40 bytes per object). A dict keyed by digest
would cost over 100 bytes per object in Python objects alone, so the table is flat:

- ``_digests``: the 128-bit XXH3 digest of entry i at bytes [16 i, 16 i + 16). Two payloads
  are taken as equal only when their whole 128-bit digests are equal. Entry i is the object
  ``first + i``: the objects added through one table have consecutive ids.
- ``_slots``: open addressing with linear probing over 64-bit words, each either 0 (empty)
  or ``tag << 32 | (entry + 1)``, where the tag is the low 32 bits of the digest's hash.
  The tag picks the home slot (so growing needs no digest) and rules out most non-matching
  slots without touching ``_digests``.

Invariant: at most 3/4 of the slots are full, so a probe always ends at an empty slot.
Memory: 16 bytes of digest plus 8 bytes per slot, 1.33 to 2.67 slots per object: 27 to 38.
"""
from __future__ import annotations

from array import array
from typing import Callable

from xxhash import xxh3_128_digest

_ID_BITS = 32
_ID_MASK = (1 << _ID_BITS) - 1
_INITIAL_SLOTS = 1024


class PayloadTable:
    """Object ids by payload content, for objects added through ``intern``.

    The objects one table adds must have consecutive ids (nothing else adds objects to the
    same writer meanwhile); a table can start at any id.
    """

    def __init__(self) -> None:
        self._digests = bytearray()
        self._slots = array("Q", bytes(8 * _INITIAL_SLOTS))
        self._mask = _INITIAL_SLOTS - 1
        self._count = 0
        self._first = 0

    def intern(self, payload: bytes, add: Callable[[bytes], int]) -> int:
        """The id of an object holding exactly ``payload``; ``add(payload)`` makes one if none.

        When ``add`` raises, the table is unchanged.
        """
        digest = xxh3_128_digest(payload)
        tag = hash(digest) & _ID_MASK
        slots = self._slots
        mask = self._mask
        index = tag & mask
        slot = slots[index]
        while slot:
            if slot >> _ID_BITS == tag:
                entry = (slot & _ID_MASK) - 1
                if self._digests[entry << 4 : (entry + 1) << 4] == digest:
                    return self._first + entry
            index = (index + 1) & mask
            slot = slots[index]
        object_id = add(payload)
        if not self._count:
            self._first = object_id
        elif object_id != self._first + self._count or self._count >= _ID_MASK - 1:
            # Objects added around the table, or more entries than a slot word holds: leave
            # such objects out rather than record a wrong id.
            return object_id
        slots[index] = tag << _ID_BITS | (self._count + 1)
        self._digests += digest
        self._count += 1
        if self._count * 4 > len(slots) * 3:
            self._grow()
        return object_id

    def _grow(self) -> None:
        size = len(self._slots) * 2
        mask = size - 1
        slots = array("Q", bytes(8 * size))
        for slot in self._slots:
            if slot:
                index = (slot >> _ID_BITS) & mask
                while slots[index]:
                    index = (index + 1) & mask
                slots[index] = slot
        self._slots = slots
        self._mask = mask
