"""The writer object: Object IDs, the key map and its limits, and calls that must fail cleanly."""
import pytest

from kalvex import _kalvex
from test_build import read_store

_KalvWriter = _kalvex._KalvWriter


def built(writer, tmp_path):
    """(num_objects, [(key, payload)]) of the file the writer builds."""
    path = tmp_path / "m.klvx"
    writer.build(str(path))
    return read_store(path.read_bytes())


def mapping(writer, tmp_path):
    return built(writer, tmp_path)[1]


class TestObjects:
    def test_ids_count_from_zero_and_identical_payloads_stay_apart(self, tmp_path):
        writer = _KalvWriter()
        assert [writer.add_object_raw(p) for p in (b"same", b"", b"same")] == [0, 1, 2]
        assert repr(writer) == "_KalvWriter(objects=3, keys=0)"
        for key, obj_id in (("a", 0), ("b", 1), ("c", 2)):
            writer.add_key(key, obj_id)
        assert built(writer, tmp_path) == (3, [(b"a", b"same"), (b"b", b""), (b"c", b"same")])

    def test_payload_is_copied(self, tmp_path):
        class Payload(bytes):
            pass

        writer = _KalvWriter()
        payload = Payload(b"abc")
        writer.add_object_raw(payload)
        writer.add_key("k", 0)
        del payload
        assert mapping(writer, tmp_path) == [(b"k", b"abc")]


class TestKeys:
    def test_remapping_keeps_one_entry_with_the_last_object(self, tmp_path):
        writer = _KalvWriter()
        writer.add_object_raw(b"zero")
        writer.add_object_raw(b"one")
        writer.add_key("a", 0)
        writer.add_key(b"a", 1)  # str and bytes with the same UTF-8 are one key
        writer.add_key("\u00e9", 0)
        writer.add_key("\u00e9".encode(), 1)
        assert repr(writer) == "_KalvWriter(objects=2, keys=2)"
        assert mapping(writer, tmp_path) == [(b"a", b"one"), ("\u00e9".encode(), b"one")]

    def test_empty_key_is_a_key_and_sorts_first(self, tmp_path):
        writer = _KalvWriter()
        writer.add_object_raw(b"v")
        for key in ("b", b"a\x00", "", "a", "\u00ff", b"\x7f"):
            writer.add_key(key, 0)
        assert [k for k, _ in mapping(writer, tmp_path)] == [
            b"", b"a", b"a\x00", b"b", b"\x7f", "\u00ff".encode()]

    @pytest.mark.parametrize("key", [
        "k" * 65535, b"k" * 65535,
        "\u00e9" * 32767 + "k",  # 65535 bytes of UTF-8 from 32768 characters
    ])
    def test_longest_key_is_accepted(self, tmp_path, key):
        writer = _KalvWriter()
        writer.add_object_raw(b"v")
        writer.add_key(key, 0)
        stored = key.encode() if isinstance(key, str) else key
        assert mapping(writer, tmp_path) == [(stored, b"v")]


class TestRejectedCalls:
    """A failing call reports the rule it broke and changes nothing."""

    @pytest.mark.parametrize("objects, key, obj_id, message", [
        (0, "k", 0, "obj_id 0 out of range (have 0 objects)"),
        (2, "k", 2, "obj_id 2 out of range (have 2 objects)"),
        (1, "k", 2**64 - 1, "obj_id 18446744073709551615 out of range (have 1 objects)"),
        (1, "k" * 65536, 0, "key is 65536 bytes, format maximum is 65535"),
        (1, b"k" * 65536, 0, "key is 65536 bytes, format maximum is 65535"),
        (1, "\u00e9" * 32768, 0, "key is 65536 bytes, format maximum is 65535"),
        (1, "k" * 65536, 1, "obj_id 1 out of range (have 1 objects)"),  # range comes first
    ])
    def test_message_and_unchanged_writer(self, tmp_path, objects, key, obj_id, message):
        writer = _KalvWriter()
        for i in range(objects):
            writer.add_object_raw(b"p%d" % i)
        if objects:
            writer.add_key("k", 0)
        before = repr(writer)
        built_before = built(writer, tmp_path)
        with pytest.raises(ValueError) as excinfo:
            writer.add_key(key, obj_id)
        assert str(excinfo.value) == "KalvError: " + message
        assert repr(writer) == before
        assert built(writer, tmp_path) == built_before
