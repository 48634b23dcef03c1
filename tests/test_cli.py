"""The kalvex command, run as a real process: what each subcommand prints and exits with."""
import csv
import json
import subprocess
import sys

import msgpack
import pytest

import kalvex

USERS = [
    {"id": "u1", "email": "ada@example.org", "name": "Ada", "age": 36},
    {"id": "u2", "email": "bob@example.org", "name": "Bob", "age": 41},
    {"id": "u3", "email": "cy@example.org", "name": "Cy", "age": 29},
]


def run(*args, stdin=None, check=None):
    """(exit status, stdout bytes, stderr text) of ``kalvex ARGS``."""
    done = subprocess.run([sys.executable, "-m", "kalvex", *map(str, args)], input=stdin, capture_output=True)
    assert check is None or done.returncode == check, done.stderr.decode()
    return done.returncode, done.stdout, done.stderr.decode()


def jsonl(records):
    return "".join(json.dumps(record) + "\n" for record in records)


def write_csv(path, records):
    with open(path, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(records[0]))
        writer.writeheader()
        writer.writerows(records)


@pytest.mark.parametrize("source", ["jsonl", "csv", "stdin"])
def test_build_stores_each_record_under_both_keys_and_reads_back(tmp_path, source):
    out = tmp_path / "users.klvx"
    if source == "stdin":
        run("build", out, "--key", "id", "--key", "email", stdin=jsonl(USERS).encode(), check=0)
    elif source == "csv":
        write_csv(tmp_path / "users.csv", USERS)
        run("build", out, tmp_path / "users.csv", "--key", "id", "--key", "email", check=0)
    else:
        (tmp_path / "users.jsonl").write_text(jsonl(USERS))
        run("build", out, tmp_path / "users.jsonl", "--key", "id", "--key", "email", check=0)
    # CSV keeps every value as text.
    expected = [{k: str(v) for k, v in user.items()} if source == "csv" else user for user in USERS]

    _, got, _ = run("get", out, "u2", "cy@example.org", check=0)
    assert [json.loads(line) for line in got.splitlines()] == [expected[1], expected[2]]
    keys = sorted(key for user in USERS for key in (user["id"], user["email"]))
    assert run("keys", out, check=0)[1].decode().splitlines() == keys
    dumped = [json.loads(line) for line in run("dump", out, "--prefix", "u", check=0)[1].splitlines()]
    assert dumped == [{"key": user["id"], "value": value} for user, value in zip(USERS, expected)]
    info = json.loads(run("info", out, "--json", check=0)[1])
    assert (info["keys"], info["objects"], info["keys_sharing_an_object"]) == (6, 3, 6)


def test_dump_msgpack_builds_back_the_same_store(tmp_path):
    original = tmp_path / "a.klvx"
    with kalvex.KalvWriter(original) as writer:
        writer.add({"blob": b"\x00\xff", 1: [1.5, None]}, "shared:1", "shared:2")
        writer[b"\xffraw"] = "not UTF-8 key"
        writer["same"] = "x"
        writer["again"] = "x"
    stream = run("dump", original, "--format", "msgpack", check=0)[1]
    copy = tmp_path / "b.klvx"
    run("build", copy, "--format", "msgpack", stdin=stream, check=0)
    with kalvex.KalvReader(original, key_type=bytes) as a, kalvex.KalvReader(copy, key_type=bytes) as b:
        assert list(a.items()) == list(b.items())
    objects = [json.loads(run("info", store, "--json", check=0)[1])["objects"] for store in (original, copy)]
    assert objects == [3, 3]
    assert run("diff", original, copy, check=0)[1].decode() == "0 added, 0 removed, 0 changed\n"


def test_values_and_keys_that_json_cannot_hold_have_their_documented_form(tmp_path):
    store = tmp_path / "odd.klvx"
    kalvex.build(store, {b"k\xff": {"b": b"\x01\x02", 7: float("nan"), (1, 2): True}})
    assert run("keys", store, check=0)[1] == b"k\\xff\n"
    assert json.loads(run("dump", store, check=0)[1]) == {
        "key": {"$bytes": "a/8="},
        "value": {"b": {"$bytes": "AQI="}, "7": {"$float": "nan"}, "[1,2]": True},
    }


