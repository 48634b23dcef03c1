"""What the package and the command tell people: counts, sizes, a file that is no store."""
import codecs
import subprocess
import sys

import pytest

import kalvex
from kalvex import _kalvex
from kalvex.cli._common import counted, human_size


@pytest.mark.parametrize("size, shown", [
    (0, "0.0 kB"), (402, "0.4 kB"), (84_512, "84.5 kB"), (999_949, "999.9 kB"),
    (999_950, "1 MB"), (84_512_345, "84.5 MB"), (1_360_000_000, "1.36 GB"),
    (999_499_999_999, "999 GB"), (5 * 10**15, "5,000 TB"),
])
def test_sizes_for_people(size, shown):
    assert human_size(size) == shown


@pytest.mark.parametrize("number, shown", [(0, "0 keys"), (1, "1 key"), (2048, "2,048 keys")])
def test_counts_agree_with_their_number(number, shown):
    assert counted(number, "key") == shown


@pytest.mark.parametrize("name, text", [
    ("one.jsonl", '{"id": "a", "n": 1}\n'),
    ("one.csv", "id,n\na,1\n"),
], ids=["jsonl", "csv"])
def test_a_byte_order_mark_is_skipped_and_one_record_is_counted_as_one(tmp_path, name, text):
    source = tmp_path / name
    source.write_bytes(codecs.BOM_UTF8 + text.encode())
    out = tmp_path / "one.klvx"
    done = subprocess.run([sys.executable, "-m", "kalvex", "build", out, source, "--key", "id"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stderr == f"kalvex: wrote {out}: 1 object, 1 key, {human_size(out.stat().st_size)}\n"
    with kalvex.KalvReader(out) as r:
        assert list(r) == ["a"]


def test_a_file_that_is_no_store_is_named_so_by_the_package_alone(tmp_path, backend):
    path = tmp_path / "records.jsonl"
    path.write_text('{"id": 1}\n' * 8)
    with pytest.raises(kalvex.KalvCorruptError) as caught:
        kalvex.KalvReader(path)
    assert str(caught.value) == "not a kalvex store: bad magic [123, 34, 105, 100]"
    # The low-level module's text stays the core's own.
    with pytest.raises(RuntimeError) as plain:
        _kalvex._KalvReader(str(path))
    assert plain.value.args == ("KalvCorruptError: bad magic [123, 34, 105, 100]",)
