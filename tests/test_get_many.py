"""Batch lookups: get_many and get_many_raw answer as a loop of get and get_raw would, on
one store and on a sharded one, whatever the chunking of the keys."""
import pytest

import kalvex
from kalvex import reader as reader_module, shards
from klvx_files import Container

pytestmark = pytest.mark.usefixtures("backend")  # every test on each backend

DATA = {f"k{i}": {"i": i} for i in range(40)} | {"é": [1], "": 0}


@pytest.fixture(params=["one", "sharded"])
def store(request, tmp_path):
    if request.param == "one":
        return kalvex.build(tmp_path / "s.klvx", DATA)
    shards.build(DATA, tmp_path / "s", 4, processes=1)
    return tmp_path / "s"


def outcome(call, *args):
    try:
        return call(*args)
    except Exception as exc:
        return type(exc), str(exc)


KEYS = ["k1", b"k2", "zz", "k1", "é", "", bytearray(b"k3"), "k39", b"missing", "k2"]


class TestAnswersLikeOneLookupAtATime:
    @pytest.mark.parametrize("chunk", [3, reader_module.MANY_CHUNK])
    @pytest.mark.parametrize("form", [list, tuple, iter])
    @pytest.mark.parametrize("options", [{}, {"raw": True}])
    def test_order_duplicates_missing_and_key_types(self, store, monkeypatch, chunk, form, options):
        monkeypatch.setattr(reader_module, "MANY_CHUNK", chunk)
        with kalvex.open(store, **options) as r:
            assert r.get_many(form(KEYS), default="none") == [r.get(key, "none") for key in KEYS]
            assert r.get_many(form(KEYS)) == [r.get(key) for key in KEYS]
            assert r.get_many_raw(form(KEYS)) == [r.get_raw(key) for key in KEYS]

    def test_more_keys_than_a_chunk(self, store):
        keys = [f"k{i % 45}" for i in range(2 * reader_module.MANY_CHUNK + 7)]
        with kalvex.open(store) as r:
            assert r.get_many(key for key in keys) == [r.get(key) for key in keys]

    @pytest.mark.parametrize("empty", [[], (), iter(()), set()], ids=["list", "tuple", "iter", "set"])
    def test_empty_input(self, store, empty):
        with kalvex.open(store) as r:
            assert r.get_many(empty) == r.get_many_raw(empty) == []


class TestErrors:
    @pytest.mark.parametrize("bad", [5, None, "\ud800", 1.5])
    def test_a_bad_key_raises_what_get_raw_raises(self, store, monkeypatch, bad):
        monkeypatch.setattr(reader_module, "MANY_CHUNK", 3)
        with kalvex.open(store) as r:
            expected = outcome(r.get_raw, bad)
            assert expected[0] is (ValueError if isinstance(bad, str) else TypeError)
            for keys in ([bad], ["k1", "k2", "k3", "k4", bad, "k5"]):
                assert outcome(r.get_many, keys) == outcome(r.get_many_raw, iter(keys)) == expected

    def test_closed_reader(self, store):
        r = kalvex.open(store)
        r.close()
        for keys in ([], ["k1"]):
            for call in (r.get_many, r.get_many_raw):
                with pytest.raises(ValueError, match="^store is closed$"):
                    call(keys)

    def test_a_record_outside_the_file_is_corrupt(self, tmp_path):
        c = Container()
        c.add_entry("a", c.add_object(b"\x01"))
        c.add_entry("b", 1 << 40)
        path = tmp_path / "bad.klvx"
        path.write_bytes(c.build())
        with kalvex.KalvReader(path, verify=False) as r:
            expected = outcome(r.get_raw, "b")
            assert expected[0] is kalvex.KalvCorruptError
            assert outcome(r.get_many, ["a", "b"]) == outcome(r.get_many_raw, ["b"]) == expected
            assert r.get_many(["a", "c"]) == [1, None]

    def test_an_undecodable_value_is_named(self, tmp_path):
        w = kalvex.KalvWriter(tmp_path / "p.klvx")
        w.add_raw(b"\xc1", "broken")
        w["fine"] = 1
        with kalvex.KalvReader(w.build()) as r:
            with pytest.raises(kalvex.KalvDecodeError, match="'broken'"):
                r.get_many(["fine", "broken"])
            assert r.get_many_raw(["fine", "broken"]) == [b"\x01", b"\xc1"]

    def test_the_backend_takes_a_list_or_tuple_of_any_length(self, tmp_path):
        with kalvex.KalvReader(kalvex.build(tmp_path / "s.klvx", DATA)) as r:
            native = r._native
            with pytest.raises(TypeError, match="list or tuple"):
                native.find_many({"k1"})
            keys = tuple(KEYS * 1000)  # past what one call's arrays are kept for
            assert native.find_many(keys) == [native.find(key) for key in keys]
            assert native.find_many(KEYS[:2]) == [native.find(key) for key in KEYS[:2]]
