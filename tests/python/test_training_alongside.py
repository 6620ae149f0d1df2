"""A training in one process while a second upserts and a third deletes, on PostgreSQL and
on Redis: afterwards every acknowledged item is found by its own vector, no acknowledged
delete comes back in any view, and no upsert failed."""
import concurrent.futures
import multiprocessing
import os

import numpy as np
import pytest

from conftest import live_location, unique_name
from live_stores import Location

D = 8
BASE = 10000
BATCHES, BATCH = 300, 20
POINTS = np.random.default_rng(11).standard_normal((BASE + BATCHES * BATCH, D)).astype(np.float32)


def batch_ids(b):
    return [f"u{b}_{i}" for i in range(BATCH)]


def row_of(item_id):
    if item_id.startswith("id"):
        return int(item_id[2:])
    b, i = item_id[1:].split("_")
    return BASE + int(b) * BATCH + int(i)


def train_three_times(place, name, key, barrier):
    index = place.client().load_index(name, key)
    barrier.wait()
    for _ in range(3):
        index.train(n_lists=8, max_iters=5)
    return index.is_trained()


def upsert_batches(place, name, key, barrier, acknowledged):
    index = place.client().load_index(name, key)
    barrier.wait()
    failures = []
    for b in range(BATCHES):
        ids = batch_ids(b)
        try:
            index.upsert([{"id": i, "vector": POINTS[row_of(i)]} for i in ids])
        except Exception as e:  # counted: the test asserts there are none
            failures.append(f"batch {b}: {e}")
            continue
        acknowledged.put(b)
    acknowledged.put(None)
    return failures


def delete_some(place, name, key, barrier, acknowledged):
    """Deletes five items of every third acknowledged batch, as soon as it is acknowledged."""
    index = place.client().load_index(name, key)
    barrier.wait()
    deleted = []
    while (b := acknowledged.get()) is not None:
        if b % 3 == 0:
            ids = batch_ids(b)[:5]
            index.delete(ids)
            deleted += ids
    return deleted


@pytest.fixture(params=["postgres", "redis"])
def location(request):
    made = []
    if request.param == "postgres":
        place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("beside_items"),
                         unique_name("beside_cfg"))
    else:
        config_hash = unique_name("beside_cfg")
        place = Location("redis", live_location("OMBRIX_TEST_REDIS") + ",db:0", config_hash,
                         config_hash)
    yield place, made
    place.drop(made)


def test_a_training_beside_a_writer_and_a_deleter_loses_and_brings_back_nothing(location):
    place, made = location
    name, key = unique_name("beside"), os.urandom(32)
    made.append((name, key))
    index = place.client().create_index(name, key, metric="squared_euclidean")
    for first in range(0, BASE, 2500):
        index.upsert([{"id": f"id{n}", "vector": POINTS[n]} for n in range(first, first + 2500)])

    context = multiprocessing.get_context("spawn")
    with context.Manager() as manager:
        barrier, acknowledged = manager.Barrier(3), manager.Queue()
        with concurrent.futures.ProcessPoolExecutor(3, mp_context=context) as pool:
            training = pool.submit(train_three_times, place, name, key, barrier)
            writing = pool.submit(upsert_batches, place, name, key, barrier, acknowledged)
            deleting = pool.submit(delete_some, place, name, key, barrier, acknowledged)
            assert training.result()
            assert writing.result() == []
            deleted = set(deleting.result())
    assert len(deleted) == 5 * len(range(0, BATCHES, 3))

    fresh = place.client().load_index(name, key)
    every = [f"id{n}" for n in range(BASE)] + [i for b in range(BATCHES) for i in batch_ids(b)]
    kept = [i for i in every if i not in deleted]
    answers = fresh.query(POINTS[[row_of(i) for i in kept]], top_k=1, n_probes=fresh.n_lists)
    assert [i for i, rows in zip(kept, answers) if [r["id"] for r in rows] != [i]] == []
    assert sorted(fresh.list_ids()) == sorted(kept)
    assert fresh.get(sorted(deleted)) == []
    answers = fresh.query(POINTS[[row_of(i) for i in deleted]], top_k=3, n_probes=fresh.n_lists)
    assert not {r["id"] for rows in answers for r in rows} & deleted
