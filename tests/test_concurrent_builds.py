"""Builds in two processes at once never swap, mix or clobber each other's data.

Two destinations that differ only in their extension share one temporary path, and so do
two builds of one destination; one build's destination may be another's temporary path. Each race runs a few hundred builds in two real processes;
a build either fails at once, naming the other build, or publishes exactly its own bytes.
"""
import json
import os
import subprocess
import sys

from kalvex import _kalvex

ROUNDS = 150

# Builds `dest` again and again with `tag`-{round} under the key "who" (beside enough
# other keys that a build takes a while), reading the destination back after each
# success (and with "move", moving it away then). One JSON line per round.
WORKER = """
import json, os, sys
from kalvex import _kalvex
dest, tag, rounds, log_fd, move = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
writer = _kalvex._KalvWriter()
for i in range(3000):
    writer.add_key(f"filler{i}", writer.add_object_raw(os.urandom(64)))
log = os.fdopen(log_fd, "w")
for i in range(rounds):
    mine = f"{tag}-{i}".encode()
    writer.add_key("who", writer.add_object_raw(mine))
    try:
        writer.build(dest)
    except OSError as exc:
        log.write(json.dumps({"built": None, "error": str(exc)}) + "\\n")
        continue
    reader = _kalvex._KalvReader(dest)
    log.write(json.dumps({"built": mine.decode(), "read": reader.get_raw("who").decode(),
                          "verified": reader.verify()}) + "\\n")
    if move == "move":  # the user takes the store away, as a build never does
        os.rename(dest, dest + ".taken")
"""


def race(jobs, move=("keep", "keep")):
    """Runs the (destination, tag) jobs at once; each one's list of rounds."""
    children = []
    for (dest, tag), after in zip(jobs, move):
        reading, writing = os.pipe()
        child = subprocess.Popen([sys.executable, "-c", WORKER, str(dest), tag, str(ROUNDS), str(writing), after],
                                 pass_fds=(writing,), stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        os.close(writing)
        children.append((child, reading))
    outcomes = []
    for child, reading in children:
        with open(reading) as lines:
            rounds = [json.loads(line) for line in lines]
        assert child.wait(timeout=300) == 0, child.stderr.read().decode()
        outcomes.append(rounds)
    return outcomes


def assert_refusals_name_the_other_build(rounds):
    for r in rounds:
        if r["built"] is None:
            assert r["error"].startswith(("KalvIOError: open tmp: ", "KalvIOError: publish: "))
            assert r["error"].endswith(("is being written by another build",
                                        "is being written by another build (it is that build's temporary file)",
                                        "holds a whole store that no build is writing; a build never "
                                        "overwrites one (move or remove it)",
                                        "kept being replaced by other builds while opening it"))


def test_two_destinations_sharing_one_temporary_path_each_get_their_own_data(tmp_path):
    outcomes = race([(tmp_path / "users.v1", "one"), (tmp_path / "users.v2", "two")])
    for rounds, dest in zip(outcomes, ("users.v1", "users.v2")):
        assert_refusals_name_the_other_build(rounds)
        built = [r for r in rounds if r["built"] is not None]
        assert built, "no build of " + dest + " succeeded"
        # Nobody else builds this destination: right after a success it holds that build.
        assert all(r["read"] == r["built"] and r["verified"] for r in built)
        last = _kalvex._KalvReader(str(tmp_path / dest)).get_raw("who").decode()
        assert last == built[-1]["built"]


def test_one_destination_built_twice_at_once_holds_a_build_that_succeeded(tmp_path):
    outcomes = race([(tmp_path / "users.klvx", "one"), (tmp_path / "users.klvx", "two")])
    succeeded = set()
    for rounds in outcomes:
        assert_refusals_name_the_other_build(rounds)
        succeeded.update(r["built"] for r in rounds if r["built"] is not None)
    reads = [r["read"] for rounds in outcomes for r in rounds if r["built"] is not None]
    assert all(r["verified"] for rounds in outcomes for r in rounds if r["built"] is not None)
    assert set(reads) <= succeeded
    assert _kalvex._KalvReader(str(tmp_path / "users.klvx")).get_raw("who").decode() in succeeded
    assert sorted(p.name for p in tmp_path.iterdir()) == ["users.klvx"]


def test_a_destination_that_is_another_builds_temporary_path_never_takes_its_data(tmp_path):
    # users.klvx.tmp is where a build of users.klvx writes before its rename. The second
    # worker publishes there and then moves its store away, so both keep getting turns.
    outcomes = race([(tmp_path / "users.klvx", "one"), (tmp_path / "users.klvx.tmp", "two")], ("keep", "move"))
    for rounds in outcomes:
        assert_refusals_name_the_other_build(rounds)
        built = [r for r in rounds if r["built"] is not None]
        assert built and all(r["read"] == r["built"] and r["verified"] for r in built)
    taken = _kalvex._KalvReader(str(tmp_path / "users.klvx.tmp.taken")).get_raw("who").decode()
    assert taken == [r for r in outcomes[1] if r["built"]][-1]["built"]
    assert _kalvex._KalvReader(str(tmp_path / "users.klvx")).get_raw("who").decode() == \
        [r for r in outcomes[0] if r["built"]][-1]["built"]
