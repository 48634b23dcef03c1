"""A deduplicating writer whose payload index has reached its share of a tiny memory budget
stores repeats again, and its builds find them: every build writes the bytes of the writer
that holds everything in memory, on both backends."""
import random

import pytest

import kalvex
from kalvex import _backend

pytestmark = pytest.mark.usefixtures("backend")

# The payload index's share has a floor of 64 KiB: a few thousand payloads, then deferral.
TINY = 1 << 16
IN_MEMORY = 0


def rounds(seed, count):
    """Ops of one round: payloads drawn from a pool of early values (indexed), of many more
    (most deferred, repeated before and after their first add), empty and long ones; keys
    that repeat (their old objects to drop); some links of a new key to an earlier add's
    object, and some adds that never dedupe."""
    rng = random.Random(seed)
    for i in range(count):
        pick = rng.random()
        n = rng.randrange(300) if pick < 0.3 else rng.randrange(20000)
        payload = b"" if n == 7 else f"value {n} ".encode() * (1 + n % 7 if n % 1000 else 5000)
        op = "link" if pick > 0.97 else "plain" if pick > 0.95 else "unique"
        yield op, payload, f"k{rng.randrange(count // 2)}".encode(), rng.randrange(i + 1)


@pytest.mark.parametrize("index, drop, level", [(True, True, 0), (False, False, 0), (True, False, 3), (False, True, 3)])
def test_builds_match_the_in_memory_writer_across_the_cutoff_and_between_builds(tmp_path, index, drop, level):
    made_for = str(tmp_path / "tiny.klvx")
    writers = {"tiny": _backend.BACKEND.new_writer(made_for, TINY),
               "whole": _backend.BACKEND.new_writer(None, IN_MEMORY)}
    ids = {name: [] for name in writers}  # each add's object id, per writer
    for round_, count in enumerate([24000, 6000]):
        for op, payload, key, earlier in rounds(round_, count):
            for name, writer in writers.items():
                if op == "link" and ids[name]:
                    writer.add_key(key, ids[name][earlier % len(ids[name])])
                else:
                    ids[name].append(writer.add_mapped(payload, (key,), op == "unique"))
        # Repeats past the cutoff got ids of their own: the path under test was taken.
        assert writers["tiny"].object_count() > writers["whole"].object_count()
        built = {}
        for name, writer in writers.items():
            path = made_for if name == "tiny" else str(tmp_path / "whole.klvx")
            report = writer.build(path, index, drop, level)
            with open(path, "rb") as file:
                built[name] = (report, file.read())
        assert built["tiny"] == built["whole"], round_
    dictionaries = {name: writer.train_dictionary() for name, writer in writers.items()}
    assert dictionaries["tiny"] == dictionaries["whole"] != b""


def test_the_package_writer_reads_back_every_value_past_the_cutoff(tmp_path):
    rng = random.Random(5)
    model = {f"k{i}": {"v": rng.randrange(9000)} for i in range(30000)}
    with kalvex.KalvWriter(tmp_path / "tiny.klvx", memory_limit=TINY) as writer:
        writer.update(model)
    with kalvex.KalvReader(tmp_path / "tiny.klvx") as reader:
        assert reader.stats()["num_objects"] == len({v["v"] for v in model.values()})
        assert all(reader[key] == value for key, value in model.items())


def test_a_failed_build_that_could_not_finish_the_spools_file_leaves_no_temporary_file(tmp_path):
    # Repeats past the cutoff keep a build from finishing the writer's file in place: it
    # writes a file of its own at the temporary path, which a failed rename must not leave.
    dest = tmp_path / "out.klvx"
    writer = kalvex.KalvWriter(str(dest), memory_limit=TINY)
    writer.update((f"k{i}", i % 9000) for i in range(30000))
    dest.mkdir()  # the rename onto a directory fails
    with pytest.raises(kalvex.KalvIOError, match="Is a directory"):
        writer.build()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.klvx"]
    dest.rmdir()
    with kalvex.KalvReader(writer.build()) as reader:  # nothing was lost
        assert len(reader) == 30000 and reader.stats()["num_objects"] == 9000


@pytest.mark.parametrize("drop", [False, True])
def test_aliases_resolve_for_keys_that_never_left_memory(tmp_path, drop):
    # Many objects, few keys: the payload index passes its share while no key is spilled.
    writers = [_backend.BACKEND.new_writer(str(tmp_path / "tiny.klvx"), 1 << 20), _backend.BACKEND.new_writer(None, 0)]
    built = []
    for writer in writers:
        for i in range(60000):
            obj_id = writer.add_unique(b"%d" % (i * 7919 % 30000))
            if i % 97 == 0:
                writer.add_key(b"k%d" % (i % 5000), obj_id)
        path = str(tmp_path / f"{len(built)}.klvx")
        built.append((writer.build(path, True, drop), open(path, "rb").read()))
    assert writers[0].object_count() > writers[1].object_count()
    assert built[0] == built[1]
