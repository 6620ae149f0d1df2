"""A handle kept while other processes delete its index (PostgreSQL, Redis): across a
re-creation of the same name and key it touches nothing of the new index; across a
deletion killed half way every call says so until a new process finishes it, and then
nothing of the index is left."""
import dataclasses
import multiprocessing
import os
import signal
import time

import pytest

os.environ["OMBRIX_TESTING_HOOKS"] = "1"
from conftest import live_location, unique_name  # noqa: E402
from live_stores import Location, StallingRelay  # noqa: E402
from test_holds_across_processes import LEASE_MS, end, filled, location, outcome, points, start  # noqa: F401,E402


def said(index):
    """What each call of the handle answers: "answered", or its error's text."""
    calls = [lambda: index.delete([f"id{n}" for n in range(100)]), lambda: index.get(["id0"]), index.list_ids,
             index.get_num_vectors, lambda: index.query(points(0, 1), top_k=1), lambda: index.upsert(["x"], points(2, 1))]
    texts = []
    for call in calls:
        try:
            call()
            texts.append("answered")
        except Exception as e:  # judged by the test
            texts.append(str(e))
    return texts


def recreate(place, name, key, new_key):
    place.client().load_index(name, key).delete_index()
    place.client().create_index(name, new_key).upsert([f"id{n}" for n in range(100)], points(5, 100))


def delete(index):
    index.delete_index()


@pytest.mark.parametrize("same_key", [True, False], ids=["same key", "another key"])
def test_a_handle_kept_across_a_recreation_touches_nothing_of_the_new_index(location, same_key):
    place, made = location
    name, key = filled(place, made, 2000)
    new_key = key if same_key else os.urandom(32)
    kept = place.client().load_index(name, key)
    child = multiprocessing.get_context("spawn").Process(target=recreate, args=(place, name, key, new_key))
    child.start()
    child.join(120)
    new_rows = place.counts(name, new_key)
    gone = f"Index '{name}' no longer exists"
    assert all(gone in text for text in said(kept)), said(kept)
    with pytest.raises(RuntimeError, match=gone):
        kept.delete_index()
    assert place.counts(name, new_key) == new_rows
    if not same_key:
        counts = place.counts(name, key)
        assert counts[:1] + counts[2:] == [0, 0, 0]  # the config records are the new index's
    assert len(place.client().load_index(name, new_key).get([f"id{n}" for n in range(100)])) == 100


def delete_half(results, go, place, name, key, count=50):
    """With the default lease, so that the server keeps the session while the test holds it."""
    index = place.client().load_index(name, key)
    results.put(("started", "delete"))
    go.wait(60)
    try:
        index.delete([f"id{n}" for n in range(count)])
        results.put(("delete", "ok"))
    except Exception as e:  # judged by the test
        results.put(("delete", str(e)))


# One id: the session prepares the delete first, and that answer is held, so that the check
# runs after the index was made again and refuses. Several ids go in one round trip: the
# delete ran before the index was deleted, and only its answer is late.
@pytest.mark.parametrize("count, said", [(1, "no longer exists"), (50, "ok")], ids=["one id", "several ids"])
def test_an_item_delete_whose_check_answered_late_removes_nothing_of_the_index_made_again(count, said):
    """PostgreSQL: the answer to the delete's check is held on its way back while another
    process deletes the index and makes it again with the same key and ids."""
    place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("held_items"), unique_name("held_cfg"))
    made, relay, child = [], StallingRelay(place.address), None
    try:
        name, key = filled(place, made, 100)
        relayed = dataclasses.replace(place, address=f"{place.address} host=127.0.0.1 port={relay.port}")
        context = multiprocessing.get_context("spawn")
        results, go = context.Queue(), context.Event()
        child = (context.Process(target=delete_half, args=(results, go, relayed, name, key, count)), results)
        child[0].start()
        assert results.get(timeout=60) == ("started", "delete")
        relay.hold_answer_to(b"'18446744073709551614'")  # the training state's key
        go.set()
        assert relay.holding.wait(60)
        place.client().load_index(name, key).delete_index()
        place.client().create_index(name, key, metric="squared_euclidean").upsert(
            [f"id{n}" for n in range(100)], points(5, 100))
        relay.release()
        text = outcome(child)["delete"]
        assert text == "ok" if said == "ok" else f"Index '{name}' {said}" in text, text
        assert len(place.client().load_index(name, key).get([f"id{n}" for n in range(100)])) == 100
    finally:
        end(child)
        relay.close()
        place.drop(made)


def test_a_deletion_killed_half_way_is_reported_and_finished_by_another_process(location):
    place, made = location
    name, key = filled(place, made, 200000)
    kept = place.client().load_index(name, key)
    before, caught = place.counts(name, key), None
    for pause in (0.0, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0):
        deleter = start(multiprocessing.get_context("spawn"), "deleter", place, name, key, delete)
        time.sleep(pause)
        os.kill(deleter[0].pid, signal.SIGSTOP)  # what the server runs for it ends first
        time.sleep(1)
        counts = place.counts(name, key)
        os.kill(deleter[0].pid, signal.SIGKILL)
        deleter[0].join(30)
        if counts != before:
            caught = counts
            break
    time.sleep(2 * LEASE_MS / 1000)  # the dead deleter's hold ends
    if caught not in (None, [0, 0, 0, 0]):
        unfinished = f"A deletion of index '{name}' did not finish; delete it again"
        assert all(unfinished in text for text in said(kept)), (caught, said(kept))
        place.client().load_index(name, key).delete_index()
    other_key = os.urandom(32)
    place.client().create_index(name, other_key).delete_index()
    assert place.counts(name, key) == place.counts(name, other_key) == [0, 0, 0, 0]
    if caught in (None, [0, 0, 0, 0]):
        pytest.skip(f"no kill landed half way through a deletion ({caught})")
