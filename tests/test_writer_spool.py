"""A writer with a memory budget sends its values to a temporary file as they are added:
every build still writes, byte for byte, what the in-memory writer writes, and a writer
given up leaves no file behind."""
import gc
import os
import random
import signal

import pytest

import kalvex
from test_build import fault_shim, run_child  # noqa: F401 (a fixture)

pytestmark = pytest.mark.usefixtures("backend")

# Far above what the tests add: the writer holds everything in memory, as before budgets.
IN_MEMORY = 1 << 40


def pairs(seed, count=3000, repeated_keys=False):
    """(key, value) pairs of values up to 6 KB drawn from a pool, so that values repeat;
    with repeated_keys, keys repeat too, which leaves replaced values to drop."""
    rng = random.Random(seed)
    pool = [rng.randbytes(rng.choice([0, 9, 100, 1000, 6000])) for _ in range(400)]
    return [(f"k{rng.randrange(count // 2) if repeated_keys else i}", rng.choice(pool)) for i in range(count)]


def reference(tmp_path, added, **options):
    """The bytes the in-memory writer builds from `added`."""
    writer = kalvex.KalvWriter(memory_limit=IN_MEMORY, **options)
    writer.update(added)
    with open(writer.build(str(tmp_path / "reference.klvx")), "rb") as file:
        return file.read()


def temporary_files(directory):
    return sorted(name for name in os.listdir(directory) if name.endswith(".tmp"))


@pytest.mark.parametrize("options", [{}, {"dedupe": False}, {"index": False}, {"compression": "zstd"}],
                         ids=["dedupe", "no-dedupe", "no-index", "zstd"])
@pytest.mark.parametrize("repeated_keys", [False, True], ids=["every-object-kept", "replaced-dropped"])
@pytest.mark.parametrize("made_with", ["destination", "no-destination", "no-destination-300k", "other-destination"])
def test_builds_match_the_in_memory_writer_as_the_writer_grows(tmp_path, options, repeated_keys, made_with):
    added = pairs(7, repeated_keys=repeated_keys)
    half = len(added) // 2
    dest = str(tmp_path / "out.klvx")
    made_path = {"destination": dest, "other-destination": str(tmp_path / "other.klvx")}.get(made_with)
    # 300 kB: several chunks stay in memory, then go to the anonymous file at once.
    writer = kalvex.KalvWriter(made_path, memory_limit=300_000 if made_with.endswith("300k") else 1, **options)
    writer.update(added[:half])
    if made_with == "destination":
        assert temporary_files(tmp_path) == ["out.klvx.tmp"]  # the values are on their way
    writer.build(dest)
    os.link(dest, tmp_path / "first.klvx")  # the file published first, whatever replaces it
    writer.update(added[half:])
    writer.build(dest)
    writer.build(dest)  # a writer built in place is built again from the file it published
    with open(dest, "rb") as second, open(tmp_path / "first.klvx", "rb") as first:
        assert (first.read(), second.read()) == (reference(tmp_path, added[:half], **options),
                                                 reference(tmp_path, added, **options))
    writer.close()
    assert temporary_files(tmp_path) == []


@pytest.mark.parametrize("built", ["./out.klvx", "out.db"], ids=["other-spelling", "same-temporary-path"])
def test_a_build_whose_temporary_path_names_the_writers_file_finishes_it(tmp_path, built):
    # out.db is written through out.klvx.tmp too: the writer's file, whatever the spelling.
    added = pairs(13)
    writer = kalvex.KalvWriter(str(tmp_path / "out.klvx"), memory_limit=1)
    writer.update(added)
    writer.build(os.path.join(str(tmp_path), built))
    assert (tmp_path / built).read_bytes() == reference(tmp_path, added)
    writer.close()
    assert temporary_files(tmp_path) == []


