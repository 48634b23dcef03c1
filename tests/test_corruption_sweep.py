"""Every single-bit flip, every truncation and every 8-byte run set to all ones or all zeros
of a small store, and every value of each byte of the header's counts and index_offset,
through every reader method.

Each damaged file is opened with and without verification in a child process, so a crash
shows up as a signal naming the variant instead of taking the test run down. Every outcome
is compared with a model reader that follows the documented checks in order: a call either
answers what the damaged bytes say or raises the store error the first failing check names.
"""
import json
import os
import struct
import subprocess
import sys
import zlib

import pytest

import _sweep_worker as worker
from kalvex import _kalvex

WORKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_sweep_worker.py")
CHUNKS = 4

# Shared objects, an empty key, an empty payload, an object no key refers to, a key that
# extends another and a non-ASCII key.
OBJECTS = [b"\x81\xa4name\xa5alpha", b"", b"\x93\x01\x02\x03", b"orphan", "é-payload".encode()]
KEYS = {b"": 1, b"a": 0, b"ab": 2, b"alpha": 0, b"b": 4, "é".encode(): 4}

PROBE_KEYS = [["b", k.hex()] for k in sorted(KEYS)] + [
    ["s", "a"], ["s", "é"], ["b", b"missing".hex()], ["b", b"a\x00".hex()], ["s", "zz"]]
PROBE_PREFIXES = [["s", ""], ["b", ""], ["s", "a"], ["s", "al"], ["b", "c3"], ["s", "é"],
                  ["s", "b"], ["s", "zz"], ["b", "00"]]


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    """The undamaged store, as the writer builds it."""
    writer = _kalvex._KalvWriter()
    for payload in OBJECTS:
        writer.add_object_raw(payload)
    for key, obj_id in KEYS.items():
        writer.add_key(key, obj_id)
    path = tmp_path_factory.mktemp("sweep") / "base.klvx"
    writer.build(str(path))
    return path.read_bytes()


def variants(base):
    flips = [("flip", bit) for bit in range(len(base) * 8)]
    cuts = [("cut", length) for length in range(len(base))]
    # Sealed again, damage behind the header gets past the open with verification on and
    # reaches the index parse and the object checks of verify(); one bit per byte will do.
    sealed = [("flip+seal", 8 * pos + pos % 8) for pos in range(40, len(base))]
    sealed += [("cut+seal", length) for length in range(40, len(base))]
    # Single flips never make an offset or a length reach the top of its range, or zero.
    extremes = [(kind, pos) for pos in range(len(base)) for kind in ("ones", "zeros")]
    extremes += [("ones+seal", pos) for pos in range(40, len(base))]
    # The header lies under no CRC: num_keys, num_objects and index_offset (bytes 8-23) are
    # tied to the rest only by the open's and verify()'s own checks.
    header = [("byte", 256 * pos + value) for pos in range(8, 24) for value in range(256)
              if value != base[pos]]
    return flips + cuts + sealed + extremes + header


class Corrupt(Exception):
    """A store error the model expects, as its rendered text."""


