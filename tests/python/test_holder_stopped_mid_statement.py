"""A training stopped (SIGSTOP) on PostgreSQL while one of its large INSERTs is half sent
holds its session `active`, the server waiting for the rest of the message: no idle limit
and no statement_timeout ends it. A second training must still get the index about a
lease after the stop, the stopped one must raise when it resumes, and every item must
answer afterwards."""
import multiprocessing
import os
import random
import signal
import subprocess
import time

import pytest

from conftest import live_location, unique_name
from live_stores import INDEX, Location, store_id
from test_holds_across_processes import LEASE_MS, WAIT_MS, outcome, points, start, train, unreachable

import ombrixdb_vell as ombrix

COUNT, DIM = 60000, 96


def holder_session(place, name, key):
    """(pid, state, wait event) of the session holding the admission lock of the index."""
    sid = store_id(name, key, INDEX, postgres=True)
    row = subprocess.run(
        ["psql", place.address, "-qAt", "-F", "|", "-c",
         "SELECT a.pid, a.state, a.wait_event FROM pg_locks l JOIN pg_stat_activity a USING (pid) "
         "WHERE l.locktype = 'advisory' AND l.granted AND l.classid = 43 AND l.objsubid = 2 "
         f"AND l.objid = {(sid ^ (sid >> 32)) & 0xFFFFFFFF}"],
        check=True, capture_output=True, text=True).stdout.strip()
    return tuple(row.split("|")) if row else None


def test_a_training_stopped_mid_statement_holds_a_second_one_back_only_for_its_lease():
    place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("mid_items"),
                     unique_name("mid_cfg"))
    name, key = unique_name("mid"), os.urandom(32)
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    trainer = None
    try:
        index = place.client().create_index(name, key, ombrix.IndexIVFFlat(DIM))
        vectors = points(0, COUNT * DIM // 8).reshape(COUNT, DIM)
        ids = [f"id{n}" for n in range(COUNT)]
        for first in range(0, COUNT, 20000):
            index.upsert(ids[first:first + 20000], vectors[first:first + 20000])
        context = multiprocessing.get_context("spawn")
        trainer = start(context, "trainer", place, name, key, train)
        # Stopped at random moments until the stop lands while a statement of the holder is
        # half sent: the server then waits in ClientRead with the statement active.
        caught = None
        while caught is None and trainer[0].is_alive():
            time.sleep(random.uniform(0, 0.03))
            os.kill(trainer[0].pid, signal.SIGSTOP)
            session = holder_session(place, name, key)
            if session and session[1:] == ("active", "ClientRead"):
                caught = time.monotonic()
            else:
                os.kill(trainer[0].pid, signal.SIGCONT)
        assert caught is not None, "the training ended before a stop landed mid-statement"

        second = place.client().load_index(name, key)
        while True:
            try:
                second.train(n_lists=4, max_iters=2)
                break
            except Exception as refused:  # the stopped training still holds the index
                assert "is running" in str(refused), str(refused)
                assert time.monotonic() - caught < LEASE_MS / 1000 + 20, "held far beyond its lease"
                time.sleep(0.2)
        os.kill(trainer[0].pid, signal.SIGCONT)
        found = outcome(trainer)
        assert found["trainer"] != "ok" and "hold" in found["trainer"], found["trainer"]

        fresh = place.client().load_index(name, key)
        assert fresh.n_lists == 4
        assert [row["id"] for row in fresh.get(ids, include=[])] == ids
        assert unreachable(fresh, ids[::7], vectors[::7]) == []
    finally:
        if trainer is not None and trainer[0].is_alive():
            os.kill(trainer[0].pid, signal.SIGCONT)
            trainer[0].kill()
            trainer[0].join(60)
        ombrix._set_hold_limits_for_testing(40000, 120000)
        place.drop([(name, key)])
