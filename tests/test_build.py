"""build(): the bytes it writes, the summary line, and what survives each kind of failure.

Files are read back with the small decoder below, written from the layout alone, so a
fault shared by the writer and the package's reader cannot hide here.
"""
import json
import os
import shutil
import stat
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest

from kalvex import _kalvex

_KalvWriter = _kalvex._KalvWriter
SHIM_SOURCE = os.path.join(os.path.dirname(__file__), "fault_shim", "fault_shim.c")


def read_store(data):
    """(num_objects, [(key, payload)] in file order) of a container, every CRC checked."""
    magic, version, num_keys, num_objects, index_offset, data_offset, file_crc = struct.unpack(
        ">4sB3xIIQQI4x", data[:40])
    assert (magic, version, data_offset) == (b"KLVX", 2, 40)
    assert file_crc == zlib.crc32(data[40:])
    records, pos = {}, 40
    while pos < index_offset:
        length, crc = struct.unpack(">II", data[pos:pos + 8])
        payload = data[pos + 8:pos + 8 + length]
        assert len(payload) == length and zlib.crc32(payload) == crc
        records[pos] = payload
        pos += 8 + length
    assert pos == index_offset and len(records) == num_objects
    entries = []
    while pos < len(data):
        (key_length,) = struct.unpack(">H", data[pos:pos + 2])
        key = data[pos + 2:pos + 2 + key_length]
        (offset,) = struct.unpack(">Q", data[pos + 2 + key_length:pos + 10 + key_length])
        entries.append((key, records[offset]))
        pos += 10 + key_length
    assert pos == len(data) and len(entries) == num_keys
    return num_objects, entries


def writer_with(objects=(), keys=()):
    writer = _KalvWriter()
    for payload in objects:
        writer.add_object_raw(payload)
    for key, obj_id in keys:
        writer.add_key(key, obj_id)
    return writer


def build_bytes(writer, path):
    writer.build(str(path))
    return path.read_bytes()


class TestFileBytes:
    def test_empty_writer_writes_the_bare_header(self, tmp_path):
        assert build_bytes(_KalvWriter(), tmp_path / "e.klvx") == (
            b"KLVX\x02\0\0\0" + bytes(8) + struct.pack(">QQ", 40, 40) + bytes(8))

    def test_one_object_under_two_keys(self, tmp_path):
        body = (struct.pack(">II", 2, zlib.crc32(b"hi")) + b"hi"
                + b"\x00\x01a" + struct.pack(">Q", 40) + b"\x00\x01b" + struct.pack(">Q", 40))
        header = b"KLVX\x02\0\0\0" + struct.pack(">IIQQI4x", 2, 1, 50, 40, zlib.crc32(body))
        writer = writer_with([b"hi"], [("b", 0), (b"a", 0)])
        assert build_bytes(writer, tmp_path / "o.klvx") == header + body

    def test_objects_without_keys_are_stored_and_counted(self, tmp_path):
        data = build_bytes(writer_with([b"x", b""]), tmp_path / "n.klvx")
        assert read_store(data) == (2, [])
        assert len(data) == 40 + 9 + 8

    def test_shared_object_is_stored_once(self, tmp_path):
        writer = writer_with([b"shared", b"other"], [("k1", 0), ("k2", 0), ("k3", 1)])
        data = build_bytes(writer, tmp_path / "s.klvx")
        assert data.count(b"shared") == 1
        assert read_store(data) == (2, [(b"k1", b"shared"), (b"k2", b"shared"), (b"k3", b"other")])

    def test_later_additions_reach_the_next_build_only(self, tmp_path):
        writer = writer_with([b"v0"], [("a", 0)])
        first = build_bytes(writer, tmp_path / "1.klvx")
        writer.add_object_raw(b"v1")
        writer.add_key("b", 1)
        assert read_store(build_bytes(writer, tmp_path / "2.klvx"))[1] == [(b"a", b"v0"), (b"b", b"v1")]
        assert (tmp_path / "1.klvx").read_bytes() == first


