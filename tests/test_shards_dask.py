"""kalvex.dask.to_kalvex on a local cluster of worker processes (CPython with Dask only)."""
import os

import pytest

import kalvex

# Under the sanitizer run the ASan runtime is preloaded into every worker process too, where
# it would instrument Dask's own native libraries (pyarrow) rather than kalvex's; the native
# calls of sharded stores are covered there by test_shards.py.
if "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("Dask workers under a preloaded sanitizer runtime", allow_module_level=True)
dask = pytest.importorskip("dask")
db = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")
import kalvex.dask  # noqa: E402


def record(i):
    return {"id": f"user:{i}", "group": i % 97}


@pytest.fixture(scope="module")
def client():
    # A killed worker fails its task at once instead of after three restarts.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster, distributed.Client(cluster) as client:
            yield client


def test_bag_of_200000_records_reads_back_equal(client, tmp_path):
    records = db.range(200_000, npartitions=8).map(lambda i: record(i))
    version = kalvex.dask.to_kalvex(records, tmp_path, 16, key="id", value=lambda r: r["group"])
    with kalvex.open(tmp_path) as r:
        assert r.path == version and len(r) == 200_000
        assert dict(r.items()) == {f"user:{i}": i % 97 for i in range(200_000)}
        # Equal values are stored once per shard; the shards' mapped indexes are not counted.
        assert r.stats()["num_objects"] == 97 * 16
        assert all(shard.stats()["index"] for shard in r.shards)


def test_pairs_and_empty_shards(client, tmp_path):
    pairs = db.from_sequence([("a", 1), ("b", [2]), (b"c", None)], npartitions=2)
    kalvex.dask.to_kalvex(pairs, tmp_path, 40, index=False)
    with kalvex.open(tmp_path) as r:
        assert dict(r) == {"a": 1, "b": [2], "c": None}
        assert r.stats()["num_shards"] == 40
        assert not any(shard.stats()["index"] for shard in r.shards)


def test_killed_worker_leaves_the_current_version_and_the_next_build_succeeds(client, tmp_path):
    kalvex.dask.to_kalvex(db.from_sequence([("a", 1)]), tmp_path, 4)

    def die_on_one_record(i):
        if i == 777:
            os._exit(1)
        return i

    records = db.range(2000, npartitions=4).map(lambda i: (str(i), die_on_one_record(i)))
    with pytest.raises(distributed.scheduler.KilledWorker):
        kalvex.dask.to_kalvex(records, tmp_path, 4, retries=0)
    with kalvex.open(tmp_path) as r:
        assert dict(r) == {"a": 1}
    client.wait_for_workers(2, timeout=60)
    kalvex.dask.to_kalvex(db.range(2000, npartitions=4).map(lambda i: (str(i), i)), tmp_path, 4)
    with kalvex.open(tmp_path) as r:
        assert len(r) == 2000 and r["777"] == 777
    assert not any(name.startswith(".staging-") for name in os.listdir(tmp_path))


def test_dataframe_rows_as_values(client, tmp_path):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    # A datetime column is stored through default=, as KalvWriter's, without converting it first.
    at = pd.to_datetime(["2025-01-01", "2025-01-02", "2025-01-03"])
    frame = dd.from_pandas(pd.DataFrame({"id": ["a", "b", "c"], "n": [1, 2, 3], "at": at}), npartitions=2)
    kalvex.dask.to_kalvex(frame, tmp_path, 2, key="id", default=lambda t: t.isoformat())
    with kalvex.open(tmp_path) as r:
        assert r["b"] == {"id": "b", "n": 2, "at": "2025-01-02T00:00:00"} and len(r) == 3


def test_compressed_shards_share_the_dictionary_trained_from_the_first_partition(client, tmp_path):
    bag = db.from_sequence([record(i) for i in range(6000)], npartitions=3)
    kalvex.dask.to_kalvex(bag, tmp_path, 4, key="id", compression="zstd")
    with kalvex.open(tmp_path) as r:
        assert r["user:4321"] == record(4321) and len(r) == 6000
        dictionaries = {shard.dictionary() for shard in r.shards}
        assert len(dictionaries) == 1 and dictionaries.pop()
        assert all(shard.stats()["compressed"] for shard in r.shards)
