"""Processes that stall while they hold an index, on PostgreSQL and on Redis, with holds
made short: a writer stopped in the middle of a large upsert beside a training, and a
training stopped beside a delete_index; on PostgreSQL also a writer whose connection stops
forwarding. The stalled holder holds the others back for about its lease (PostgreSQL ends
a session idle that long, Redis lets the lease run out), no acknowledged item is lost, a
call that lost its hold raises, and a deleted index leaves nothing behind."""
import dataclasses
import multiprocessing
import os
import signal
import subprocess
import time

import numpy as np
import pytest

# Its spawned children import this module first, and need the hooks whatever they inherit.
os.environ["OMBRIX_TESTING_HOOKS"] = "1"
import ombrixdb_vell as ombrix  # noqa: E402
from conftest import live_location, unique_name
from live_stores import INDEX, Location, Redis, StallingRelay, store_id

D = 8
BASE = 10000
LEASE_MS, WAIT_MS = 1500, 30000


def points(first, count):
    return np.random.default_rng(first).standard_normal((count, D)).astype(np.float32)


def run_in_child(results, what, place, name, key, call):
    """Runs call(index) in this process with short holds; reports "ok" or the error text."""
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    index = place.client().load_index(name, key)
    results.put(("started", what))
    try:
        call(index)
        results.put((what, "ok"))
    except Exception as e:  # reported to the test, which judges it
        results.put((what, str(e)))


def upsert_many(index):
    index.upsert([f"w{n}" for n in range(WRITER)], points(1, WRITER))


def train(index):
    index.train(n_lists=8, max_iters=5)


def delete(index):
    index.delete_index()


WRITER = 400000  # long enough to be stopped in the middle on either server


def start(context, what, place, name, key, call):
    """The child and its own queue: a stopped process must hold no lock another one needs."""
    results = context.Queue()
    process = context.Process(target=run_in_child, args=(results, what, place, name, key, call))
    process.start()
    assert results.get(timeout=60) == ("started", what)
    return process, results


def end(child):
    """A child (process, queue) that the test left stopped or running is let go and killed."""
    if child is not None and child[0].is_alive():
        os.kill(child[0].pid, signal.SIGCONT)
        child[0].kill()


def outcome(*children):
    found = {}
    for process, results in children:
        what, text = results.get(timeout=120)
        found[what] = text
        process.join(60)
    return found


@pytest.fixture(params=["postgres", "redis"])
def location(request):
    made = []
    if request.param == "postgres":
        place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("holds_items"),
                         unique_name("holds_cfg"))
    else:
        config_hash = unique_name("holds_cfg")
        place = Location("redis", live_location("OMBRIX_TEST_REDIS") + ",db:0", config_hash, config_hash)
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    yield place, made
    ombrix._set_hold_limits_for_testing(40000, 120000)
    place.drop(made)


def filled(place, made, count):
    name, key = unique_name("holds"), os.urandom(32)
    made.append((name, key))
    index = place.client().create_index(name, key, metric="squared_euclidean")
    vectors = points(0, count)
    for first in range(0, count, 50000):
        n = min(50000, count - first)
        index.upsert([f"id{first + i}" for i in range(n)], vectors[first:first + n])
    return name, key


def stop_for_longer_than_a_lease(process, pause=0.3):
    time.sleep(pause)
    os.kill(process.pid, signal.SIGSTOP)
    time.sleep(2 * LEASE_MS / 1000)


def unreachable(index, ids, vectors):
    answers = index.query(vectors, top_k=1, n_probes=index.n_lists)
    return [i for i, rows in zip(ids, answers) if [r["id"] for r in rows] != [i]]


