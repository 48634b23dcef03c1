"""The kalvex command, run as a real process: what each subcommand prints and exits with."""
import csv
import json
import os
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
        _, stdout, stderr = run("build", out, "--key", "id", "--key", "email", stdin=jsonl(USERS).encode(), check=0)
        # Standard output is for data: the summary is the command's own line, on stderr.
        assert stdout == b"" and stderr.startswith(f"kalvex: wrote {out}: 3 objects, 6 keys, ")
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


def test_info_counts_keys_sharing_an_object_not_keys_with_equal_bytes(tmp_path):
    writer = kalvex.KalvWriter(tmp_path / "s.klvx", dedupe=False)
    writer.add(1, "a", "b")
    writer["c"] = writer["d"] = 1  # equal bytes, objects of their own
    info = json.loads(run("info", writer.build(), "--json", check=0)[1])
    assert (info["objects"], info["keys_sharing_an_object"]) == (3, 2)


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
    assert run("diff", original, copy, check=0)[1:] == (b"", "0 added, 0 removed, 0 changed\n")


def test_compressed_and_plain_stores_mix_in_get_dump_diff_and_merge(tmp_path):
    records = [{"id": f"u{i}", "bio": "likes long walks and short queries " * (i % 4 + 1)} for i in range(300)]
    (tmp_path / "in.jsonl").write_text(jsonl(records))
    packed, plain = tmp_path / "packed.klvx", tmp_path / "plain.klvx"
    run("build", packed, tmp_path / "in.jsonl", "--key", "id", "--compress", "--compression-level", "5", check=0)
    run("build", plain, tmp_path / "in.jsonl", "--key", "id", check=0)
    assert run("get", packed, "u7", check=0)[1] == run("get", plain, "u7", check=0)[1]
    assert run("dump", packed, check=0)[1] == run("dump", plain, check=0)[1]
    assert run("diff", packed, plain, check=0)[1:] == (b"", "0 added, 0 removed, 0 changed\n")
    info = json.loads(run("info", packed, "--json", check=0)[1])
    assert info["compressed"] and 0 < info["stored_bytes"] < info["original_bytes"]
    assert "compression     zstd, dictionary" in run("info", packed, check=0)[1].decode()
    assert "compression     no" in run("info", plain, check=0)[1].decode()
    run("index", packed, "--drop", check=0)  # rewritten without the index, still compressed
    assert json.loads(run("info", packed, "--json", check=0)[1])["compressed"]
    assert run("dump", packed, check=0)[1] == run("dump", plain, check=0)[1]
    for options, compressed in (((), False), (("--compress",), True)):
        merged = tmp_path / f"merged{len(options)}.klvx"
        run("merge", merged, packed, plain, *options, check=0)
        assert json.loads(run("info", merged, "--json", check=0)[1])["compressed"] == compressed
        assert run("dump", merged, check=0)[1] == run("dump", plain, check=0)[1]


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
    assert status == 2 and stdout == b""
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
# fails), num_objects raised by one (verify fails); in a file without the mapped index,
# whose header counts only the two objects.
@pytest.mark.parametrize("at, change, message", [
    (-1, 0xFF, "file CRC32 mismatch"),
    (11, 0x03, "index section ends at "),
    (15, 0x01, "data section holds 2 object records but num_objects is 3"),
], ids=["index", "num_keys", "num_objects"])
def test_verify_names_the_damage_and_answers_0_sound_1_damaged_2_unreadable(tmp_path, at, change, message):
    good, damaged = tmp_path / "good.klvx", tmp_path / "damaged.klvx"
    kalvex.build(good, {"k": "value", "l": "other"}, index=False)
    data = bytearray(good.read_bytes())
    data[at] ^= change
    damaged.write_bytes(bytes(data))
    status, stdout, _ = run("verify", good, damaged)
    lines = stdout.decode().splitlines()
    assert status == 1 and lines[0] == f"{good}: ok"
    assert lines[1].startswith(f"{damaged}: {message}")
    status, stdout, _ = run("verify", damaged, tmp_path / "missing.klvx")
    assert status == 2 and stdout.decode().splitlines()[1].startswith(f"{tmp_path / 'missing.klvx'}: cannot open")
    assert run("verify", good)[0] == 0


