"""The backend contract (kalvex/_contract.py) on each backend built here, through the
`backend` fixture: what both implementations must answer alike."""
import pytest

from kalvex import _backend, errors

OVER_LIMIT = b"x" * 65536


@pytest.fixture
def raw(backend):
    return _backend.BACKEND


@pytest.mark.parametrize(
    "refused, error",
    [(12, ValueError), (OVER_LIMIT, errors.KalvError)],
    ids=["no-key", "over-limit"],
)
@pytest.mark.parametrize("at", [0, 3, 6])
def test_add_pairs_stores_the_pairs_before_a_refused_key_and_says_how_many(raw, tmp_path, refused, error, at):
    writer = raw.new_writer()
    keys = [b"k%d" % i for i in range(7)]
    keys[at] = refused
    payloads = [b"p%d" % i for i in range(7)]
    assert writer.add_pairs(payloads, keys) == at
    assert writer.key_count() == writer.object_count() == at
    # The refused pair alone raises its own error and changes nothing.
    with pytest.raises(error):
        writer.add_mapped(payloads[at], (refused,))
    assert writer.key_count() == at
    assert writer.add_pairs(payloads[at + 1 :], keys[at + 1 :]) == 6 - at
    path = str(tmp_path / "s.klvx")
    writer.build(path)
    reader = raw.open_reader(path, True)
    assert [reader.find(k) for k in keys if k is not refused] == [p for k, p in zip(keys, payloads) if k is not refused]


def test_both_backends_route_a_million_keys_alike():
    # One rule, reached through either backend: the arguments must arrive whole (a digest
    # over 2**63, a shard count near 2**31) on both paths.
    import random

    native = pytest.importorskip("kalvex._native")
    cffi = pytest.importorskip("kalvex._cffi")
    rng = random.Random(1)
    counts = (1, 2, 3, 16, 1000, 2**31 - 1)
    digests = [rng.getrandbits(64) for _ in range(1_000_000)]
    for i, digest in enumerate(digests):
        n = counts[i % len(counts)]
        assert native.jump_hash(digest, n) == cffi.jump_hash(digest, n), (digest, n)


@pytest.mark.parametrize("n", [0, -1, 2**31])
def test_jump_hash_refuses_a_shard_count_out_of_range(raw, n):
    with pytest.raises(ValueError):
        raw.jump_hash(5, n)
