"""Reader: opening and its failures, point lookups at the edges of the file, metadata,
the deep check and the reader's lifetime. Files are laid out by hand (klvx_files)."""
import gc
import os
import re
import struct
import threading

import pytest

from kalvex import _kalvex
from klvx_files import (
    FILE_CRC_POS, HEADER_SIZE, INDEX_OFFSET_POS, NUM_KEYS_POS, NUM_OBJECTS_POS, Container,
    crc_text, file_crc, fix_checksum, increment_byte, set_u32, set_u64, store, stored_crc)

_KalvReader = _kalvex._KalvReader


def corrupt(text):
    return pytest.raises(RuntimeError, match="^" + re.escape("KalvCorruptError: " + text) + "$")


@pytest.fixture
def write(tmp_path):
    """Writes bytes to a fresh file in tmp_path; returns its path as a str."""
    names = iter(range(10**6))

    def write_(buf, name=None):
        path = tmp_path / (name or "store%d.klvx" % next(names))
        path.write_bytes(bytes(buf))
        return str(path)
    return write_


def two_keys_one_object():
    """The 72-byte store: "hi" shared by the keys "a" and "b"."""
    c = Container()
    hi = c.add_object(b"hi")
    c.add_entry("a", hi)
    c.add_entry("b", hi)
    return c.build()


