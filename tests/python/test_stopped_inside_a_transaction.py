"""Processes stopped (SIGSTOP) on PostgreSQL idle inside a transaction of the index's data
store, its locks held: a deletion (the store's maps lock), a writer (rows not committed).
Another process deletes the index, or writes 100 of those ids, about a lease later."""
import multiprocessing
import os
import signal
import time

import pytest

os.environ["OMBRIX_TESTING_HOOKS"] = "1"
import ombrixdb_vell as ombrix  # noqa: E402
from conftest import live_location, unique_name  # noqa: E402
from live_stores import DATA, Location, Psql, store_id  # noqa: E402
from test_holds_across_processes import (LEASE_MS, WAIT_MS, delete, end, filled,  # noqa: E402
                                         found_by_get_and_own_vector, outcome, points, start)


def upsert_again(index):
    index.upsert([f"id{n}" for n in range(2000)], points(7, 2000))


@pytest.mark.parametrize("what", ["deleter", "writer"])
def test_a_process_stopped_in_its_data_transaction_holds_others_back_only_for_its_lease(what):
    place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("txn_items"), unique_name("txn_cfg"))
    made, child = [], None
    ask = Psql(place.address)
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    try:
        name, key = filled(place, made, 2000)
        # The child's statement waits for a row the test holds: stopped there, the row let
        # go, its session sits idle in its transaction.
        ask(f"BEGIN; SELECT key FROM {place.items_table} WHERE index_name = {store_id(name, key, DATA, True)} "
            "ORDER BY key DESC LIMIT 1 FOR UPDATE")
        child = start(multiprocessing.get_context("spawn"), what, place, name, key,
                      delete if what == "deleter" else upsert_again)
        while not (waiting := ask.first_waiting()):
            pass
        os.kill(child[0].pid, signal.SIGSTOP)
        stopped = time.monotonic()
        ask("COMMIT")
        while (state := ask(f"SELECT state FROM pg_stat_activity WHERE pid = {waiting}")) == "active":
            time.sleep(0.01)
        assert state == "idle in transaction"
        ids, vectors = [f"id{n}" for n in range(100)], points(8, 100)
        while True:
            try:
                other = place.client().load_index(name, key)
                other.delete_index() if what == "deleter" else other.upsert(ids, vectors)
                break
            except Exception as refused:  # the stopped process still holds what this needs
                assert time.monotonic() - stopped < LEASE_MS / 1000 + 20, str(refused)
                time.sleep(0.2)
        assert time.monotonic() - stopped < LEASE_MS / 1000 + 20, "held beyond its lease"
        os.kill(child[0].pid, signal.SIGCONT)
        assert outcome(child)[what] != "ok"
        if what == "deleter":
            assert place.counts(name, key) == [0, 0, 0, 0]
        else:
            assert found_by_get_and_own_vector(place.client().load_index(name, key), ids, vectors)
    finally:
        ask.close()
        end(child)
        ombrix._set_hold_limits_for_testing(40000, 120000)
        place.drop(made)