def test_writers_of_one_destination_at_once_each_build_it(tmp_path):
    # The second cannot take the temporary file the first holds: it spools to an
    # anonymous file, and each build takes the temporary file in turn.
    dest = str(tmp_path / "out.klvx")
    added = pairs(8)
    first, second = kalvex.KalvWriter(dest, memory_limit=1), kalvex.KalvWriter(dest, memory_limit=1)
    first.update(added)
    second.update(added[::-1])
    with pytest.raises(kalvex.KalvIOError, match="being written by another build"):
        second.build()
    first.build()
    second.build()
    with open(dest, "rb") as file:
        assert file.read() == reference(tmp_path, added[::-1])
    assert temporary_files(tmp_path) == []


@pytest.mark.parametrize("abandon", ["close", "with-raises", "garbage", "failed-build"])
def test_an_abandoned_writer_removes_its_temporary_file(tmp_path, abandon):
    dest = tmp_path / "out.klvx"
    if abandon == "failed-build":
        dest.mkdir()  # the rename onto a directory fails
        with pytest.raises(kalvex.KalvIOError, match="Is a directory"):
            kalvex.build(str(dest), pairs(9), memory_limit=1)
    elif abandon == "with-raises":
        with pytest.raises(KeyError), kalvex.KalvWriter(str(dest), memory_limit=1) as writer:
            writer.update(pairs(9))
            raise KeyError
    else:
        writer = kalvex.KalvWriter(str(dest), memory_limit=1)
        writer.update(pairs(9))
        assert temporary_files(tmp_path) == ["out.klvx.tmp"]
        if abandon == "close":
            writer.close()
            with pytest.raises(ValueError, match="writer is closed"):
                writer["k"] = 1
        else:
            del writer
            gc.collect()
    assert temporary_files(tmp_path) == [] and dest.is_dir() == (abandon == "failed-build")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_killed_writer_publishes_nothing_and_the_next_build_reuses_its_file(tmp_path):
    dest = str(tmp_path / "out.klvx")
    added = pairs(10)
    pid = os.fork()
    if pid == 0:
        try:
            writer = kalvex.KalvWriter(dest, memory_limit=1)
            writer.update(added)
        finally:
            os.kill(os.getpid(), signal.SIGKILL)
    os.waitpid(pid, 0)
    assert os.listdir(tmp_path) == ["out.klvx.tmp"]
    kalvex.build(dest, added, memory_limit=1)
    with open(dest, "rb") as file:
        assert file.read() == reference(tmp_path, added)
    assert temporary_files(tmp_path) == []


def test_values_the_file_refuses_stay_in_memory_and_the_build_reports_it(tmp_path):
    resource = pytest.importorskip("resource")
    added = pairs(11)
    writer = kalvex.KalvWriter(str(tmp_path / "out.klvx"), memory_limit=1)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, hard))
    try:
        writer.update(added)  # what the file cannot take waits in memory
        with pytest.raises(kalvex.KalvIOError, match="write spool: File too large") as failed:
            writer.build()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, handler)
    assert failed.value.filename == str(tmp_path / "out.klvx.tmp") and not (tmp_path / "out.klvx").exists()
    with open(writer.build(), "rb") as file:  # nothing was lost
        assert file.read() == reference(tmp_path, added)


def test_a_value_that_cannot_be_read_back_fails_every_build(tmp_path, fault_shim):
    # The first read of the temporary file fails: the compare of a repeated value. Stored
    # again, the value would make a store other than the one the adds describe.
    backend = kalvex._backend.BACKEND.__name__.rpartition("._")[2]
    result = run_child(tmp_path, f"""
        import kalvex
        kalvex._backend.use("{backend}")
        writer = kalvex.KalvWriter(dest, memory_limit=1)
        for i in range(12):
            writer[f"k{{i}}"] = bytes([i % 4]) * 70000  # each chunk spooled when the next begins
        report([build(writer, dest), build(writer, dest), os.path.exists(dest)])
    """, dict(KFAULT_CALL="pread", LD_PRELOAD=fault_shim))
    failed = {"error": "read spool: Input/output error (os error 5)"}
    assert result == [failed, failed, False]


