"""A package writer under a tiny memory budget spills its keys to sorted runs and merges
them at build: its length, its membership answers and its files are those of the same adds
to a writer that holds everything in memory, on both backends."""
import random

import pytest

import kalvex
from kalvex import KalvReader, KalvWriter
from test_build import fault_shim, run_child  # noqa: F401 (a fixture)

pytestmark = pytest.mark.usefixtures("backend")


def adds(seed):
    """Keys from a small space, so many repeat within and across runs (str and bytes,
    the empty key and prefixes among them), with values that repeat too."""
    rng = random.Random(seed)
    for _ in range(60000):
        n = rng.randrange(20000)
        key = f"k{n}" if n % 5 else f"k{n}".encode()[: n % 4]
        yield key, {"v": rng.randrange(3000)}


@pytest.mark.parametrize("index, compression", [(True, None), (False, None), (True, "zstd")])
def test_a_spilling_writer_builds_the_bytes_of_one_in_memory(tmp_path, index, compression):
    options = dict(index=index, compression=compression)
    tiny = KalvWriter(tmp_path / "tiny.klvx", memory_limit=1 << 19, **options)
    whole = KalvWriter(**options)
    model = {}
    for key, value in adds(7):
        tiny[key] = value
        whole[key] = value
        model[key.encode() if isinstance(key, str) else key] = value
    assert len(tiny) == len(whole) == len(model)
    for probe in ["k1", "k20000", b"", b"k", "z", b"\xff"] + [f"k{n}" for n in range(0, 20000, 997)]:
        as_bytes = probe.encode() if isinstance(probe, str) else probe
        assert (probe in tiny) == (as_bytes in model), probe
    tiny.build()
    whole.build(tmp_path / "whole.klvx")
    assert (tmp_path / "tiny.klvx").read_bytes() == (tmp_path / "whole.klvx").read_bytes()
    with KalvReader(tmp_path / "tiny.klvx") as reader:
        assert all(reader[key] == value for key, value in list(model.items())[:2000])


def test_a_key_run_that_cannot_be_read_fails_the_count_and_the_lookup(tmp_path, fault_shim):
    # Distinct values, so the only reads are those of the spilled keys: each one fails.
    backend = kalvex._backend.BACKEND.__name__.rpartition("._")[2]
    result = run_child(tmp_path, f"""
        import kalvex
        kalvex._backend.use("{backend}")
        writer = kalvex.KalvWriter(dest, memory_limit=1 << 19)
        for i in range(40000):
            writer[f"k{{i}}"] = i
        def call(f):
            try:
                return f()
            except OSError as exc:
                return [type(exc).__name__, str(exc), exc.filename]
        report([call(lambda: len(writer)), call(lambda: "k1" in writer)])
    """, dict(KFAULT_CALL="pread", KFAULT_TIMES="1000000", KFAULT_UNNAMED="1", LD_PRELOAD=fault_shim))
    failed = ["KalvIOError", "key run: Input/output error (os error 5)", str(tmp_path)]
    assert result == [failed, failed]


@pytest.mark.parametrize("compression", [None, "zstd"])
def test_a_budgeted_writer_grown_between_builds_keeps_every_object_it_may_link(tmp_path, compression):
    # Keys spill, values are replaced (so builds leave objects out), and later rounds link
    # keys to objects an earlier build left out: every build must still match the writer
    # that holds everything in memory, so nothing a build dropped is lost to the writer.
    rng = random.Random(3)
    tiny = KalvWriter(tmp_path / "tiny.klvx", memory_limit=1 << 17, compression=compression)
    whole = KalvWriter(memory_limit=1 << 40, compression=compression)
    ids = []
    for round_ in range(3):
        for _ in range(15000):
            key = f"k{rng.randrange(6000)}"
            value = {"r": round_, "v": rng.randrange(4000)}
            if rng.random() < 0.0005:
                value = {"big": rng.randbytes(1_300_000)}  # records past a spool chunk
            ids.append((tiny.add(value, key), whole.add(value, key)))
        for _ in range(200):
            tiny_id, whole_id = rng.choice(ids)
            key = f"k{rng.randrange(6000)}"
            tiny.link(key, tiny_id)
            whole.link(key, whole_id)
        tiny.build()
        whole.build(tmp_path / "whole.klvx")
        assert (tmp_path / "tiny.klvx").read_bytes() == (tmp_path / "whole.klvx").read_bytes(), round_
    tiny.close()
    assert not [name for name in (tmp_path).iterdir() if name.name.endswith(".tmp")]
