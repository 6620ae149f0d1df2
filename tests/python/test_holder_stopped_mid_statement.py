"""A training stopped (SIGSTOP) on PostgreSQL while one of its INSERTs is half sent keeps its
session `active` in ClientRead, where no idle limit and no statement_timeout applies. A
second training must get the index about a lease later, the stopped one must raise when
it resumes, and every item must answer."""
import multiprocessing
import os
import random
import signal
import subprocess
import time

import ombrixdb_vell as ombrix
from conftest import live_location, unique_name
from live_stores import INDEX, Location, store_id
from test_holds_across_processes import (LEASE_MS, WAIT_MS, outcome, points, start, train,
                                         unreachable)

COUNT, DIM = 60000, 96


def test_a_training_stopped_mid_statement_holds_a_second_one_back_only_for_its_lease():
    place = Location("postgres", live_location("OMBRIX_TEST_PG"), unique_name("mid_items"),
                     unique_name("mid_cfg"))
    name, key = unique_name("mid"), os.urandom(32)
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    sid = store_id(name, key, INDEX, postgres=True)
    holder = ("SELECT a.state || a.wait_event FROM pg_locks l JOIN pg_stat_activity a USING (pid) "
              "WHERE l.locktype = 'advisory' AND l.granted AND l.classid = 43 AND l.objsubid = 2 "
              f"AND l.objid = {(sid ^ (sid >> 32)) & 0xFFFFFFFF}")
    trainer = None
    try:
        index = place.client().create_index(name, key, ombrix.IndexIVFFlat(DIM))
        vectors = points(0, COUNT * DIM // 8).reshape(COUNT, DIM)
        ids = [f"id{n}" for n in range(COUNT)]
        for first in range(0, COUNT, 20000):
            index.upsert(ids[first:first + 20000], vectors[first:first + 20000])
        # One psql session kept open: a look stops the trainer for about 10 ms, not for a new
        # psql's start, which under load kept its renewals back past the lease. A training
        # that ends before a stop lands mid-statement is followed by another.
        look = subprocess.Popen(["psql", place.address, "-qAt", "-v", "ON_ERROR_STOP=1"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for _ in range(15):  # stopped at random moments until one lands mid-statement
            trainer = start(multiprocessing.get_context("spawn"), "trainer", place, name, key,
                            train)
            while trainer[0].is_alive():
                time.sleep(random.uniform(0, 0.01))
                os.kill(trainer[0].pid, signal.SIGSTOP)
                time.sleep(0.01)  # the server reads what was sent before it waits for more
                look.stdin.write(f"SELECT coalesce(({holder} LIMIT 1), '');\n")
                look.stdin.flush()
                if look.stdout.readline().strip() == "activeClientRead":
                    break
                os.kill(trainer[0].pid, signal.SIGCONT)
            if trainer[0].is_alive():
                break
            outcome(trainer)
        look.stdin.close()
        look.wait()
        assert trainer[0].is_alive(), "no stop landed mid-statement in 15 trainings"
        stopped, second = time.monotonic(), place.client().load_index(name, key)
        while True:
            try:
                second.train(n_lists=4, max_iters=2)
                break
            except Exception as refused:  # the stopped training still holds the index
                assert "is running" in str(refused), str(refused)
                assert time.monotonic() - stopped < LEASE_MS / 1000 + 20, "held beyond its lease"
                time.sleep(0.2)
        os.kill(trainer[0].pid, signal.SIGCONT)
        found = outcome(trainer)["trainer"]
        assert found != "ok" and "hold" in found, found
        fresh = place.client().load_index(name, key)
        assert fresh.n_lists == 4 and [row["id"] for row in fresh.get(ids, include=[])] == ids
        assert unreachable(fresh, ids[::7], vectors[::7]) == []
    finally:
        if trainer is not None and trainer[0].is_alive():
            os.kill(trainer[0].pid, signal.SIGCONT)
            trainer[0].kill()
        ombrix._set_hold_limits_for_testing(40000, 120000)
        place.drop([(name, key)])
