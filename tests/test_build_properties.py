"""Random writers: the file maps exactly the last mapping of every key, in key order, and its
bytes depend on the content alone, not on insertion order or on how often it is built."""
import random

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from kalvex import _kalvex  # noqa: E402
from test_build import read_store  # noqa: E402

# Few distinct bytes, so keys share prefixes, end inside one another and repeat.
keys = st.one_of(st.binary(max_size=20).map(lambda b: bytes(c % 4 * 60 for c in b)),
                 st.text(alphabet="ab\u00e9\x00", max_size=12))
writers = st.lists(st.binary(max_size=40), min_size=1, max_size=30).flatmap(
    lambda objects: st.tuples(st.just(objects),
                              st.lists(st.tuples(keys, st.integers(0, len(objects) - 1)), max_size=60)))


def as_bytes(key):
    return key.encode() if isinstance(key, str) else key


def build(objects, mappings, path):
    writer = _kalvex._KalvWriter()
    for payload in objects:
        writer.add_object_raw(payload)
    for key, obj_id in mappings:
        writer.add_key(key, obj_id)
    writer.build(str(path))
    return writer, path.read_bytes()


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(writers, st.randoms(use_true_random=False))
def test_file_holds_the_last_mapping_of_each_key_whatever_the_order(tmp_path, content, rng):
    objects, mappings = content
    model = {}
    for key, obj_id in mappings:
        model[as_bytes(key)] = obj_id
    writer, data = build(objects, mappings, tmp_path / "a.klvx")
    assert read_store(data) == (len(objects), [(k, objects[model[k]]) for k in sorted(model)])

    # The same final content, keys given in another order and as the other key type.
    final = list(model.items())
    rng.shuffle(final)
    mixed = [(k.decode() if rng.random() < 0.5 and _is_utf8(k) else k, v) for k, v in final]
    assert build(objects, mixed, tmp_path / "b.klvx")[1] == data

    writer.build(str(tmp_path / "c.klvx"))
    assert (tmp_path / "c.klvx").read_bytes() == data


def _is_utf8(key):
    try:
        key.decode()
        return True
    except UnicodeDecodeError:
        return False


def test_many_keys_sharing_a_long_prefix(tmp_path):
    """More keys than a comparison sort handles alone, tied over several compare words."""
    rng = random.Random(5)
    prefix = b"tenant/0042/region/eu-west/"
    model = {prefix + rng.randbytes(rng.randrange(0, 12)).replace(b"\x01", b"\x00"): i % 7
             for i in range(5000)}
    items = list(model.items())
    rng.shuffle(items)
    _, data = build([b"obj%d" % i for i in range(7)], items, tmp_path / "p.klvx")
    assert read_store(data)[1] == [(k, b"obj%d" % model[k]) for k in sorted(model)]
