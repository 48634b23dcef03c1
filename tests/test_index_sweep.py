"""Damage anywhere in the index never becomes a wrong answer the reader could have seen.

Every byte of the mapped index's record and of the index section of a small store takes a
bit flip and an 8-byte run of 0x00 and of 0xFF. Opened with ``verify=False``, every call
answers exactly what the undamaged store answers or raises a store error (or, for a value read from a wrong place, fails to decode it):
never an empty
or short listing. With ``check=True`` that holds for every call; without it, damage that no
check short of a CRC can see (a slot or a key changed into another well-formed one, an
entry's object offset) may still change a lookup's or a listing's answer: those cases are
counted, by call, and printed (``pytest -s``), and the index's own record never yields one
in a listing or a prefix scan.
"""
import struct
from collections import Counter

import pytest

import kalvex
from kalvex.errors import KalvCorruptError, KalvDecodeError, KalvVersionError

pytestmark = pytest.mark.usefixtures("backend")

# Keys of one to three characters under one letter, so that a prefix holds a key and the
# keys that extend it ("k1", "k10".."k19"); a few values shared.
DATA = {f"k{i}": {"v": i % 7} if i % 3 else f"value {i}" for i in range(40)}
TRAILER = 76
LISTINGS = ("keys", "items", "values", "items_raw", "object_ids", "objects")
PREFIXES = ("prefix k1", "prefix_keys k3", "prefix k", "prefix_keys k39", "prefix x")


def answers(r):
    """Every call's answer, or the store error it raised, by call."""
    calls = {
        "keys": lambda: list(r.keys()),
        "items": lambda: list(r.items()),
        "values": lambda: list(r.values()),
        "items_raw": lambda: list(r.items_raw()),
        "object_ids": lambda: list(r.object_ids()),
        "objects": r.objects,
        "len": lambda: len(r),
        "prefix k1": lambda: r.prefix("k1"),
        "prefix_keys k3": lambda: r.prefix_keys("k3"),
        "prefix k": lambda: r.prefix("k"),
        "prefix_keys k39": lambda: r.prefix_keys("k39"),
        "prefix x": lambda: r.prefix("x"),
        "get_many": lambda: r.get_many(list(DATA) + ["k40", ""], default="absent"),
    }
    for key in list(DATA) + ["k40"]:
        calls[f"get {key}"] = lambda key=key: r.get(key, "absent")
        calls[f"in {key}"] = lambda key=key: key in r
    out = {}
    for name, call in calls.items():
        try:
            out[name] = call()
        except (KalvCorruptError, KalvVersionError, KalvDecodeError):  # a value read from a wrong place
            out[name] = "error"
    return out


def damages(data):
    """(where, position, damaged bytes) for every byte of the index record and section."""
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    trailer = index_offset - TRAILER
    slot_count = struct.unpack_from(">Q", data, trailer + 40)[0]
    samples = -(-len(DATA) // 2 ** data[trailer + 9])
    padding = data[trailer + 10]
    record = trailer - 8 * (slot_count + samples) - padding - 8
    for pos in range(record, len(data)):
        where = "record" if pos < index_offset else "section"
        flipped = bytearray(data)
        flipped[pos] ^= 1 << (pos % 8)
        yield where, pos, bytes(flipped)
        for fill in (0x00, 0xFF):
            run = bytearray(data)
            run[pos:pos + 8] = bytes([fill]) * len(run[pos:pos + 8])
            if run != data:
                yield where, pos, bytes(run)


def sweep(tmp_path, check):
    """Counter of (where, call) for the calls that answered wrong without an error."""
    path = tmp_path / "s.klvx"
    kalvex.build(path, DATA)
    data = path.read_bytes()
    with kalvex.KalvReader(path) as r:
        sound = answers(r)
    assert all(value != "error" for value in sound.values())
    wrong = Counter()
    cases = 0
    for where, _, damaged in damages(data):
        cases += 1
        path.write_bytes(damaged)
        try:
            r = kalvex.KalvReader(path, verify=False, check=check)
        except (KalvCorruptError, KalvVersionError):
            continue
        with r:
            # Counted once per damaged file and call (get and in: any of the keys).
            wrong.update({(where, name.split(" ")[0] if name.startswith(("get ", "in ")) else name)
                          for name, got in answers(r).items() if got != "error" and got != sound[name]})
    return cases, wrong


def test_checked_reader_answers_right_or_raises_for_every_damage(tmp_path):
    cases, wrong = sweep(tmp_path, check=True)
    assert cases > 3 * 1000 and not wrong


def test_unchecked_reader_never_lists_short_and_counts_what_it_cannot_see(tmp_path, backend):
    cases, wrong = sweep(tmp_path, check=False)
    print(f"\n{backend}: {cases} damaged files; answered differently without an error:")
    for (where, call), count in sorted(wrong.items()):
        print(f"  {where:8} {call:16} {count}")
    # The index's record is read only to find and walk entries: damage to it never changes
    # a listing or a prefix scan, whose walks check every block against the samples.
    assert not [call for where, call in wrong if where == "record" and call in LISTINGS + PREFIXES + ("len",)]