def test_diff_lists_added_removed_and_changed_keys(tmp_path):
    old, new = tmp_path / "old.klvx", tmp_path / "new.klvx"
    kalvex.build(old, {"a": 1, "b": 2, "c": 3})
    kalvex.build(new, {"b": 2, "c": 4, "d": 5})
    status, stdout, stderr = run("diff", old, new)
    assert status == 1 and stderr == "1 added, 1 removed, 1 changed\n"
    assert stdout.decode().splitlines() == ["- a\t1", "~ c\t3 -> 4", "+ d\t5"]
    _, stdout, stderr = run("diff", old, new, "--json", "--keys-only")
    assert [json.loads(line) for line in stdout.splitlines()] == [
        {"change": "removed", "key": "a"},
        {"change": "changed", "key": "c"},
        {"change": "added", "key": "d"},
    ]
    assert json.loads(stderr) == {"added": 1, "removed": 1, "changed": 1}


@pytest.mark.parametrize("old,new", [
    ({}, {}), ({}, {"a": 1}), ({"a": 1}, {}), ({"a": 1, "b": 2}, {"a": 1, "b": 3}),
    ({"b": 1, "c": 1, "d": 1}, {"a": 1, "b": 2, "e": 1}), ({"a": 1}, {"a": 1, "b": 1, "c": 2}),
])
def test_diff_finds_every_difference_of_a_model(old, new):
    from kalvex.cli.diff import changes

    def pairs(model):
        return iter(sorted((key.encode(), bytes([value])) for key, value in model.items()))

    expected = [("added" if key not in old else "removed" if key not in new else "changed", key.encode())
                for key in sorted({*old, *new}) if old.get(key) != new.get(key)]
    assert [(kind, key) for kind, key, _, _ in changes(pairs(old), pairs(new))] == expected


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


# --- sharded stores ----------------------------------------------------------------------


@pytest.fixture
def sharded(tmp_path):
    """A sharded store and a store file holding the same data."""
    data = {f"k{i:02d}": {"n": i % 5} for i in range(40)}
    kalvex.shards.build(data, tmp_path / "s.shards", 3, processes=1)
    return tmp_path / "s.shards", kalvex.build(tmp_path / "one.klvx", data)


def test_a_sharded_store_answers_as_the_store_file_with_its_data(sharded, tmp_path):
    root, single = sharded
    for args in (["keys"], ["keys", "--prefix", "k1", "--count"], ["dump"], ["get", "k07", "k39"]):
        assert run(args[0], root, *args[1:], check=0)[1] == run(args[0], single, *args[1:], check=0)[1]
    assert run("diff", root, single, check=0)[1] == b""
    run("merge", tmp_path / "m.klvx", root, check=0)
    assert run("dump", tmp_path / "m.klvx", check=0)[1] == run("dump", single, check=0)[1]


def test_info_and_verify_of_a_sharded_store_go_down_to_each_shard(sharded):
    root, _ = sharded
    info = json.loads(run("info", root, "--json", check=0)[1])
    assert (info["num_shards"], info["keys"], info["objects"]) == (3, 40, 15)
    assert sum(shard["keys"] for shard in info["shards"]) == 40
    text = run("info", root, check=0)[1].decode()
    assert all(f"shard-0000{i}-of-00003.klvx  " in text for i in range(3))
    assert run("verify", root, check=0)[1] == f"{root}: ok\n".encode()
    victim = next(root.glob("v-*/shard-00001-*"))
    data = bytearray(victim.read_bytes())
    data[-1] ^= 0xFF  # the header's CRC-32, which the manifest holds too, is left as it was
    victim.write_bytes(bytes(data))
    status, stdout, _ = run("verify", root)
    assert status == 1 and stdout.decode().startswith(f"{root}: shard ") and victim.name in stdout.decode()


