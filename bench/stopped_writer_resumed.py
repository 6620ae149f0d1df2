#!/usr/bin/env python3
"""A writer stopped (SIGSTOP) at many moments of an upsert, its index deleted by another
process and made again (with the same key and with another key), then the writer resumed:
what of the deleted index is readable, listed, found by a query or stored afterwards.

Each run starts a child that upserts --items items with contents in one call, stops it at
a fraction of that upsert's own length (measured first, unstopped), waits out the lease,
deletes the index from this process, creates it again, resumes the writer and waits for
it. Then it counts the rows (PostgreSQL) or keys (Redis) of the deleted index's stores and
asks the new index for the writer's ids by id, by listing and by their own vectors. Holds
are made short (1.5 s) through the testing hooks.

With --contents-spelled-otherwise the contents location names the same server in other
words than the index location (PostgreSQL: the connection string's keys in reverse order;
Redis: "localhost" for "127.0.0.1").

    source scripts/services.sh
    .venv/bin/python bench/stopped_writer_resumed.py [--moments 20] [--items 100000] \\
        [--backends postgres,redis] [--contents-spelled-otherwise]
"""
import argparse
import multiprocessing
import os
import signal
import sys
import time

os.environ["OMBRIX_TESTING_HOOKS"] = "1"
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import numpy as np  # noqa: E402
import ombrixdb_vell as ombrix  # noqa: E402
from conftest import live_location, unique_name  # noqa: E402
from live_stores import Location  # noqa: E402

LEASE_MS, WAIT_MS = 1500, 60000
D = 16


def points(seed, count):
    return np.random.default_rng(seed).standard_normal((count, D)).astype(np.float32)


def write(said, place, name, key, count):
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    vectors = points(4, count)
    items = [{"id": f"r{n}", "vector": vectors[n], "contents": b"c%d" % n} for n in range(count)]
    index = place.client().load_index(name, key)
    said.put("started")
    began = time.monotonic()
    try:
        index.upsert(items)
        said.put(("ok", time.monotonic() - began))
    except Exception as error:  # reported to the parent, which counts it
        said.put((str(error).splitlines()[0][:120], time.monotonic() - began))


class SpelledOtherwise(Location):
    """Contents on the same server as the other stores, its location written otherwise."""

    def client(self, cpu_threads=0):
        if self.kind == "postgres":
            contents_at = " ".join(reversed(self.address.split()))
        else:
            contents_at = self.address.replace("127.0.0.1", "localhost")
        assert contents_at != self.address
        stores = ombrix.DBConfig(self.kind, self.items_table, self.address)
        config = ombrix.DBConfig(self.kind, self.config_table, self.address)
        contents = ombrix.DBConfig(self.kind, self.items_table, contents_at)
        return ombrix.Client("k", stores, config, contents, cpu_threads)


def place_for(backend, spelled_otherwise):
    kind = SpelledOtherwise if spelled_otherwise else Location
    if backend == "postgres":
        return kind("postgres", live_location("OMBRIX_TEST_PG"), unique_name("sw_items"), unique_name("sw_cfg"))
    config = unique_name("sw_cfg")
    return kind("redis", live_location("OMBRIX_TEST_REDIS") + ",db:0", config, config)


def run_once(context, place, count, stop_after, same_key):
    name, key = unique_name("sw"), os.urandom(32)
    place.client().create_index(name, key, metric="squared_euclidean").upsert(["seed"], points(1, 1))
    said = context.Queue()
    child = context.Process(target=write, args=(said, place, name, key, count))
    child.start()
    assert said.get(timeout=300) == "started"
    if stop_after is None:
        outcome = said.get(timeout=600)
        child.join(60)
        place.client().load_index(name, key).delete_index()
        return outcome[1]
    time.sleep(stop_after)
    os.kill(child.pid, signal.SIGSTOP)
    time.sleep(2 * LEASE_MS / 1000)
    place.client().load_index(name, key).delete_index()
    new_key = key if same_key else os.urandom(32)
    again = place.client().create_index(name, new_key, metric="squared_euclidean")
    again.upsert(["new"], points(1, 1) + 1000)  # its dimension, far from the writer's items
    os.kill(child.pid, signal.SIGCONT)
    outcome = said.get(timeout=600)
    child.join(60)
    index_rows, _, items_rows, data_rows = place.counts(name, key)
    ids = [f"r{n}" for n in range(0, count, max(1, count // 200))]
    readable = len(again.get(ids, include=["contents"]))
    listed = len(again.list_ids()) - 1
    vectors = points(4, count)[:: max(1, count // 200)]
    found = sum(1 for i, rows in zip(ids, again.query(vectors, top_k=1)) if rows and rows[0]["id"] == i)
    again.delete_index()
    if not same_key:
        # The deleted index's own stores: nothing of the resumed writer may be there.
        place.client().create_index(name, key).delete_index()
    return outcome, index_rows, items_rows, data_rows, readable, listed, found


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--moments", type=int, default=20)
    parser.add_argument("--items", type=int, default=100_000)
    parser.add_argument("--backends", default="postgres,redis")
    parser.add_argument("--contents-spelled-otherwise", action="store_true")
    args = parser.parse_args()
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    context = multiprocessing.get_context("spawn")
    for backend in args.backends.split(","):
        place = place_for(backend, args.contents_spelled_otherwise)
        try:
            length = run_once(context, place, args.items, None, True)
            print(f"{backend}: an unstopped upsert of {args.items} items takes {length:.2f} s", file=sys.stderr)
            for same_key in (True, False):
                bad = 0
                for moment in range(args.moments):
                    stop_after = length * (moment + 0.5) / args.moments
                    (said, took), *counts = run_once(context, place, args.items, stop_after, same_key)
                    # Made again under the same key, the new index has its own index-store rows
                    # and the record of its one item in the same data store.
                    if same_key:
                        counts[0], counts[2] = 0, counts[2] - 1
                    left = [c for c in counts if c]
                    bad += bool(left)
                    print(f"{backend} {'same' if same_key else 'other'} key, stop at {stop_after:.2f} s: writer "
                          f"'{said}' {took:.2f} s after it began; rows of the deleted index's index/items/data stores {counts[0]}/"
                          f"{counts[1]}/{counts[2]}, readable "
                          f"{counts[3]}, listed {counts[4]}, found {counts[5]}", file=sys.stderr)
                print(f"{backend} {'same' if same_key else 'other'} key: {bad} of {args.moments} runs left "
                      "something of the deleted index", file=sys.stderr)
        finally:
            place.drop([])


if __name__ == "__main__":
    main()