class Model:
    """What a reader answers for given file bytes, check by check."""

    def __init__(self, data, path, verify):
        self.data, self.path = data, path
        n = len(data)
        if n < 40:
            raise Corrupt("KalvCorruptError: file too small for header")
        if data[:4] != b"KLVX":
            raise Corrupt(f"KalvCorruptError: bad magic {list(data[:4])}")
        if data[4] != 2:
            raise Corrupt(f"KalvVersionError: unsupported version {data[4]}")
        self.num_keys, self.num_objects, self.index_offset = struct.unpack_from(">IIQ", data, 8)
        (self.stored_crc,) = struct.unpack_from(">I", data, 32)
        if verify:
            self.check_file_crc()
        self.entries = []
        p = self.index_offset
        for _ in range(self.num_keys):
            if p + 2 > n:
                raise Corrupt("KalvCorruptError: index section truncated (key_len)")
            (length,) = struct.unpack_from(">H", data, p)
            if p + 2 + length + 8 > n:
                raise Corrupt("KalvCorruptError: index section truncated (key + offset)")
            key = data[p + 2:p + 2 + length]
            (offset,) = struct.unpack_from(">Q", data, p + 2 + length)
            self.entries.append((key, offset))
            p += 2 + length + 8
        if p != n:
            raise Corrupt(f"KalvCorruptError: index section ends at {p} but the file is {n} "
                          f"bytes (num_keys {self.num_keys}, index_offset {self.index_offset})")
        self.lookup = dict(self.entries)  # a repeated key keeps its later offset

    def check_file_crc(self):
        computed = zlib.crc32(self.data[40:])
        if computed != self.stored_crc:
            raise Corrupt(f"KalvCorruptError: file CRC32 mismatch  "
                          f"stored=0x{self.stored_crc:08x} computed=0x{computed:08x}")

    def fetch(self, offset):
        if offset + 8 > len(self.data):
            raise Corrupt(f"KalvCorruptError: offset {offset} out of bounds")
        (length,) = struct.unpack_from(">I", self.data, offset)
        if offset + 8 + length > len(self.data):
            raise Corrupt(f"KalvCorruptError: object at {offset} extends beyond file end")
        return self.data[offset + 8:offset + 8 + length]

    def unique_offsets(self):
        seen = set()
        for _, offset in self.entries:
            if offset not in seen:
                seen.add(offset)
                yield offset

    def is_sorted(self):
        keys = [key for key, _ in self.entries]
        return keys == sorted(keys)

    @staticmethod
    def text(key):
        return key.decode("utf-8", "replace")

    @staticmethod
    def as_bytes(key):
        return key.encode() if isinstance(key, str) else key

    def get_raw(self, key):
        offset = self.lookup.get(self.as_bytes(key))
        return None if offset is None else self.fetch(offset)

    def exists(self, key):
        return self.as_bytes(key) in self.lookup

    def prefix_raw(self, prefix):
        prefix = self.as_bytes(prefix)
        keys = [key for key, _ in self.entries]
        start = 0
        if keys:
            base, size = 0, len(keys)
            while size > 1:
                half = size // 2
                if keys[base + half] < prefix:
                    base += half
                size -= half
            start = base + 1 if keys[base] < prefix else base
        taken = []
        for key, offset in self.entries[start:]:
            if not key.startswith(prefix):
                break
            taken.append((self.text(key), self.fetch(offset)))
        return taken

    def keys(self):
        return [self.text(key) for key, _ in self.entries]

    def items_raw(self):
        return [(self.text(key), self.fetch(offset)) for key, offset in self.entries]

    def items_raw_bytes(self):
        return [(key, self.fetch(offset)) for key, offset in self.entries]

    def objects_raw(self):
        return [self.fetch(offset) for offset in self.unique_offsets()]

    def stats(self):
        return {"path": self.path, "version": 2, "num_keys": self.num_keys,
                "num_objects": self.num_objects, "index_offset": self.index_offset,
                "data_offset": 40, "file_size_kb": len(self.data) / 1024,
                "file_crc32": f"0x{self.stored_crc:08x}"}

    def verify(self):
        self.check_file_crc()
        n = len(self.data)
        for offset in self.unique_offsets():
            if offset + 8 > n:
                raise Corrupt(f"KalvCorruptError: object offset {offset} out of bounds")
            length, crc = struct.unpack_from(">II", self.data, offset)
            if offset + 8 + length > n:
                raise Corrupt(f"KalvCorruptError: object at {offset} extends beyond file end")
            if zlib.crc32(self.data[offset + 8:offset + 8 + length]) != crc:
                raise Corrupt(f"KalvCorruptError: object CRC32 mismatch at offset {offset}")
        if self.index_offset < 40:
            raise Corrupt(f"KalvCorruptError: index_offset {self.index_offset} lies inside "
                          f"the header")
        pos, count = 40, 0
        while pos < self.index_offset:
            end = pos + 8
            if end <= self.index_offset:
                end += struct.unpack_from(">I", self.data, pos)[0]
            if end > self.index_offset:
                raise Corrupt(f"KalvCorruptError: object record at {pos} runs past "
                              f"index_offset {self.index_offset}")
            pos, count = end, count + 1
        if count != self.num_objects:
            raise Corrupt(f"KalvCorruptError: data section holds {count} object records but "
                          f"num_objects is {self.num_objects}")
        return True

    def __repr__(self):
        return f"_KalvReader('{self.path}', keys={self.num_keys}, objects={self.num_objects})"

    def close(self):
        return None