class TestSummaryLine:
    @pytest.mark.parametrize("payload_size, kb", [(None, "0.0"), (24, "0.1"), (1232, "1.2"), (1488, "1.5")])
    def test_size_in_kilobytes_to_one_decimal(self, tmp_path, capfd, payload_size, kb):
        # No keys: the file is 40 + 8 + payload_size bytes (40 for no object at all).
        writer = writer_with([] if payload_size is None else [bytes(payload_size)])
        path = str(tmp_path / "out.klvx")
        writer.build(path)
        n = 0 if payload_size is None else 1
        assert capfd.readouterr().out == f"\u2705  {path}  \u2014  {n} objects \u00b7 0 keys \u00b7 {kb} KB\n"

    @pytest.mark.parametrize("stdout", [
        "os.close(1)",
        'os.dup2(os.open("/dev/full", os.O_WRONLY), 1)',
        "reading, writing = os.pipe(); os.close(reading); os.dup2(writing, 1)",
    ], ids=["closed", "full device", "closed pipe"])
    def test_a_line_that_cannot_be_written_is_dropped_and_the_build_succeeds(self, tmp_path, stdout):
        result = run_child(tmp_path, f"""
            {stdout}
            report(build(writer_with([b"x"], [("k", 0)]), dest))
        """)
        assert result == {"ok": True}
        assert read_store((tmp_path / "out.klvx").read_bytes())[1] == [(b"k", b"x")]


def test_diagnostics_name_source_files_relative_to_the_tree():
    # An internal failure names where it happened; the path of the machine that compiled
    # the module means nothing to a user and must not be in the binary.
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    package = os.path.dirname(_kalvex.__file__)
    for name in os.listdir(package):
        if name.endswith(".so"):
            with open(os.path.join(package, name), "rb") as binary:
                data = binary.read()
            if b"__asan_init" in data:
                continue  # AddressSanitizer records each object's source path for its reports
            assert os.path.join(root, "src").encode() not in data, name


class TestTemporaryFile:
    @pytest.mark.parametrize("name, tmp_name", [
        ("store.db", "store.klvx.tmp"), ("store", "store.klvx.tmp"),
        ("archive.tar.gz", "archive.tar.klvx.tmp"), (".store", ".store.klvx.tmp")])
    def test_built_beside_the_destination_and_renamed(self, tmp_path, name, tmp_name):
        (tmp_path / tmp_name).mkdir()  # in the way: the build must try exactly this name
        with pytest.raises(OSError, match=r"^KalvIOError: open tmp: Is a directory \(os error 21\)$"):
            _KalvWriter().build(str(tmp_path / name))
        (tmp_path / tmp_name).rmdir()
        _KalvWriter().build(str(tmp_path / name))
        assert sorted(os.listdir(tmp_path)) == [name]


def assert_failed_cleanly(writer, path, message, tmp_expected):
    """build(path) raises `message`, keeps the destination's old bytes and the writer."""
    before = repr(writer)
    path.write_bytes(b"old")
    with pytest.raises(OSError) as excinfo:
        writer.build(str(path))
    assert str(excinfo.value) == message
    assert path.read_bytes() == b"old"
    assert os.path.lexists(str(path) + ".tmp") == tmp_expected
    assert repr(writer) == before


