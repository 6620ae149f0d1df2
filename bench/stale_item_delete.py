#!/usr/bin/env python3
"""An item delete held in the network while another process deletes the index and makes
it again under the same name and key with the same ids, then let through. Reported per
run: what the held delete said, and how many of the index made again's ids still have
their record and their contents.

The held process's index location goes through a loopback relay that keeps the first
message with a DELETE (the delete's first statement there) until it is let go. Its
contents location (items location) is, by --case:
- other-database: another database of the same PostgreSQL server (made if missing), a
  store the index store's holds do not fence;
- spelled-otherwise: the same database, its connection string's keys in reverse order
  (and not through the relay).

    source scripts/services.sh
    .venv/bin/python bench/stale_item_delete.py [--case other-database,spelled-otherwise] \\
        [--runs 2] [--items 2000] [--pg "$OMBRIX_TEST_PG"]
"""
import argparse
import multiprocessing
import os
import secrets
import subprocess
import time
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from creation_held import DEFAULT_PG, HoldingRelay  # noqa: E402

OTHER_DATABASE = "ombrix_bench_other"
DIM = 8


def locations(case, address, tag, relay_port=None):
    """(index, config, contents) locations as DBConfig arguments."""
    fields = dict(part.split("=", 1) for part in address.split())
    index_at = address
    if relay_port is not None:
        index_at = " ".join(f"{k}={v}" for k, v in {**fields, "host": "127.0.0.1", "port": relay_port}.items())
    if case == "other-database":
        contents_at = " ".join(f"{k}={v}" for k, v in {**fields, "dbname": OTHER_DATABASE}.items())
    else:
        contents_at = " ".join(reversed(address.split()))
    items = ("postgres", f"bench_stale_items_{tag}")
    return (items + (index_at,), ("postgres", f"bench_stale_config_{tag}", address), items + (contents_at,))


def client(places):
    import ombrixdb_vell as ombrix
    index, config, contents = (ombrix.DBConfig(*place) for place in places)
    return ombrix.Client("bench", index, config, contents)


def text(contents):
    return contents.decode() if isinstance(contents, bytes) else contents


def held_delete(places, name, key, ids, said):
    index = client(places).load_index(name, key)
    said.put("loaded")
    time.sleep(0.5)  # the queue's feeder thread sends it; the delete below keeps the GIL
    try:
        index.delete(ids)
        said.put("returned")
    except Exception as error:  # noqa: BLE001 - reported as it came
        said.put(f"{type(error).__name__}: {str(error).splitlines()[0][:160]}")


def one_run(case, address, items):
    tag, name, key = secrets.token_hex(3), f"stale_{secrets.token_hex(3)}", os.urandom(32)
    ids = [f"id{n}" for n in range(items)]
    vectors = np.random.default_rng(1).standard_normal((items, DIM)).astype(np.float32)

    def fill(index, mark):
        index.upsert([{"id": i, "vector": v, "contents": f"{mark}{i}"} for i, v in zip(ids, vectors)])

    direct = locations(case, address, tag)
    fill(client(direct).create_index(name, key, metric="squared_euclidean"), "old-")
    fields = dict(part.split("=", 1) for part in address.split())
    relay = HoldingRelay(fields.get("host", "127.0.0.1"), int(fields.get("port", 5432)), b"DELETE")
    context = multiprocessing.get_context("spawn")
    said = context.Queue()
    deleter = context.Process(target=held_delete,
                              args=(locations(case, address, tag, relay.port), name, key, ids[:50], said))
    deleter.start()
    try:
        assert said.get(timeout=60) == "loaded"
        if not relay.holding.wait(30):
            return "the delete's statement was never seen", None, None
        client(direct).load_index(name, key).delete_index()
        fill(client(direct).create_index(name, key, metric="squared_euclidean"), "new-")
    finally:
        relay.release()
    outcome = said.get(timeout=120)
    deleter.join(30)
    fresh = client(direct).load_index(name, key)
    got = fresh.get(ids, include=["contents"])
    with_contents = sum(1 for item in got if text(item.get("contents")) == f"new-{item['id']}")
    kept = len(fresh.list_ids())
    fresh.delete_index()
    for table in ("items", "config"):
        subprocess.run(["psql", address, "-qAtc", f"DROP TABLE IF EXISTS bench_stale_{table}_{tag}"], check=True)
    if case == "other-database":
        subprocess.run(["psql", direct[2][2], "-qAtc", f"DROP TABLE IF EXISTS bench_stale_items_{tag}"], check=True)
    return outcome, kept, with_contents


def ensure_other_database(address):
    fields = dict(part.split("=", 1) for part in address.split())
    admin = ["psql", "-h", fields.get("host", "127.0.0.1"), "-p", fields.get("port", "5432"), "-U", "postgres",
             "-d", "postgres", "-qAt", "-c"]
    exists = subprocess.run(admin + [f"SELECT 1 FROM pg_database WHERE datname = '{OTHER_DATABASE}'"],
                            capture_output=True, text=True, check=True).stdout.strip()
    if not exists:
        owner = fields.get("user", "postgres")
        subprocess.run(admin + [f"CREATE DATABASE {OTHER_DATABASE} OWNER {owner}"], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--case", default="other-database,spelled-otherwise")
    parser.add_argument("--runs", type=int, default=2)
    parser.add_argument("--items", type=int, default=2000)
    parser.add_argument("--pg", default=DEFAULT_PG)
    args = parser.parse_args()
    with open("/proc/loadavg") as load:
        print("load at start:", " ".join(load.read().split()[:3]), file=sys.stderr)
    for case in args.case.split(","):
        if case == "other-database":
            ensure_other_database(args.pg)
        for _ in range(args.runs):
            said, kept, with_contents = one_run(case, args.pg, args.items)
            print(f"{case:17} held delete: {said}; the index made again keeps {kept} of {args.items} ids, "
                  f"{with_contents} with their own contents", file=sys.stderr)


if __name__ == "__main__":
    main()