@pytest.mark.parametrize("args", [
    ["info", "{dir}"], ["verify", "{dir}"], ["get", "{dir}", "k"], ["keys", "{dir}"], ["dump", "{dir}"],
    ["diff", "{dir}", "{dir}"], ["merge", "{out}", "{dir}"],
])
def test_any_other_directory_is_trouble_named_as_no_store(tmp_path, args):
    (tmp_path / "plain").mkdir()
    values = {"dir": tmp_path / "plain", "out": tmp_path / "out.klvx"}
    status, stdout, stderr = run(*(arg.format(**values) for arg in args))
    assert status == 2 and "plain is a directory, not a store" in stdout.decode() + stderr


# --- exit statuses -------------------------------------------------------------------------


@pytest.mark.parametrize("args, status", [
    (["diff", "{a}", "{a}"], 0), (["diff", "{a}", "{b}"], 1), (["diff", "{a}", "{missing}"], 2),
    (["get", "{a}", "k"], 0), (["get", "{a}", "k", "zz"], 1), (["get", "{missing}", "k"], 2),
    (["keys", "{missing}"], 2), (["merge", "{out}", "{missing}"], 2),
])
def test_exit_status_is_0_yes_1_no_2_trouble(tmp_path, args, status):
    values = {"a": tmp_path / "a.klvx", "b": tmp_path / "b.klvx", "missing": tmp_path / "no.klvx",
              "out": tmp_path / "out.klvx"}
    kalvex.build(values["a"], {"k": 1})
    kalvex.build(values["b"], {"k": 2})
    assert run(*(arg.format(**values) for arg in args))[0] == status


