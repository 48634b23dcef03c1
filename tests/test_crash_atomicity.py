"""A build killed at any moment leaves the destination holding the old file or the new one.

A forked child runs build() over an existing destination and is killed with SIGKILL after a
random delay spread over the length of a whole build. Afterwards the destination must be
byte for byte one of the two complete files and pass the deep check, and the temporary file
a killed build may leave behind must not get in the way of the next build.
"""
import gc
import os
import random
import signal
import sys
import time

import pytest

from kalvex import _kalvex

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")

KILLS = 100
OBJECT_SIZE = 64 * 1024


def make_writer(seed, num_objects, num_keys):
    """num_objects payloads of 64 KiB under num_keys keys, most objects shared."""
    rng = random.Random(seed)
    block = rng.randbytes(OBJECT_SIZE)
    writer = _kalvex._KalvWriter()
    for i in range(num_objects):
        writer.add_object_raw(i.to_bytes(8, "big") + block[8:])
    for i in range(num_keys):
        writer.add_key(f"{seed}:key:{rng.getrandbits(40):010x}:{i}", i % num_objects)
    return writer


def build_quietly(writer, path):
    """build() in this process with its summary line sent to /dev/null."""
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        sys.stdout.flush()
        os.dup2(devnull, 1)
        writer.build(path)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def start_build(writer, path):
    """Forks a child that builds `path`; returns its pid once it is about to call build()."""
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: never returns into the test run
        status = 1
        try:
            os.close(ready_r)
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)
            os.write(ready_w, b"x")
            writer.build(path)
            status = 0
        finally:
            os._exit(status)
    os.close(ready_w)
    assert os.read(ready_r, 1) == b"x"
    os.close(ready_r)
    return pid


def build_duration(writer, path):
    """Seconds a child takes from the start of build() to its end (best of three)."""
    durations = []
    for _ in range(3):
        pid = start_build(writer, path)
        start = time.monotonic()
        _, status = os.waitpid(pid, 0)
        durations.append(time.monotonic() - start)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    return min(durations)


def check_whole(path, contents):
    """Which of `contents` the file at `path` holds; it must hold one of them exactly."""
    with open(path, "rb") as f:
        data = f.read()
    matches = [i for i, expected in enumerate(contents) if data == expected]
    assert matches, f"{path} holds {len(data)} bytes that are neither the old nor the new file"
    reader = _kalvex._KalvReader(path)
    assert reader.verify() is True
    return matches[0]


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    """Two writers of about 16 MiB each and the exact bytes each one builds."""
    directory = tmp_path_factory.mktemp("stores")
    writers = [make_writer(1, 256, 12000), make_writer(2, 250, 11000)]
    contents = []
    for number, writer in enumerate(writers):
        path = str(directory / f"reference{number}.klvx")
        build_quietly(writer, path)
        with open(path, "rb") as f:
            contents.append(f.read())
        os.unlink(path)
    assert contents[0] != contents[1]
    return writers, contents


def test_killed_builds_leave_the_old_or_the_new_file(stores, tmp_path):
    writers, contents = stores
    dest = str(tmp_path / "store.klvx")
    tmp = str(tmp_path / "store.klvx.tmp")
    build_quietly(writers[0], dest)
    held = check_whole(dest, contents)
    duration = build_duration(writers[1], str(tmp_path / "timing.klvx"))

    rng = random.Random(20240607)
    kills = finished = 0
    outcomes = {}
    while kills < KILLS:
        assert kills + finished < 20 * KILLS, "builds keep finishing before the kill"
        target = 1 - held
        delay = rng.uniform(0, duration)
        pid = start_build(writers[target], dest)
        time.sleep(delay)
        os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status):
            assert os.WTERMSIG(status) == signal.SIGKILL
            kills += 1
        else:
            assert os.WEXITSTATUS(status) == 0
            finished += 1
        try:
            now = check_whole(dest, contents)
        except AssertionError as exc:
            raise AssertionError(f"after a kill {delay * 1000:.1f} ms into a build of "
                                 f"about {duration * 1000:.1f} ms: {exc}") from None
        state = ("new" if now == target else "old", os.path.exists(tmp))
        outcomes[state] = outcomes.get(state, 0) + 1
        held = now
        if (kills + finished) % 10 == 0:
            gc.collect()  # readers of replaced files unmap, their disk space is freed

    # A last build over whatever the killed ones left behind completes normally.
    build_quietly(writers[1 - held], dest)
    assert check_whole(dest, contents) == 1 - held
    assert not os.path.exists(tmp), outcomes


@pytest.mark.parametrize("leftover", [b"", b"KLVX\x02" + bytes(100), os.urandom(4096)],
                         ids=["empty", "partial-header", "garbage"])
def test_a_leftover_temporary_file_is_overwritten(tmp_path, leftover):
    writer = make_writer(3, 2, 5)
    dest = str(tmp_path / "store.klvx")
    (tmp_path / "store.klvx.tmp").write_bytes(leftover + os.urandom(200_000))
    build_quietly(writer, dest)
    reference = str(tmp_path / "reference.db")  # same content, no temporary file in its way
    build_quietly(writer, reference)
    with open(dest, "rb") as a, open(reference, "rb") as b:
        assert a.read() == b.read()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["reference.db", "store.klvx"]
