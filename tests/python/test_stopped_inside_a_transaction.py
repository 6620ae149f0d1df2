"""Processes stopped (SIGSTOP) on PostgreSQL inside a transaction of the index's data
store, holding its locks: a deletion that holds the store's maps lock with its rows
deleted, and a writer whose rows are written and not committed. Another process finishes
the deletion, or writes the same ids, about a lease after the stop; the stopped process
fails when it resumes."""
import multiprocessing
import os
import signal
import subprocess
import time

import pytest

os.environ["OMBRIX_TESTING_HOOKS"] = "1"
import ombrixdb_vell as ombrix  # noqa: E402
from conftest import live_location, unique_name  # noqa: E402
from live_stores import DATA, Location, store_id  # noqa: E402
from test_holds_across_processes import (LEASE_MS, WAIT_MS, delete, filled,  # noqa: E402
                                         found_by_get_and_own_vector, outcome, points, start)

COUNT = 2000


def upsert_again(index):
    index.upsert([f"id{n}" for n in range(COUNT)], points(7, COUNT))


class Look:
    """One psql session of the test's, a line of answer per statement."""

    def __init__(self, address):
        self._psql = subprocess.Popen(["psql", address, "-qAt", "-v", "ON_ERROR_STOP=1"],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, sql):
        self._psql.stdin.write(f"SELECT coalesce(({sql})::text, '');\n")
        self._psql.stdin.flush()
        return self._psql.stdout.readline().strip()

    def run(self, sql):
        self._psql.stdin.write(sql + "\nSELECT 'ran';\n")
        self._psql.stdin.flush()
        while self._psql.stdout.readline().strip() != "ran":
            pass

    def close(self):
        self._psql.stdin.close()
        self._psql.wait()


def stopped_in_its_data_transaction(place, name, key, what, call):
    """A child that runs call(index), stopped while its data store's statement waits for a
    row the test holds; the row is then let go, so the statement ends and the session sits
    in its transaction, locks held, with a client that no longer reads."""
    look = Look(place.address)
    data = store_id(name, key, DATA, postgres=True)
    look.run(f"BEGIN; SELECT key FROM {place.items_table} WHERE index_name = {data} "
             "ORDER BY key DESC LIMIT 1 FOR UPDATE;")
    child = start(multiprocessing.get_context("spawn"), what, place, name, key, call)
    waiting = ""
    while not waiting:
        waiting = look.ask("SELECT min(pid) FROM pg_stat_activity WHERE pg_backend_pid() = ANY(pg_blocking_pids(pid))")
    os.kill(child[0].pid, signal.SIGSTOP)
    stopped = time.monotonic()
    look.run("COMMIT;")
    while look.ask(f"SELECT state FROM pg_stat_activity WHERE pid = {waiting}") == "active":
        time.sleep(0.01)
    assert look.ask(f"SELECT state FROM pg_stat_activity WHERE pid = {waiting}") == "idle in transaction"
    look.close()
    return child, stopped


def finished_about_a_lease_after(stopped, call):
    while True:
        try:
            call()
            break
        except Exception as refused:  # the stopped process still holds what the call needs
            assert time.monotonic() - stopped < LEASE_MS / 1000 + 20, str(refused)
            time.sleep(0.2)
    assert time.monotonic() - stopped < LEASE_MS / 1000 + 20, "held beyond its lease"


@pytest.mark.parametrize("what", ["deleter", "writer"])
def test_a_process_stopped_in_its_data_transaction_holds_others_back_only_for_its_lease(what):
    place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("txn_items"),
                     unique_name("txn_cfg"))
    made, child = [], None
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    try:
        name, key = filled(place, made, COUNT)
        child, stopped = stopped_in_its_data_transaction(place, name, key, what,
                                                         delete if what == "deleter" else upsert_again)
        other = place.client().load_index(name, key)
        ids, vectors = [f"id{n}" for n in range(100)], points(8, 100)
        if what == "deleter":
            finished_about_a_lease_after(stopped, lambda: place.client().load_index(name, key).delete_index())
        else:
            finished_about_a_lease_after(stopped, lambda: other.upsert(ids, vectors))
        os.kill(child[0].pid, signal.SIGCONT)
        assert outcome(child)[what] != "ok"
        if what == "deleter":
            assert place.counts(name, key) == [0, 0, 0, 0]
        else:
            assert found_by_get_and_own_vector(place.client().load_index(name, key), ids, vectors)
    finally:
        if child is not None and child[0].is_alive():
            os.kill(child[0].pid, signal.SIGCONT)
            child[0].kill()
        ombrix._set_hold_limits_for_testing(40000, 120000)
        place.drop(made)