def expect(call):
    try:
        return {"ok": worker.encode(call())}
    except Corrupt as exc:
        return {"exc": "RuntimeError", "args": [str(exc)]}


def expected_results(data, path, calls):
    expected = {}
    for verify in (True, False):
        tag = f"verify={verify}"
        model = None

        def open_model():
            nonlocal model
            model = Model(data, path, verify)

        expected[f"{tag} open"] = expect(open_model)
        if model is None:
            continue
        for label, method, args in calls:
            expected[f"{tag} {label}"] = expect(lambda: getattr(model, method)(*args))
        expected[f"{tag} with"] = expect(lambda: {"bound_self": True, "propagated": True})
        for label, method, args in calls[:2] + [c for c in calls if c[1] == "keys"]:
            expected[f"{tag} after close {label}"] = expected[f"{tag} {label}"]
        expected[f"{tag} sorted"] = model.is_sorted()
    return expected


def prefix_scan_is_plausible(data, path, verify, prefix, actual):
    """On an index out of key order the scan's reach is not fixed: it may list some of the
    matching keys, in index order, or fail on the object of one of them."""
    model = Model(data, path, verify)
    prefix = model.as_bytes(prefix)
    matching = [(key, offset) for key, offset in model.entries if key.startswith(prefix)]
    if "exc" in actual:
        messages = []
        for _, offset in matching:
            try:
                model.fetch(offset)
            except Corrupt as exc:
                messages.append(str(exc))
        return actual["exc"] == "RuntimeError" and actual["args"][0] in messages
    fetched = []
    for key, offset in matching:
        try:
            fetched.append(worker.encode((model.text(key), model.fetch(offset))))
        except Corrupt:
            pass
    remaining = iter(fetched)
    return all(pair in remaining for pair in actual["ok"])


def compare(data, kind, arg, path, actual, calls):
    """Descriptions of every outcome that differs from the model's."""
    expected = expected_results(data, path, calls)
    faults = []
    for verify in (True, False):
        tag = f"verify={verify}"
        unsorted = expected.pop(f"{tag} sorted", True) is False
        for label, want in expected.items():
            if not label.startswith(tag):
                continue
            got = actual.get(label)
            if got == want:
                continue
            if unsorted and " prefix_raw " in label and got is not None:
                prefix = next(args[0] for name, _, args in calls if label == f"{tag} {name}")
                if prefix_scan_is_plausible(data, path, verify, prefix, got):
                    continue
            faults.append(f"{kind} {arg}: {label}: got {got}, expected {want}")
        extra = set(k for k in actual if k.startswith(tag)) - set(expected)
        faults.extend(f"{kind} {arg}: {label}: unexpected call result" for label in extra)
    return faults