class TestOpenFailures:
    @pytest.mark.parametrize("size", [0, 1, 39])
    def test_shorter_than_a_header(self, write, size):
        with corrupt("file too small for header"):
            _KalvReader(write(two_keys_one_object()[:size]))

    def test_bad_magic_comes_before_the_version(self, write):
        buf = two_keys_one_object()
        buf[0:5] = b"\0\0\0\0\x09"
        with corrupt("bad magic [0, 0, 0, 0]"):
            _KalvReader(write(buf))

    @pytest.mark.parametrize("version", [0, 1, 3, 255])
    @pytest.mark.parametrize("verify", [True, False])
    def test_other_versions_fail_before_any_crc(self, write, version, verify):
        buf = Container().build(version=version, file_crc32=1)
        with pytest.raises(RuntimeError) as excinfo:
            _KalvReader(write(buf), verify)
        assert excinfo.value.args == ("KalvVersionError: unsupported version %d" % version,)

    def test_crc_mismatch_only_when_verifying(self, write):
        buf = two_keys_one_object()
        increment_byte(buf, 48)  # "hi" -> "ii"
        path = write(buf)
        with corrupt("file CRC32 mismatch  stored=%s computed=%s"
                     % (crc_text(stored_crc(buf)), crc_text(file_crc(buf)))):
            _KalvReader(path)
        assert _KalvReader(path, verify=False).get_raw("a") == b"ii"

    def test_empty_store_opens_and_any_nonzero_crc_fails(self, write):
        assert _KalvReader(write(Container().build())).keys() == []
        with corrupt("file CRC32 mismatch  stored=0x0000abcd computed=0x00000000"):
            _KalvReader(write(Container().build(file_crc32=0xABCD)))

    @pytest.mark.parametrize("num_keys, message", [
        (3, "index section truncated (key_len)"),
        (0xFFFFFFFF, "index section truncated (key_len)"),
    ], ids=["one-more", "largest"])
    def test_num_keys_beyond_the_entries(self, write, num_keys, message):
        buf = two_keys_one_object()
        set_u32(buf, NUM_KEYS_POS, num_keys)  # the header is under no CRC
        with corrupt(message):
            _KalvReader(write(buf))

    # The header is under no CRC: an index section stopping short of the end of the file
    # would hide the entries after it, whatever the verify flag says.
    @pytest.mark.parametrize("num_keys, index_offset, end", [
        (1, 50, 61), (0, 50, 50), (0, 61, 61), (2, 40, 61)])
    @pytest.mark.parametrize("verify", [True, False])
    def test_index_section_must_end_at_the_end_of_the_file(
            self, write, num_keys, index_offset, end, verify):
        buf = two_keys_one_object()
        set_u32(buf, NUM_KEYS_POS, num_keys)
        set_u64(buf, INDEX_OFFSET_POS, index_offset)
        with corrupt("index section ends at %d but the file is 72 bytes (num_keys %d, "
                     "index_offset %d)" % (end, num_keys, index_offset)):
            _KalvReader(write(buf), verify)

    @pytest.mark.parametrize("kept", range(11))
    def test_cut_inside_the_last_entry(self, write, kept):
        buf = two_keys_one_object()[:61 + kept]
        part = "key_len" if kept < 2 else "key + offset"
        with corrupt("index section truncated (%s)" % part):
            _KalvReader(write(buf), verify=False)

    @pytest.mark.parametrize("index_offset", [0, 39, 41, 72, 2**40, 2**64 - 1])
    def test_wild_index_offset(self, write, index_offset):
        with corrupt("index section ends at %d but the file is 40 bytes (num_keys 0, "
                     "index_offset %d)" % (index_offset, index_offset)):
            _KalvReader(write(Container().build(index_offset=index_offset)))
        buf = two_keys_one_object()
        set_u64(buf, INDEX_OFFSET_POS, index_offset)
        with pytest.raises(RuntimeError, match="^KalvCorruptError: index section "):
            _KalvReader(write(buf))

    def test_directory_fails_at_the_mapping(self, tmp_path):
        with pytest.raises(OSError) as excinfo:
            _KalvReader(str(tmp_path))
        assert excinfo.value.args == ("KalvIOError: mmap failed: No such device (os error 19)",)

    @pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
    def test_fifo_fails_instead_of_waiting_for_a_writer(self, tmp_path):
        path = str(tmp_path / "pipe")
        os.mkfifo(path)
        with pytest.raises(OSError, match="^KalvIOError: mmap failed: "):
            _KalvReader(path)

    def test_relative_path_stays_relative(self, write, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(OSError) as excinfo:
            _KalvReader("sub/../missing.klvx")
        assert excinfo.value.args == (
            "KalvIOError: cannot open sub/../missing.klvx: No such file or directory (os error 2)",)
        write(two_keys_one_object(), name="rel.klvx")
        r = _KalvReader("./rel.klvx")
        assert r.stats()["path"] == "./rel.klvx"
        assert repr(r) == str(r) == "_KalvReader('./rel.klvx', keys=2, objects=1)"


class TestLookups:
    def test_str_and_bytes_keys_are_the_same_key(self, write):
        r = _KalvReader(write(two_keys_one_object()))
        assert r.get_raw("a") == r.get_raw(b"a") == b"hi"
        assert (r.exists("a"), r.exists(b"b"), r.exists("c"), r.get_raw("c")) == (True, True, False, None)

    @pytest.mark.parametrize("key", [b"", b"\xff\xfe", "é".encode(), b"x" * 65535, b"a\0b"])
    def test_any_stored_key_is_found_and_its_neighbours_are_not(self, write, key):
        buf, _ = store({key: b"payload", b"zz": b"other"})
        r = _KalvReader(write(buf))
        assert r.get_raw(key) == b"payload"
        for near in (key + b"\0", key[:-1], b"x" * 65536):
            if near not in (key, b"zz"):
                assert (r.get_raw(near), r.exists(near)) == (None, False)

    def test_key_that_is_not_utf8_is_reached_only_by_its_bytes(self, write):
        buf, _ = store({b"caf\xc3": b"v"})
        r = _KalvReader(write(buf))
        assert r.get_raw(b"caf\xc3") == b"v"
        assert r.get_raw("caf\ufffd") is None

    def test_later_entry_of_a_repeated_key_wins(self, write):
        c = Container()
        first, second = c.add_object(b"first"), c.add_object(b"second")
        for key, offset in [("a", first), ("k", first), ("k", second), ("z", first)]:
            c.add_entry(key, offset)
        r = _KalvReader(write(c.build()))
        assert r.get_raw("k") == b"second"
        assert r.keys() == ["a", "k", "k", "z"]
        assert r.items_raw()[1:3] == [("k", b"first"), ("k", b"second")]

    def test_payload_with_a_wrong_crc_is_returned_unchanged(self, write):
        buf = two_keys_one_object()
        increment_byte(buf, 44)  # stored payload CRC
        fix_checksum(buf)
        assert _KalvReader(write(buf)).get_raw("a") == b"hi"


class TestFetchBounds:
    """An entry "k" whose offset points near the end of an N-byte file."""

    @staticmethod
    def file(offset_from_end, tail_length_field=0, absolute=None):
        # The file ends with the object offset of the entry "z": read as a record head,
        # its top four bytes are the payload length.
        size = HEADER_SIZE + 2 * 11
        c = Container()
        c.add_entry("k", size - offset_from_end if absolute is None else absolute)
        c.add_entry("z", tail_length_field << 32)
        return c.build(), size

    @pytest.mark.parametrize("from_end, length, message", [
        (8, 0, None),
        (8, 1, "object at {} extends beyond file end"),
        (8, 0xFFFFFFFF, "object at {} extends beyond file end"),
        (7, 0, "offset {} out of bounds"),
        (0, 0, "offset {} out of bounds"),
        (-1, 0, "offset {} out of bounds"),
    ])
    def test_record_must_lie_inside_the_file(self, write, from_end, length, message):
        buf, size = self.file(from_end, length)
        r = _KalvReader(write(buf))
        assert r.exists("k")  # exists never reads the record
        if message is None:
            assert r.get_raw("k") == b""
        else:
            with corrupt(message.format(size - from_end)):
                r.get_raw("k")

    @pytest.mark.parametrize("offset", [2**64 - 1, 2**64 - 8, 2**63])
    def test_offsets_near_the_top_do_not_wrap(self, write, offset):
        buf, _ = self.file(0, absolute=offset)
        r = _KalvReader(write(buf))
        with corrupt("offset %d out of bounds" % offset):
            r.get_raw("k")
        with corrupt("object offset %d out of bounds" % offset):
            r.verify()


class TestStatsAndRepr:
    def test_stats_report_the_header_as_stored(self, write):
        buf = two_keys_one_object()
        set_u32(buf, FILE_CRC_POS, 0x00C0FFEE)
        set_u64(buf, 24, 999)  # data_offset is reported as 40 whatever it holds
        r = _KalvReader(write(buf, name="s.klvx"), verify=False)
        stats = r.stats()
        assert list(stats.items()) == [
            ("path", stats["path"]), ("version", 2), ("num_keys", 2), ("num_objects", 1),
            ("index_offset", 50), ("data_offset", 40), ("file_size_kb", 72 / 1024),
            ("file_crc32", "0x00c0ffee")]
        assert stats["path"].endswith("/s.klvx")
        assert r.stats() is not stats

    def test_file_size_in_kilobytes(self, write):
        c = Container()
        c.add_object(b"\0" * (1536 - 40 - 8))
        padded = c.build()
        assert _KalvReader(write(padded)).stats()["file_size_kb"] == 1.5
        assert _KalvReader(write(Container().build())).stats()["file_size_kb"] == 0.0390625

    def test_repr_counts_come_from_the_header(self, write):
        buf = two_keys_one_object()
        struct.pack_into(">I", buf, 12, 7)  # num_objects: only verify() checks it
        path = write(buf, name="it's.klvx")
        assert repr(_KalvReader(path)) == "_KalvReader('%s', keys=2, objects=7)" % path


class TestVerify:
    @staticmethod
    def store_with(extra_offset=None):
        """Objects alpha, "" and omega; entries refer to omega, alpha, "", omega (, extra)."""
        c = Container()
        offsets = {name: c.add_object(payload)
                   for name, payload in [("alpha", b"alpha"), ("empty", b""), ("omega", b"omega")]}
        for key, name in [("a", "omega"), ("b", "alpha"), ("c", "empty"), ("d", "omega")]:
            c.add_entry(key, offsets[name])
        if extra_offset is not None:
            c.add_entry("e", extra_offset)
        return c.build(), offsets

    def test_sound_store_passes_and_can_be_checked_again(self, write):
        r = _KalvReader(write(self.store_with()[0]))
        assert r.verify() is True and r.verify() is True

    def test_first_bad_object_in_index_order_is_reported(self, write):
        buf, offsets = self.store_with()
        increment_byte(buf, offsets["alpha"] + 8)
        increment_byte(buf, offsets["omega"] + 8)
        fix_checksum(buf)
        r = _KalvReader(write(buf))
        for _ in range(2):  # the reader is unchanged by a failed check
            with corrupt("object CRC32 mismatch at offset %d" % offsets["omega"]):
                r.verify()
        assert r.get_raw("b") == b"blpha"

    def test_whole_file_crc_comes_first_whatever_verify_was_at_open(self, write):
        buf, _ = self.store_with(extra_offset=2**64 - 1)
        increment_byte(buf, 50)
        r = _KalvReader(write(buf), verify=False)
        with corrupt("file CRC32 mismatch  stored=%s computed=%s"
                     % (crc_text(stored_crc(buf)), crc_text(file_crc(buf)))):
            r.verify()

    # A file of several hundred KiB is checked in blocks; damage in any block, and more
    # than one damaged object, still give the answers of one whole-file pass.
    @pytest.mark.parametrize("damaged, sealed", [
        ([2999], True),         # the last object, in the last block
        ([2500, 10], True),     # index order meets the later block's object first
        ([1500], False),        # objects fail too, but the file CRC is the error
    ])
    def test_damage_in_any_block_of_a_large_file(self, write, damaged, sealed):
        c = Container()
        offsets = [c.add_object(b"%08d" % i * 12) for i in range(3000)]
        # Index order: the damaged objects first, in the order given, then the rest.
        for position, i in enumerate(damaged + [i for i in range(3000) if i not in damaged]):
            c.add_entry("k%04d" % position, offsets[i])
        buf = c.build()
        for i in damaged:
            increment_byte(buf, offsets[i] + 20)
        if sealed:
            fix_checksum(buf)
            message = "object CRC32 mismatch at offset %d" % offsets[damaged[0]]
        else:
            message = "file CRC32 mismatch  stored=%s computed=%s" % (
                crc_text(stored_crc(buf)), crc_text(file_crc(buf)))
        with corrupt(message):
            _KalvReader(write(buf), verify=False).verify()

    # The header is under no CRC: the records, the last an orphan no key refers to, must
    # chain from 40 exactly to index_offset, and there must be num_objects of them.
    @pytest.mark.parametrize("where, value, message", [
        ("num_objects", 3, "data section holds 4 object records but num_objects is 3"),
        ("num_objects", 2**32 - 1,
         "data section holds 4 object records but num_objects is 4294967295"),
        ("orphan", 7, "object record at {orphan} runs past index_offset {index}"),
        ("orphan", 5, "object record at {last} runs past index_offset {index}"),
    ])
    def test_records_chain_to_index_offset_and_count_num_objects(
            self, write, where, value, message):
        c = Container()
        offsets = [c.add_object(payload) for payload in (b"alpha", b"", b"omega")]
        orphan = c.add_object(b"orphan")
        for key, offset in zip("abc", offsets):
            c.add_entry(key, offset)
        buf = c.build()
        set_u32(buf, NUM_OBJECTS_POS if where == "num_objects" else orphan, value)
        fix_checksum(buf)
        r = _KalvReader(write(buf))
        with corrupt(message.format(orphan=orphan, index=c.index_offset, last=c.index_offset - 1)):
            r.verify()

    def test_payload_running_past_the_end(self, write):
        sound, _ = self.store_with()
        size = len(sound) + 11
        # At N - 11 stand the entry "e" itself: 00 01 'e' 00..., read as length 91392.
        r = _KalvReader(write(self.store_with(extra_offset=size - 11)[0]))
        with corrupt("object at %d extends beyond file end" % (size - 11)):
            r.verify()


class TestLifecycle:
    def test_close_and_with_release_nothing(self, write):
        path = write(two_keys_one_object())
        with _KalvReader(path) as r:
            assert r.__enter__() is r
            assert r.close() is None
        assert r.close() is None
        assert (r.get_raw("a"), r.exists("b"), r.keys(), r.verify()) == (b"hi", True, ["a", "b"], True)
        assert r.__exit__(None, None, None) is False

    def test_exception_in_a_with_block_propagates(self, write):
        with pytest.raises(KeyError):
            with _KalvReader(write(two_keys_one_object())):
                raise KeyError("inside")

    def test_payloads_outlive_the_reader_and_its_file(self, write):
        path = write(two_keys_one_object())
        r = _KalvReader(path)
        payload, items = r.get_raw("a"), r.items_raw_bytes()
        os.unlink(path)
        assert r.get_raw("b") == b"hi"  # the mapping outlives the name
        del r
        gc.collect()
        assert (payload, items) == (b"hi", [(b"a", b"hi"), (b"b", b"hi")])

    @pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")
    def test_mapping_goes_with_the_reader(self, write):
        path = write(two_keys_one_object(), name="mapped-once.klvx")

        def mapped():
            with open("/proc/self/maps") as maps:
                return any(path in line for line in maps)
        r = _KalvReader(path)
        assert mapped()
        r.close()
        assert mapped()
        del r
        gc.collect()
        assert not mapped()

    def test_failed_opens_leave_no_descriptor_or_mapping(self, write):
        if not os.path.isdir("/proc/self/fd"):
            pytest.skip("needs /proc")
        bad = two_keys_one_object()
        set_u32(bad, NUM_KEYS_POS, 3)
        paths = [write(bad), write(two_keys_one_object())]
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(50):
            with pytest.raises(RuntimeError):
                _KalvReader(paths[0])
            _KalvReader(paths[1])
        gc.collect()
        assert len(os.listdir("/proc/self/fd")) == before
        with open("/proc/self/maps") as maps:
            assert not any(p in line for line in maps for p in paths)

    def test_one_reader_shared_by_many_threads(self, write):
        items = {("key%04d" % i).encode(): b"v%d" % i for i in range(500)}
        r = _KalvReader(write(store(items)[0]))
        expected_items = sorted((k.decode(), v) for k, v in items.items())
        errors = []

        def work(seed):
            try:
                for i in range(seed, 500, 7):
                    key = b"key%04d" % i
                    assert r.get_raw(key) == items[key] and r.exists(key)
                assert r.prefix_raw("key00") == expected_items[:100]
                assert r.items_raw() == expected_items
                assert r.verify() is True
            except BaseException as exc:  # reported to the main thread
                errors.append(exc)
        threads = [threading.Thread(target=work, args=(s,)) for s in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
