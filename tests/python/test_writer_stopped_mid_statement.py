"""A writer stopped (SIGSTOP) on PostgreSQL while an INSERT of its data store's transaction is
half sent: its session is `active` in ClientRead, where no idle limit and no statement_timeout
applies, and the rows of the transaction's first INSERT stay locked. Another process's upsert
of some of those ids must succeed about a lease after the stop, and the stopped writer must
raise when it resumes."""
import dataclasses
import multiprocessing
import os
import signal
import time

import numpy as np

os.environ["OMBRIX_TESTING_HOOKS"] = "1"
import ombrixdb_vell as ombrix  # noqa: E402
from conftest import live_location, unique_name  # noqa: E402
from live_stores import DATA, Location, Psql, StallingRelay, store_id  # noqa: E402
from test_holds_across_processes import (LEASE_MS, WAIT_MS, end,  # noqa: E402
                                         found_by_get_and_own_vector, outcome, start)

# Two INSERTs of 1000 rows in the data store's transaction, each some 300 KB: far more than
# the 100 KB relayed after the first one, and its text alone far less.
COUNT, DIM = 2000, 64
IDS = [f"id{n}" for n in range(COUNT)]


def vectors(seed, count=COUNT):
    return np.random.default_rng(seed).standard_normal((count, DIM)).astype(np.float32)


def upsert_again(index):
    index.upsert(IDS, vectors(1))


def test_a_writer_stopped_mid_statement_in_its_data_transaction_holds_writers_of_its_ids_only_for_its_lease():
    stop_a_writer_mid_statement("")


def test_a_writer_stopped_mid_statement_is_ended_though_its_process_named_its_sessions():
    stop_a_writer_mid_statement(" application_name=appA")


def stop_a_writer_mid_statement(naming):
    place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("half_items"), unique_name("half_cfg"))
    name, key = unique_name("half"), os.urandom(32)
    relay, child = None, None
    ask = Psql(place.address)
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    try:
        place.client().create_index(name, key, metric="squared_euclidean").upsert(IDS, vectors(0))
        relay = StallingRelay(place.address)
        relayed = dataclasses.replace(place, address=f"{place.address} host=127.0.0.1 port={relay.port}{naming}")
        # The child's first INSERT of its data store waits for the row of the lowest key,
        # which the test holds; the stall set meanwhile then cuts the second one short.
        ask(f"BEGIN; SELECT key FROM {place.items_table} WHERE index_name = {store_id(name, key, DATA, True)} "
            "ORDER BY key::numeric LIMIT 1 FOR UPDATE")
        child = start(multiprocessing.get_context("spawn"), "writer", relayed, name, key, upsert_again)
        while not (waiting := ask.first_waiting()):
            pass
        relay.stall_to_server_after(100000)
        ask("COMMIT")
        half_sent = (f"SELECT state || coalesce(wait_event, '') || (backend_xid IS NOT NULL AND query LIKE 'INSERT%') "
                     f"FROM pg_stat_activity WHERE pid = {waiting}")
        while ask(half_sent) != "activeClientReadtrue":
            time.sleep(0.01)
        os.kill(child[0].pid, signal.SIGSTOP)
        stopped = time.monotonic()
        assert ask(half_sent) == "activeClientReadtrue"

        ids, mine = IDS[:100], vectors(2, 100)
        other = place.client().load_index(name, key)
        while True:
            try:
                other.upsert(ids, mine)
                break
            except Exception as refused:  # the stopped writer still holds rows this needs
                assert time.monotonic() - stopped < LEASE_MS / 1000 + 10, str(refused)
        assert time.monotonic() - stopped < LEASE_MS / 1000 + 10, "held beyond its lease"
        os.kill(child[0].pid, signal.SIGCONT)
        relay.close()
        assert outcome(child)["writer"] != "ok"
        assert found_by_get_and_own_vector(place.client().load_index(name, key), ids, mine)
    finally:
        ask.close()
        end(child)
        if relay is not None:
            relay.close()
        ombrix._set_hold_limits_for_testing(40000, 120000)
        place.drop([(name, key)])