def invariant_faults(kind, arg, actual, sound_items):
    """Properties that hold whatever the model says."""
    faults = []
    # Damage the file CRC does not cover is the header's: whatever it is, a store that
    # passes verify() reads back exactly what was built.
    if "+seal" not in kind:
        for verify in (True, False):
            passed = actual.get(f"verify={verify} verify") == {"ok": True}
            items = actual.get(f"verify={verify} items_raw_bytes")
            if passed and items != sound_items:
                faults.append(f"{kind} {arg}: verify() passed but the items differ: {items}")
    if kind == "flip" and arg >= 40 * 8:
        got = actual["verify=True open"]
        if "exc" not in got or "file CRC32 mismatch" not in got["args"][0]:
            faults.append(f"{kind} {arg}: a flipped byte behind the header opened with "
                          f"verification: {got}")
    for label, got in actual.items():
        if "exc" in got:
            message = got["args"][0] if got["args"] else ""
            allowed = got["exc"] == "RuntimeError" and message.startswith(
                ("KalvCorruptError: ", "KalvVersionError: unsupported version "))
            if not allowed:
                faults.append(f"{kind} {arg}: {label}: {got['exc']} {got['args']}")
    for verify in (True, False):
        items = actual.get(f"verify={verify} items_raw_bytes", {}).get("ok")
        if items is None:
            continue
        counts = {}
        for pair in items:
            counts[pair["t"][0]["b"]] = counts.get(pair["t"][0]["b"], 0) + 1
        for pair in items:
            key, payload = pair["t"]
            got = actual.get(f"verify={verify} get_raw {bytes.fromhex(key['b'])!r}")
            if got is not None and "ok" in got and counts[key["b"]] == 1:
                if got["ok"] != payload:
                    faults.append(f"{kind} {arg}: get_raw disagrees with items_raw_bytes "
                                  f"on {key['b']}: {got} vs {payload}")
    return faults


def run_chunks(tmp_path, base, chunks, backend=None):
    """Runs one worker per chunk, all at once; yields (chunk, results, returncode, stderr).
    With ``backend`` the workers read through the package on that backend."""
    procs = []
    for number, chunk in enumerate(chunks):
        directory = tmp_path / f"chunk{number}"
        directory.mkdir()
        job = {"base": base.hex(), "dir": str(directory), "keys": PROBE_KEYS,
               "prefixes": PROBE_PREFIXES, "variants": chunk}
        if backend is not None:
            job["backend"] = backend
        (directory / "job.json").write_text(json.dumps(job))
        # Files, not pipes: no worker waits for the parent to read, and the lines written
        # before a crash survive it.
        with open(directory / "job.json", "rb") as stdin, \
                open(directory / "out", "wb") as stdout, open(directory / "err", "wb") as stderr:
            procs.append((chunk, directory, subprocess.Popen(
                [sys.executable, WORKER], stdin=stdin, stdout=stdout, stderr=stderr,
                cwd=str(directory))))
    for chunk, directory, proc in procs:
        returncode = proc.wait()
        lines = [json.loads(line) for line in (directory / "out").read_text().splitlines()]
        yield chunk, lines, returncode, (directory / "err").read_text(errors="replace")


def test_every_flip_and_cut_gives_the_documented_answer(tmp_path, base):
    all_variants = variants(base)
    chunks = [all_variants[i::CHUNKS] for i in range(CHUNKS)]
    calls = worker.plan(PROBE_KEYS, PROBE_PREFIXES)
    faults = []
    checked = 0
    sound_items = expect(Model(base, "", True).items_raw_bytes)
    for chunk, lines, returncode, stderr in run_chunks(tmp_path, base, chunks):
        if returncode != 0 or len(lines) != len(chunk):
            culprit = chunk[len(lines)] if len(lines) < len(chunk) else None
            faults.append(f"worker exited with {returncode} while running {culprit}; "
                          f"stderr: {stderr[-2000:]}")
        elif stderr:
            faults.append(f"worker wrote to stderr: {stderr[-2000:]}")
        for (kind, arg), line in zip(chunk, lines):
            data = worker.mutate(base, kind, arg)
            faults += compare(data, kind, arg, line["path"], line["results"], calls)
            faults += invariant_faults(kind, arg, line["results"], sound_items)
            checked += 1
    assert not faults, f"{len(faults)} faults, first ones:\n" + "\n".join(faults[:20])
    assert checked == len(all_variants)


# --- stores that carry a mapped index, read through the package -----------------------------

# Labels whose answer names the file or the closed reader, not the store's content.
_UNCOMPARED = (" stats", " __repr__", " close", " with", " after close ")


@pytest.fixture(scope="module")
def indexed(tmp_path_factory):
    """The same store with a mapped index, and where the index's record begins."""
    from kalvex import _backend

    writer = _backend.BACKEND.new_writer()
    for payload in OBJECTS:
        writer.add(payload)
    for key, obj_id in KEYS.items():
        writer.add_key(key, obj_id)
    path = tmp_path_factory.mktemp("sweep") / "indexed.klvx"
    writer.build(str(path), True)
    data = path.read_bytes()
    return data, struct.unpack_from(">Q", data, 16)[0]