class TestFailures:
    def test_missing_directory_creates_nothing(self, tmp_path):
        with pytest.raises(OSError, match=r"^KalvIOError: open tmp: No such file or directory \(os error 2\)$"):
            writer_with([b"x"]).build(str(tmp_path / "missing" / "out.klvx"))
        assert os.listdir(tmp_path) == []

    def test_destination_directory_keeps_the_synced_tmp_for_reuse(self, tmp_path):
        writer = writer_with([b"payload"], [("k", 0)])
        dest = tmp_path / "out.klvx"
        dest.mkdir()
        for _ in range(2):  # the second build truncates and rewrites the left-over tmp
            with pytest.raises(OSError, match=r"^KalvIOError: rename: Is a directory \(os error 21\)$"):
                writer.build(str(dest))
            assert read_store((tmp_path / "out.klvx.tmp").read_bytes())[1] == [(b"k", b"payload")]
        assert os.listdir(dest) == []
        dest.rmdir()
        writer.build(str(dest))
        assert sorted(os.listdir(tmp_path)) == ["out.klvx"]

    @pytest.mark.parametrize("plant", ["symbolic link", "FIFO"])
    def test_nothing_is_written_through_what_is_planted_at_the_temporary_path(self, tmp_path, plant):
        victim, tmp = tmp_path / "victim", tmp_path / "out.klvx.tmp"
        victim.write_bytes(b"someone else's")
        if plant == "FIFO":
            os.mkfifo(tmp)
        else:
            tmp.symlink_to(victim)
        reason = "is a symbolic link (a build never writes through one)" if plant != "FIFO" else "is not a regular file"
        assert_failed_cleanly(writer_with([b"x"], [("k", 0)]), tmp_path / "out.klvx",
                              f"KalvIOError: open tmp: {tmp} {reason}", True)
        assert victim.read_bytes() == b"someone else's"

    def test_a_fifo_is_never_replaced_by_a_store(self, tmp_path):
        kalvex = pytest.importorskip("kalvex")
        fifo = tmp_path / "out.klvx"
        os.mkfifo(fifo)
        with pytest.raises(kalvex.KalvIOError, match="it is a FIFO, not a regular file"):
            kalvex.build(str(fifo), {"k": 1})
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode) and os.listdir(tmp_path) == ["out.klvx"]

    def test_file_size_limit(self, tmp_path):
        pytest.importorskip("resource")
        result = run_child(tmp_path, """
            import resource, signal
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))
            writer = writer_with([bytes(300000)], [("k", 0)])
            before = repr(writer)
            report([build(writer, dest), repr(writer) == before])
        """)
        assert result == [{"error": "KalvIOError: File too large (os error 27)"}, True]
        assert os.path.getsize(tmp_path / "out.klvx.tmp") == 100000
        assert not (tmp_path / "out.klvx").exists()


# A child interpreter runs `body` with `writer_with`, `build` (the outcome as a dict) and
# `dest`; `report` sends a JSON value back on stderr, since fd 1 is under test.
CHILD_PRELUDE = """
import json, os, sys
from kalvex import _kalvex
dest = sys.argv[1]
def writer_with(objects=(), keys=()):
    writer = _kalvex._KalvWriter()
    for payload in objects:
        writer.add_object_raw(payload)
    for key, obj_id in keys:
        writer.add_key(key, obj_id)
    return writer
def build(writer, path):
    try:
        writer.build(path)
        return {"ok": True}
    except BaseException as exc:  # the internal-failure exception is no Exception
        return {"error": str(exc)}
def report(value):
    sys.stderr.write(json.dumps(value) + "\\n")
"""


def run_child(tmp_path, body, env=None):
    script = CHILD_PRELUDE + textwrap.dedent(body)
    env = {**os.environ, **(env or {})}
    if os.environ.get("LD_PRELOAD") and env["LD_PRELOAD"] != os.environ["LD_PRELOAD"]:
        # Keep what the parent preloads (the sanitizer run's ASan runtime, which must
        # come first) ahead of the fault shim.
        env["LD_PRELOAD"] = os.environ["LD_PRELOAD"] + " " + env["LD_PRELOAD"]
    child = subprocess.run([sys.executable, "-c", script, str(tmp_path / "out.klvx")],
                           env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, timeout=120)
    assert child.returncode == 0, child.stderr.decode()
    return json.loads(child.stderr.decode().strip().splitlines()[-1])


@pytest.fixture(scope="module")
def fault_shim(tmp_path_factory):
    compiler = shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler for the fault shim")
    library = tmp_path_factory.mktemp("shim") / "fault_shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), SHIM_SOURCE, "-ldl"],
                   check=True)
    return str(library)


SMALL = "writer_with([b'hi'], [('a', 0), ('b', 0)])"
# Over 8192 bytes: chunks go to the file by reference, the index through the buffer.
LARGE = "writer_with([(bytes(range(251)) * 12600)[:n] for n in (3 << 20, 5, 70000)], [('a', 0), ('b', 2)])"