def test_a_writer_stopped_beside_a_training_loses_no_acknowledged_item(location):
    place, made = location
    name, key = filled(place, made, BASE)
    context = multiprocessing.get_context("spawn")
    writer = start(context, "writer", place, name, key, upsert_many)
    stop_for_longer_than_a_lease(writer[0])
    trainer = start(context, "trainer", place, name, key, train)
    time.sleep(1)
    os.kill(writer[0].pid, signal.SIGCONT)
    found = outcome(writer, trainer)

    assert found["trainer"] == "ok"
    # Stopped past its lease while it held the index, the writer lost its hold (PostgreSQL
    # ended its idle session, Redis let its lease run out): the training went ahead, and
    # the writer was refused. Stopped before it took its hold, it wrote after the training.
    assert found["writer"] == "ok" or "hold" in found["writer"], found["writer"]
    index = place.client().load_index(name, key)
    assert unreachable(index, [f"id{n}" for n in range(BASE)], points(0, BASE)) == []
    if found["writer"] == "ok":
        assert unreachable(index, [f"w{n}" for n in range(0, WRITER, 97)], points(1, WRITER)[::97]) == []


def test_a_deletion_beside_a_stopped_training_leaves_nothing(location):
    place, made = location
    name, key = filled(place, made, 200000)
    doomed = place.client().load_index(name, key)
    context = multiprocessing.get_context("spawn")
    trainer = start(context, "trainer", place, name, key, train)
    stop_for_longer_than_a_lease(trainer[0])
    deleter = start(context, "deleter", place, name, key, delete)
    time.sleep(1)
    os.kill(trainer[0].pid, signal.SIGCONT)
    found = outcome(trainer, deleter)

    assert found["deleter"] == "ok"
    # The stopped training lost its hold past its lease (PostgreSQL ended its idle session,
    # Redis let the lease run out) and the deletion went ahead; the training then failed at
    # whatever it met first (its lost hold, mostly), and what it could no longer write
    # stayed out.
    if place.kind == "postgres":
        assert found["trainer"] != "ok"
    assert place.counts(name, key) == [0, 0, 0, 0]
    if place.kind == "redis":
        redis = Redis(place.address)
        try:
            sid = store_id(name, key, INDEX, postgres=False)
            assert redis("EXISTS", f"{sid}:hold", f"{sid}:writers") == 0
        finally:
            redis.close()
    with pytest.raises(Exception, match="no longer exists: it was deleted"):
        doomed.upsert(["late"], points(2, 1))
    again = place.client().create_index(name, key)
    assert again.list_ids() == [] and again.get_num_vectors() == 0


# ---------------------------------------------------------------- PostgreSQL: silent writers

ACKED = 2000  # upserted and acknowledged by the writer before it stalls


def write_after_acknowledged(results, place, name, key):
    """Upserts ACKED items and says so, then the large upsert the test stalls."""
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    index = place.client().load_index(name, key)
    index.upsert([f"a{n}" for n in range(ACKED)], points(3, ACKED))
    results.put(("started", "writer"))
    try:
        upsert_many(index)
        results.put(("writer", "ok"))
    except Exception as e:
        results.put(("writer", str(e)))


def writers_lock_held(place, name, key):
    """Whether a backend holds the writers' lock of the index shared (an upsert holds it)."""
    sid = store_id(name, key, INDEX, postgres=True)
    folded = (sid ^ (sid >> 32)) & 0xFFFFFFFF
    return subprocess.run(
        ["psql", place.address, "-qAt", "-c",
         "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted AND classid = 44 "
         f"AND objid = {folded} AND objsubid = 2 AND mode = 'ShareLock'"],
        check=True, capture_output=True, text=True).stdout.strip() != "0"


def found_by_get_and_own_vector(index, ids, vectors):
    got = [row["id"] for row in index.get(ids, include=[])]
    return got == ids and unreachable(index, ids, vectors) == []