def indexed_variants(data, record, index_offset):
    """Damage inside the index's record, sealed so that it passes the open's check (the
    unsealed file is the same to an open without it), cuts, and every value of the
    header's num_keys and index_offset, which say where the structure is looked for."""
    inside = [("flip+seal", bit) for bit in range(8 * record, 8 * index_offset)]
    inside += [(kind, pos) for pos in range(record, index_offset - 7) for kind in ("ones+seal", "zeros+seal")]
    cuts = [("cut+seal", length) for length in range(record, len(data))]
    header = [("byte", 256 * pos + value) for pos in (*range(8, 12), *range(16, 24)) for value in range(256)
              if value != data[pos]]
    return inside + cuts + header


@pytest.mark.parametrize("backend", ["native", "cffi"])
def test_a_damaged_mapped_index_never_crashes_and_never_answers_wrong(tmp_path, indexed, backend):
    from kalvex import _backend

    data, index_offset = indexed
    before = _backend.BACKEND
    try:
        _backend.use(backend)
    except ImportError:
        pytest.skip(f"backend {backend} not built")
    calls = worker.plan(PROBE_KEYS, PROBE_PREFIXES)
    sound_path = tmp_path / "sound.klvx"
    sound_path.write_bytes(data)
    try:
        sound = worker.run_variant(worker.PackageReader, str(sound_path), calls)
        with worker.PackageReader(str(sound_path), True) as reader:
            stats = reader.stats()
    finally:
        _backend.BACKEND = before
    assert stats["index"] and stats["num_objects"] == len(OBJECTS)
    record = index_offset - stats["index_size"]
    pairs = {json.dumps(pair) for pair in sound["verify=True items_raw_bytes"]["ok"]}
    pairs |= {json.dumps(pair) for pair in sound["verify=True items_raw"]["ok"]}

    all_variants = indexed_variants(data, record, index_offset)
    chunks = [all_variants[i::CHUNKS] for i in range(CHUNKS)]
    faults = []
    for chunk, lines, returncode, stderr in run_chunks(tmp_path, data, chunks, backend):
        if returncode != 0 or len(lines) != len(chunk) or stderr:
            culprit = chunk[len(lines)] if len(lines) < len(chunk) else None
            faults.append(f"worker exited with {returncode} at {culprit}; stderr: {stderr[-2000:]}")
        for (kind, arg), line in zip(chunk, lines):
            faults += indexed_faults(kind, arg, record, line["results"], sound, pairs)
    assert not faults, f"{len(faults)} faults, first ones:\n" + "\n".join(faults[:20])


def indexed_faults(kind, arg, record, actual, sound, pairs):
    """A store error is a store error of the package; a store that passes verify() answers
    as the sound one; damage confined to the index's record makes a lookup miss or name
    the damage, and a listing give only pairs the store holds."""
    faults = []
    confined = kind != "byte" and not kind.startswith("cut")
    for label, got in actual.items():
        if any(part in label + " " for part in _UNCOMPARED):
            continue
        if "exc" in got:
            if got["exc"] not in ("KalvCorruptError", "KalvVersionError"):
                faults.append(f"{kind} {arg}: {label}: {got['exc']} {got['args']}")
            continue
        verify = label.split(" ", 1)[0]
        if actual.get(f"{verify} verify") == {"ok": True} and got != sound.get(label):
            faults.append(f"{kind} {arg}: verify() passed but {label} gave {got}")
        elif confined and " get_raw " in label and got["ok"] not in (None, sound[label]["ok"]):
            faults.append(f"{kind} {arg}: {label} gave another payload: {got}")
        elif confined and label.split(" ", 1)[1].startswith(("prefix_raw", "items_raw")):
            strays = [pair for pair in got["ok"] if json.dumps(pair) not in pairs]
            if strays:
                faults.append(f"{kind} {arg}: {label} listed pairs the store does not hold: {strays}")
    return faults