@pytest.mark.parametrize(
    "content, where, reason",
    [
        ('{"id": "u1"}\n{"id": \n', "in.jsonl:2", "not JSON"),
        ('{"id": "u1"}\n\n{"name": "no id"}\n', "in.jsonl:3", "no key field 'id'"),
        ('{"id": "u1"}\n{"id": [1]}\n', "in.jsonl:2", "key field 'id' is a list"),
        (None, "in.jsonl", "No such file"),
    ],
)
def test_bad_input_fails_naming_the_line_and_leaves_out_untouched(tmp_path, content, where, reason):
    out = tmp_path / "out.klvx"
    kalvex.build(out, {"before": 1})
    before = out.read_bytes()
    if content is not None:
        (tmp_path / "in.jsonl").write_text(content)
    status, stdout, stderr = run("build", out, tmp_path / "in.jsonl", "--key", "id")
    assert status == 1 and stdout == b""
    assert stderr.startswith("kalvex: error: ") and where in stderr and reason in stderr
    assert len(stderr.splitlines()) == 1 and "Traceback" not in stderr
    assert out.read_bytes() == before
    assert not list(tmp_path.glob("*.tmp"))


def test_skip_bad_leaves_bad_records_out_and_counts_them(tmp_path):
    (tmp_path / "in.jsonl").write_text('{"id": "a"}\nnot json\n{"id": 7}\n{"x": 1}\n')
    out = tmp_path / "out.klvx"
    _, _, stderr = run("build", out, tmp_path / "in.jsonl", "--key", "id", "--skip-bad", check=0)
    assert "in.jsonl:2" in stderr and "in.jsonl:4" in stderr and "skipped 2 bad records" in stderr
    assert run("keys", out, check=0)[1] == b"7\na\n"


# A flipped byte of the index, num_keys lowered by one (the header is under no CRC; the open
# fails), num_objects raised by one (verify fails).
@pytest.mark.parametrize("at, change, message", [
    (-1, 0xFF, "file CRC32 mismatch"),
    (11, 0x03, "index section ends at "),
    (15, 0x01, "data section holds 2 object records but num_objects is 3"),
], ids=["index", "num_keys", "num_objects"])
def test_verify_names_the_damage_and_fails(tmp_path, at, change, message):
    good, damaged = tmp_path / "good.klvx", tmp_path / "damaged.klvx"
    kalvex.build(good, {"k": "value", "l": "other"})
    data = bytearray(good.read_bytes())
    data[at] ^= change
    damaged.write_bytes(bytes(data))
    status, stdout, _ = run("verify", good, damaged, tmp_path / "missing.klvx")
    lines = stdout.decode().splitlines()
    assert status == 1 and lines[0] == f"{good}: ok"
    assert lines[1].startswith(f"{damaged}: KalvCorruptError: {message}")
    assert "missing.klvx: KalvIOError" in lines[2]
    assert run("verify", good)[0] == 0


def test_diff_lists_added_removed_and_changed_keys(tmp_path):
    old, new = tmp_path / "old.klvx", tmp_path / "new.klvx"
    kalvex.build(old, {"a": 1, "b": 2, "c": 3})
    kalvex.build(new, {"b": 2, "c": 4, "d": 5})
    status, stdout, _ = run("diff", old, new)
    assert status == 1
    assert stdout.decode().splitlines() == ["- a\t1", "~ c\t3 -> 4", "+ d\t5", "1 added, 1 removed, 1 changed"]
    lines = [json.loads(line) for line in run("diff", old, new, "--json", "--keys-only")[1].splitlines()]
    assert lines == [
        {"change": "removed", "key": "a"},
        {"change": "changed", "key": "c"},
        {"change": "added", "key": "d"},
        {"added": 1, "removed": 1, "changed": 1},
    ]


def test_get_prints_found_keys_then_fails_on_a_missing_one(tmp_path):
    store = tmp_path / "s.klvx"
    kalvex.build(store, {"a": [1], "b": "two"})
    status, stdout, stderr = run("get", store, "a", "nope", "b")
    assert (status, stdout) == (1, b'[1]\n"two"\n') and "nope" in stderr
    assert run("get", store, "b", "--raw", check=0)[1] == msgpack.packb("two")


def test_merge_keeps_the_last_inputs_value(tmp_path):
    first, second, out = tmp_path / "1.klvx", tmp_path / "2.klvx", tmp_path / "all.klvx"
    kalvex.build(first, {"a": 1, "b": 1})
    kalvex.build(second, {"b": 2})
    run("merge", out, first, second, check=0)
    assert dict(kalvex.KalvReader(out)) == {"a": 1, "b": 2}


def test_a_closed_pipe_ends_dump_quietly(tmp_path):
    store = tmp_path / "big.klvx"
    kalvex.build(store, ((f"key{i:06d}", "v" * 100) for i in range(100_000)))
    done = subprocess.run(
        f"'{sys.executable}' -m kalvex dump '{store}' | head -1", shell=True, capture_output=True
    )
    assert done.stdout.decode().startswith('{"key":"key000000"') and done.stderr == b""


@pytest.mark.parametrize("args", [["build", "out.klvx", "in.jsonl"], ["get", "s.klvx"], ["nonsense"]])
def test_usage_errors_exit_2(tmp_path, args):
    assert run(*args)[0] == 2
