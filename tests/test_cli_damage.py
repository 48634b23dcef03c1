"""The command's read commands on a damaged store: exit 2 with the reason, never an answer
read from the damage (an altered value, a miss, an empty listing, a diff of nothing)."""
import struct

import pytest

import kalvex
from kalvex.cli import main

pytestmark = pytest.mark.usefixtures("backend")

DATA = {f"k{i}": f"value {i}" for i in range(40)}
DATA["k7"] = "Widget"
TRAILER = 76


def entries(data):
    """(place in the index section, key) of every entry."""
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    pos, found = index_offset, []
    while pos < len(data):
        (length,) = struct.unpack_from(">H", data, pos)
        found.append((pos - index_offset, bytes(data[pos + 2:pos + 2 + length])))
        pos += 2 + length + 8
    return found


def altered_value(data):
    at = data.index(b"Widget")
    data[at] = ord("X")


def flipped_slot(data):
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    place = dict((key, place) for place, key in entries(data))[b"k7"]
    slot_count = struct.unpack_from(">Q", data, index_offset - TRAILER + 40)[0]
    samples = -(-len(DATA) // 16)
    slots = index_offset - TRAILER - 8 * (slot_count + samples)
    for at in range(slots, slots + 8 * slot_count, 8):
        if struct.unpack_from(">Q", data, at)[0] & (2 ** 40 - 1) == place and data[at]:
            data[at + 1] ^= 0x04  # a tag bit: the probe for k7 passes its slot by
            return
    raise AssertionError("no slot names k7")


def damaged_entry(data):
    index_offset = struct.unpack_from(">Q", data, 16)[0]
    data[index_offset + 1] ^= 0x40  # the first entry's key length


@pytest.mark.parametrize("damage, commands", [
    (altered_value, [["get", "{s}", "k7"], ["dump", "{s}"]]),
    (flipped_slot, [["get", "{s}", "k7"], ["keys", "{s}"]]),
    (damaged_entry, [["dump", "{s}"], ["keys", "{s}"], ["diff", "{good}", "{s}"], ["get", "{s}", "k1"]]),
], ids=["altered_value", "flipped_slot", "damaged_entry"])
def test_damage_is_trouble_with_its_reason(tmp_path, capsys, damage, commands):
    good = str(tmp_path / "good.klvx")
    kalvex.build(good, DATA)
    data = bytearray(open(good, "rb").read())
    damage(data)
    bad = tmp_path / "bad.klvx"
    bad.write_bytes(bytes(data))
    for command in commands:
        capsys.readouterr()
        assert main([part.format(s=bad, good=good) for part in command]) == 2, command
        captured = capsys.readouterr()
        assert "CRC32 mismatch" in captured.err and "Widget" not in captured.out, command
    # The same commands on the sound store answer.
    assert main(["get", good, "k7"]) == 0 and main(["diff", good, good]) == 0