class TestInjectedFaults:
    """One failing system call in a child process. A second build by the same writer must
    then succeed and write everything, which shows that the failure changed nothing."""

    @pytest.mark.parametrize("writer, fault, message", [
        (SMALL, dict(KFAULT_CALL="write", KFAULT_ERRNO="28"), "No space left on device (os error 28)"),
        (LARGE, dict(KFAULT_CALL="write", KFAULT_ERRNO="28"), "No space left on device (os error 28)"),
        (LARGE, dict(KFAULT_CALL="write", KFAULT_NTH="3", KFAULT_ERRNO="5", KFAULT_MAX="1000000"),
         "Input/output error (os error 5)"),
        (SMALL, dict(KFAULT_CALL="write", KFAULT_ERRNO="0"), "failed to write the buffered data"),
        (LARGE, dict(KFAULT_CALL="write", KFAULT_NTH="2", KFAULT_ERRNO="0", KFAULT_MAX="40"),
         "failed to write whole buffer"),
        (SMALL, dict(KFAULT_CALL="fsync", KFAULT_ERRNO="5"), "Input/output error (os error 5)"),
        (LARGE, dict(KFAULT_CALL="rename", KFAULT_ERRNO="13"), "rename: Permission denied (os error 13)"),
        (SMALL, dict(KFAULT_CALL="open", KFAULT_ERRNO="24"), "open tmp: Too many open files (os error 24)"),
    ])
    def test_failure_is_reported_and_nothing_is_lost(self, tmp_path, fault_shim, writer, fault, message):
        (tmp_path / "out.klvx").write_bytes(b"old")
        log = tmp_path / "calls.log"
        result = run_child(tmp_path, f"""
            writer = {writer}
            before = repr(writer)
            first = build(writer, dest)
            kept = open(dest, "rb").read() == b"old" and repr(writer) == before
            report({{"first": first, "kept": kept, "tmp": os.path.exists(dest + ".tmp"),
                    "second": build(writer, dest)}})
        """, dict(fault, LD_PRELOAD=fault_shim, KFAULT_LOG=str(log)))
        call = fault["KFAULT_CALL"]
        assert result == {"first": {"error": "KalvIOError: " + message}, "kept": True,
                          "tmp": call != "open", "second": {"ok": True}}
        # The failing call was the first build's last on its file, but for the close.
        calls = [line.split()[0] for line in log.read_text().splitlines()]
        failed = [i for i, name in enumerate(calls) if name == call][int(fault.get("KFAULT_NTH", 1)) - 1]
        assert calls[failed + 1] == {"open": "open"}.get(call, "close")
        assert read_store((tmp_path / "out.klvx").read_bytes())[1][0][0] == b"a"

    @pytest.mark.parametrize("writer", [SMALL, LARGE])
    @pytest.mark.parametrize("fault", [
        dict(KFAULT_CALL="write", KFAULT_ERRNO="4", KFAULT_TIMES="3"),
        dict(KFAULT_CALL="fsync", KFAULT_ERRNO="4", KFAULT_TIMES="2"),
        dict(KFAULT_CALL="open", KFAULT_ERRNO="4"),
        dict(KFAULT_MAX="7"),
        dict(KFAULT_MAX="100003"),
    ])
    def test_interrupted_and_partial_calls_are_resumed(self, tmp_path, fault_shim, writer, fault):
        body = f"report(build({writer}, dest))"
        assert run_child(tmp_path, body, dict(fault, LD_PRELOAD=fault_shim)) == {"ok": True}
        plain = tmp_path / "plain"
        plain.mkdir()
        assert run_child(plain, body) == {"ok": True}
        assert (tmp_path / "out.klvx").read_bytes() == (plain / "out.klvx").read_bytes()

    def test_small_file_leaves_in_one_write(self, tmp_path, fault_shim):
        log = tmp_path / "calls.log"
        run_child(tmp_path, f"report(build({SMALL}, dest))", dict(LD_PRELOAD=fault_shim, KFAULT_LOG=str(log)))
        # The file is closed, and its lock given up, only once it has its final name.
        assert log.read_text().split() == ["open", "0", "write", "72", "fsync", "0", "rename", "0", "close", "0"]