def test_merge_and_shards_with_a_budget_write_the_same_stores(tmp_path):
    added = pairs(12, repeated_keys=True)
    source = kalvex.build(str(tmp_path / "source.klvx"), added)
    kalvex.merge(str(tmp_path / "budget.klvx"), source, memory_limit=1)
    kalvex.merge(str(tmp_path / "memory.klvx"), source, memory_limit=IN_MEMORY)
    assert (tmp_path / "budget.klvx").read_bytes() == (tmp_path / "memory.klvx").read_bytes()
    assert temporary_files(tmp_path) == []
    for name, limit in [("budget", 1), ("memory", IN_MEMORY)]:
        kalvex.shards.build(added, tmp_path / f"{name}-shards", 3, processes=1, memory_limit=limit)
    shards = {name: sorted((path.name, path.read_bytes()) for path in (tmp_path / f"{name}-shards").rglob("*.klvx"))
              for name in ("budget", "memory")}
    assert len(shards["budget"]) == 3 and shards["budget"] == shards["memory"]


def test_a_published_file_damaged_before_its_writer_grows_never_passes_for_a_value(tmp_path):
    """A writer built in place reads its records back from the file it published when it
    grows: damage there (each record byte flipped, or overwritten by a run of 0x00 or 0xFF,
    or the file cut short) fails the next build, or that build's store answers as the
    intact one would, or says it is damaged: never another value."""
    # Past the first 64 KiB the records lie in the file, not in memory.
    values = [bytes([i]) * (5000 + 7 * i) for i in range(16)]
    expected = {**{f"k{i}": value for i, value in enumerate(values)}, "again": values[5], "new": b"fresh"}
    path, out = tmp_path / "s.klvx", str(tmp_path / "out.klvx")
    writer = kalvex.KalvWriter(str(path))
    writer.update((f"k{i}", value) for i, value in enumerate(values))
    writer.build()
    stats = kalvex.KalvReader(str(path)).stats()
    records_end = stats["index_offset"] - stats["index_size"]
    intact = path.read_bytes()
    damages = [("cut", records_end - 3)]
    # Every byte of the first record (its head included), then every 389th.
    first, sampled = stats["data_offset"], stats["data_offset"] + 200
    for at in [*range(first, sampled), *range(sampled, records_end, 389)]:
        damages += [("flip", at), ("zeros", at), ("ones", at)]
    outcomes = {"build failed": 0, "as intact": 0, "said damaged": 0}
    for kind, at in damages:
        path.write_bytes(intact)
        grown = kalvex.KalvWriter(str(path))
        grown.update((f"k{i}", value) for i, value in enumerate(values))
        grown.build()
        damaged = bytearray(intact)
        if kind == "cut":
            del damaged[at:]
        elif kind == "flip":
            damaged[at] ^= 0x01
        else:
            damaged[at:at + 8] = (b"\x00" if kind == "zeros" else b"\xff") * len(damaged[at:at + 8])
        path.write_bytes(bytes(damaged))
        # Growing copies the published records and compares a repeated value with its copy.
        try:
            grown.update({"again": values[5], "new": b"fresh"})
            grown.build(out)
        except (kalvex.KalvCorruptError, kalvex.KalvIOError):
            outcomes["build failed"] += 1
            continue
        finally:
            grown.close()
        # The records were copied as they lay: the store's CRCs, made as they were added, tell.
        try:
            with kalvex.KalvReader(out) as reader:
                assert {key: reader[key] for key in expected} == expected, (kind, at)
            outcomes["as intact"] += 1
        except kalvex.KalvCorruptError:
            outcomes["said damaged"] += 1
    assert sum(outcomes.values()) == len(damages) > 3 * 300, outcomes