def test_diff_cut_short_by_its_reader_still_answers_that_the_stores_differ(tmp_path):
    old, new = tmp_path / "old.klvx", tmp_path / "new.klvx"
    kalvex.build(old, ((f"key{i:06d}", i) for i in range(100_000)))
    kalvex.build(new, ((f"key{i:06d}", -i) for i in range(100_000)))
    command = subprocess.Popen([sys.executable, "-m", "kalvex", "diff", old, new],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert command.stdout.readline() == b"~ key000001\t1 -> -1\n"  # 0 and -0 are equal
    command.stdout.close()
    assert command.wait() == 1 and command.stderr.read() == b""


@pytest.mark.parametrize("at", ["before", "after"])
def test_debug_shows_the_traceback_wherever_it_stands(tmp_path, at):
    args = ["get", tmp_path / "missing.klvx", "k"]
    args = ["--debug", *args] if at == "before" else [*args, "--debug"]
    assert "Traceback" in run(*args)[2]


# --- build: strict CSV, repeated keys --------------------------------------------------------


@pytest.mark.parametrize("content, where, reason", [
    (b"id,id\n0,ok\n", "in.csv:1", "the header names the column 'id' twice"),
    (b'id,v\n0,ok\n1,"a\n2,b\n', "in.csv:4", "not CSV: unexpected end of data (the record begins on line 3)"),
    (b'id,v\n0,ok\n1,"a"b\n', "in.csv:3", "not CSV: ',' expected after '\"'"),
    (b"id,v\n0,ok\n1,a,extra\n", "in.csv:3", "the row's field count differs"),
    (b"id,v\n0,ok\n1\n", "in.csv:3", "the row's field count differs"),
    (b"id,v\n0,ok\n1,\xff\n", "in.csv:3", "not UTF-8: the byte 0xff"),
    (b"id,v\n0,ok\n,a\n", "in.csv:3", "key field 'id' is empty"),
])
def test_csv_is_read_strictly(tmp_path, content, where, reason):
    (tmp_path / "in.csv").write_bytes(content)
    out = tmp_path / "out.klvx"
    status, _, stderr = run("build", out, tmp_path / "in.csv", "--key", "id")
    assert status == 2 and f"{where}: {reason}" in stderr and not out.exists()
    status, _, stderr = run("build", out, tmp_path / "in.csv", "--key", "id", "--skip-bad")
    if where.endswith(":1"):  # a bad header spoils every row: nothing to skip to
        assert status == 2 and not out.exists()
    else:
        assert status == 0 and "skipped 1 bad record" in stderr
        assert run("dump", out, check=0)[1] == b'{"key":"0","value":{"id":"0","v":"ok"}}\n'


@pytest.mark.parametrize("fields", [[], ["--key", "id"]], ids=["pairs", "records"])
def test_msgpack_skip_bad_skips_a_record_whose_text_is_not_utf8_and_reads_on(tmp_path, fields):
    def record(key):
        return msgpack.packb({"id": key, "v": 1} if fields else [key, 1])

    bad = record("xyz").replace(b"xyz", b"\xff\xfe\xfd")  # a str of three bytes, not UTF-8
    stream = record("a") + bad + record("b") + record("c")
    out = tmp_path / "out.klvx"
    status, _, stderr = run("build", out, "--format", "msgpack", *fields, "--skip-bad", stdin=stream)
    assert status == 0 and "skipped 1 bad record" in stderr and "not UTF-8" in stderr
    assert run("keys", out, check=0)[1].split() == [b"a", b"b", b"c"]
    status, _, stderr = run("build", out, "--format", "msgpack", *fields, stdin=stream)
    assert status == 2 and "record 2" in stderr


DUPLICATED = [{"id": "a", "alt": "x", "v": 1}, {"id": "b", "alt": "y", "v": 2},
              {"id": "a", "alt": "z", "v": 3}, {"id": "b", "alt": "y", "v": 4}]


@pytest.mark.parametrize("options, status, stored", [
    ([], 2, None),
    (["--skip-bad"], 0, {"a": 1, "x": 1, "b": 2, "y": 2}),
    (["--on-duplicate", "first"], 0, {"a": 1, "x": 1, "b": 2, "y": 2, "z": 3}),
    (["--on-duplicate", "last"], 0, {"a": 3, "x": 1, "b": 4, "y": 4, "z": 3}),
])
def test_a_repeated_key_is_reported_and_no_object_is_left_unreachable(tmp_path, options, status, stored):
    (tmp_path / "in.jsonl").write_text(jsonl(DUPLICATED))
    out = tmp_path / "out.klvx"
    result, _, stderr = run("build", out, tmp_path / "in.jsonl", "--key", "id", "--key", "alt", *options)
    assert result == status
    if stored is None:
        assert "in.jsonl:3: the key 'a' was given by an earlier record" in stderr and not out.exists()
        return
    with kalvex.KalvReader(out) as reader:
        assert {key: value["v"] for key, value in reader.items()} == stored
        # Each record's value is its own: every object stored is reached by a key.
        assert reader.stats()["num_objects"] == len(set(stored.values()))
    if "--on-duplicate" in options:
        assert "kalvex: 3 keys given again" in stderr


# --- JSON and key text -----------------------------------------------------------------------


def test_extension_values_and_keys_that_could_be_confused_print_apart(tmp_path):
    store = kalvex.build(tmp_path / "x.klvx", {b"k\xff": msgpack.ExtType(5, b"abc"), "k\\xff": 1})
    assert run("keys", store, check=0)[1] == b"k\\\\xff\nk\\xff\n"
    dumped = [json.loads(line) for line in run("dump", store, check=0)[1].splitlines()]
    assert dumped == [{"key": "k\\xff", "value": 1},
                      {"key": {"$bytes": "a/8="}, "value": {"$ext": 5, "$bytes": "YWJj"}}]
    status, stdout, stderr = run("get", store, os.fsdecode(b"k\xff"), os.fsdecode(b"\xfe"))
    assert (status, stdout) == (1, b'{"$ext":5,"$bytes":"YWJj"}\n')
    assert stderr == "kalvex: key not found: \\xfe\n"


@pytest.mark.parametrize("command, status", [
    (["keys", "{s}"], 2), (["get", "{s}", "a"], 2), (["dump", "{s}"], 2), (["info", "{s}"], 2),
    (["merge", "{out}", "{s}", "-q"], 0)])
def test_a_command_run_with_standard_output_closed_says_so(tmp_path, command, status):
    store = kalvex.build(tmp_path / "s.klvx", {"a": 1})
    args = [part.format(s=store, out=tmp_path / "out.klvx") for part in command]
    done = subprocess.run([sys.executable, "-m", "kalvex", *args], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1))
    assert done.returncode == status, done.stderr
    assert done.stderr.decode() == ("kalvex: error: standard output is closed: there is nowhere to print "
                                    "the answer\n" if status else "")