@pytest.mark.parametrize("stall", ["sigstop", "connection"])
def test_a_writer_stalled_while_it_holds_holds_a_training_back_only_for_its_lease(stall):
    place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("holds_items"),
                     unique_name("holds_cfg"))
    made, relay, process = [], None, None
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    try:
        name, key = filled(place, made, BASE)
        writer_place = place
        if stall == "connection":
            relay = StallingRelay(place.address)
            # Behind the stalled relay the writer gives up at its own limit, 3 s + 2 s.
            writer_place = dataclasses.replace(
                place, address=f"{place.address} host=127.0.0.1 port={relay.port} "
                               "options='-c statement_timeout=3000'")
        context = multiprocessing.get_context("spawn")
        results = context.Queue()
        process = context.Process(target=write_after_acknowledged, args=(results, writer_place, name, key))
        process.start()
        writer = (process, results)
        assert results.get(timeout=120) == ("started", "writer")
        while not writers_lock_held(place, name, key):
            time.sleep(0.02)
        if stall == "sigstop":
            os.kill(process.pid, signal.SIGSTOP)
        else:
            relay.stall()
        assert writers_lock_held(place, name, key)

        trainer = start(context, "trainer", place, name, key, train)
        # The stalled writer is not resumed before the training has finished: the training
        # must not wait for it, beyond its lease.
        what, text = trainer[1].get(timeout=WAIT_MS / 1000 + 60)
        assert (what, text) == ("trainer", "ok")
        if stall == "sigstop":
            os.kill(process.pid, signal.SIGCONT)
        what, text = results.get(timeout=120)
        process.join(60)
        trainer[0].join(60)
        assert what == "writer" and text != "ok"
        if stall == "sigstop":
            assert "hold" in text or "held" in text, text

        index = place.client().load_index(name, key)
        assert index.n_lists == 8
        assert found_by_get_and_own_vector(index, [f"id{n}" for n in range(BASE)], points(0, BASE))
        assert found_by_get_and_own_vector(index, [f"a{n}" for n in range(ACKED)], points(3, ACKED))
    finally:
        if process is not None and process.is_alive():
            os.kill(process.pid, signal.SIGCONT)
            process.kill()
            process.join(60)
        if relay is not None:
            relay.close()
        ombrix._set_hold_limits_for_testing(40000, 120000)
        place.drop(made)


# ------------------------------------------- a writer resumed after its index was deleted

RESUMED = 200000  # long enough to be stopped in the middle of a chunk's writes


def write_with_contents(results, place, name, key):
    """The large upsert the test stops, its items made before it says it started."""
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    vectors = points(4, RESUMED)
    items = [{"id": f"r{n}", "vector": vectors[n], "contents": b"contents of r%d" % n} for n in range(RESUMED)]
    index = place.client().load_index(name, key)
    results.put(("started", "writer"))
    try:
        index.upsert(items)
        results.put(("writer", "ok"))
    except Exception as e:
        results.put(("writer", str(e)))


def test_a_writer_resumed_after_its_index_was_deleted_and_made_again_writes_nothing(location):
    place, made = location
    name, key = filled(place, made, 10)
    context = multiprocessing.get_context("spawn")
    results = context.Queue()
    writer = (context.Process(target=write_with_contents, args=(results, place, name, key)), results)
    writer[0].start()
    assert results.get(timeout=120) == ("started", "writer")
    stop_for_longer_than_a_lease(writer[0], pause=1.0)
    place.client().load_index(name, key).delete_index()
    again = place.client().create_index(name, key, metric="squared_euclidean")
    os.kill(writer[0].pid, signal.SIGCONT)
    found = outcome(writer)

    # Stopped while it held the index, the writer lost its hold, and with it every store
    # sharing the index store's server: nothing it had yet to write landed afterwards.
    assert found["writer"] != "ok"
    _, _, items, data = place.counts(name, key)
    assert (items, data) == (0, 0)
    ids = [f"r{n}" for n in range(0, RESUMED, 1000)]
    assert again.get(ids, include=["contents"]) == []
    assert again.list_ids() == [] and again.get_num_vectors() == 0
