"""An index outlives the process that made it: roads across processes on PostgreSQL and
on Redis over TLS. One process creates, fills and trains an index, a second loads and
changes it, a third reads everything back and deletes it; two processes write one index
at once; a failed load leaves every stored byte as it was."""
import concurrent.futures
import multiprocessing
import os

import numpy as np
import pytest

import ombrixdb_vell as ombrix
from conftest import live_location, unique_name
from live_stores import Location

D = 16
NOT_CONNECTED = ("Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` "
                 "before calling this function.")
POINTS = (lambda rng: (rng.standard_normal((8, D)) * 10)[rng.integers(8, size=13050)] +
          rng.standard_normal((13050, D)))(np.random.default_rng(5)).astype(np.float32)
QUERIES = POINTS[13000:]
DELETED = [f"id{n}" for n in range(0, 12000, 120)]


def item(n):
    """Item n: every fifth without contents and metadata."""
    entry = {"id": f"id{n}", "vector": POINTS[n]}
    if n % 5:
        entry["contents"] = f"contents {n}".encode()
        entry["metadata"] = {"n": n, "tag": ["x", n % 3]}
    return entry


def upsert_range(index, begin, end, batch=2000):
    for first in range(begin, end, batch):
        index.upsert([item(n) for n in range(first, min(end, first + batch))])


def facts(index):
    """What a handle knows of its index, and the answers to the fixed queries."""
    results = index.query(QUERIES, top_k=10)
    return {"dimension": index.dimension, "metric": index.metric, "n_lists": index.n_lists,
            "trained": index.is_trained(), "config": index.index_config(),
            "answers": [[(r["id"], r["distance"]) for r in rows] for rows in results]}


def create_fill_and_train(location, name, key):
    index = location.client().create_index(name, key, metric="squared_euclidean")
    upsert_range(index, 0, 12000)
    index.train()
    return facts(index)


def load_check_and_change(location, name, key):
    index = location.client().load_index(name, key)
    seen = facts(index)
    upsert_range(index, 12000, 13000)
    index.delete(DELETED)
    return seen


def upsert_alongside(location, name, key, barrier, first):
    index = location.client().load_index(name, key)
    barrier.wait()
    upsert_range(index, first, first + 5000, batch=500)


def missing(place, item_name):
    """The store's text for a config record it does not hold (Redis names the index)."""
    if place.kind == "postgres":
        return rf"Index name '{item_name}' does not exist in Postgres\."
    return rf"Index name '{item_name[:-4]}' does not exist in Redis\."


def run_in_processes(*calls):
    """Each call in a process of its own, all at once; their results in order."""
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(len(calls), mp_context=context,
                                                max_tasks_per_child=1) as pool:
        return [f.result() for f in [pool.submit(*call) for call in calls]]


@pytest.fixture(params=["postgres", "redis_tls"])
def location(request):
    made = []
    if request.param == "postgres":
        place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("life_items"),
                         unique_name("life_cfg"))
    else:
        config_hash = unique_name("life_cfg")
        place = Location("redis", live_location("OMBRIX_TEST_REDIS_TLS") + ",db:0", config_hash,
                         config_hash)
    yield place, made
    place.drop(made)


def test_an_index_is_loaded_changed_and_deleted_across_processes(location):
    place, made = location
    name, key = unique_name("road"), os.urandom(32)
    made.append((name, key))
    [made_by_a] = run_in_processes((create_fill_and_train, place, name, key))
    assert made_by_a["trained"] and made_by_a["n_lists"] == 8
    [seen_by_b] = run_in_processes((load_check_and_change, place, name, key))
    assert seen_by_b == made_by_a

    index = place.client().load_index(name, key)
    kept = sorted(set(range(13000)) - {int(i[2:]) for i in DELETED})
    assert sorted(index.list_ids()) == sorted(f"id{n}" for n in kept)
    got = index.get([f"id{n}" for n in kept])
    assert [g["id"] for g in got] == [f"id{n}" for n in kept]
    for n, g in zip(kept, got):
        expected = item(n)
        assert np.array_equal(np.array(g["vector"], dtype=np.float32), expected["vector"])
        assert g["contents"] == expected.get("contents", b"")
        assert g["metadata"] == expected.get("metadata", {})
    assert index.get(DELETED) == []
    answers = index.query(POINTS[[int(i[2:]) for i in DELETED]], top_k=3, n_probes=index.n_lists)
    assert not {r["id"] for rows in answers for r in rows} & set(DELETED)

    index.delete_index()
    assert place.counts(name, key) == [0, 0, 0, 0]
    refused = [(index.delete_index, RuntimeError), (index.get_num_vectors, RuntimeError),
               (lambda: index.delete(["id1"]), RuntimeError), (lambda: index.get(["id1"]), RuntimeError),
               (index.train, RuntimeError), (index.list_ids, ValueError),
               (lambda: index.query(QUERIES), ValueError),
               (lambda: index.upsert([item(1)]), ValueError), (lambda: index.dimension, RuntimeError)]
    for operation, error in refused:
        with pytest.raises(error, match=f"^{NOT_CONNECTED.replace('(', '[(]').replace(')', '[)]')}$"):
            operation()
    assert (index.index_name(), index.is_trained()) == ("", False)
    with pytest.raises(RuntimeError, match=f"^{missing(place, name + '.oei')}$"):
        place.client().load_index(name, key)
    again = place.client().create_index(name, key)
    assert (again.list_ids(), again.get_num_vectors(), again.is_trained()) == ([], 0, False)


def test_two_processes_write_one_index_at_once(location):
    place, made = location
    name, key = unique_name("pair"), os.urandom(32)
    made.append((name, key))
    place.client().create_index(name, key, ombrix.IndexIVFFlat(D))
    barrier = multiprocessing.get_context("spawn").Manager().Barrier(2)
    run_in_processes((upsert_alongside, place, name, key, barrier, 0),
                     (upsert_alongside, place, name, key, barrier, 5000))

    index = place.client().load_index(name, key)
    assert index.get_num_vectors() == 10000
    ids = [f"id{n}" for n in range(10000)]
    assert [g["id"] for g in index.get(ids, include=[])] == ids
    nearest = index.query(POINTS[:10000], top_k=1, n_probes=index.n_lists)
    assert [rows[0]["id"] for rows in nearest] == ids


def test_a_failed_load_leaves_every_stored_byte(location):
    place, made = location
    name, key = unique_name("kept"), os.urandom(32)
    made.append((name, key))
    client = place.client()
    upsert_range(client.create_index(name, key), 0, 300)
    before = place.stored(name, key)
    with pytest.raises(RuntimeError, match="^Failed to decrypt 1 ciphertexts$"):
        client.load_index(name, os.urandom(32))
    assert place.stored(name, key) == before

    place.remove_config_record(f"{name}.ovs")
    before = place.stored(name, key)
    # Without its configuration record the name opens only to be deleted.
    with pytest.raises(ValueError, match="did not finish; delete it again$"):
        client.load_index(name, key).list_ids()
    assert place.stored(name, key) == before
