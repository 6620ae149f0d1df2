"""What a training costs the other handles of an index: one process trains an index of
N x D items with L lists on PostgreSQL or Redis while a second upserts batches of 20 and
a third queries one vector at a time; prints the training's time and how long the
others' calls took during it (they wait while it holds writers back or rebuilds).

    .venv/bin/python bench/training_wait.py [--backend postgres|redis] [--items 200000]
        [--dim 128] [--lists 1024]

Needs scripts/services.sh sourced (OMBRIX_TEST_PG / OMBRIX_TEST_REDIS)."""
import argparse
import multiprocessing
import os
import secrets
import statistics
import subprocess
import sys
import time

import numpy as np

import ombrixdb_vell as ombrix


def client(backend, table):
    address = os.environ["OMBRIX_TEST_PG"] if backend == "postgres" else os.environ["OMBRIX_TEST_REDIS"] + ",db:0"
    stores = ombrix.DBConfig(backend, table, address)
    config = ombrix.DBConfig(backend, table + "_cfg", address)
    return ombrix.Client("bench", stores, config, stores)


def points(n, d, seed):
    return np.random.default_rng(seed).standard_normal((n, d)).astype(np.float32)


def other(kind, backend, table, name, key, d, started, done, out):
    index = client(backend, table).load_index(name, key)
    rng = np.random.default_rng(os.getpid())
    calls = []
    started.wait()
    n = 0
    while not done.is_set():
        v = rng.standard_normal((20 if kind == "upsert" else 1, d)).astype(np.float32)
        t = time.perf_counter()
        if kind == "upsert":
            index.upsert([{"id": f"w{os.getpid()}_{n}_{i}", "vector": row} for i, row in enumerate(v)])
        else:
            index.query(v, top_k=10, n_probes=8)
        calls.append(time.perf_counter() - t)
        n += 1
    out.put((kind, calls))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--backend", default="postgres", choices=["postgres", "redis"])
    parser.add_argument("--items", type=int, default=200000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--lists", type=int, default=1024)
    args = parser.parse_args()
    table = f"ombrix_wait_{secrets.token_hex(4)}"
    name, key = "wait", os.urandom(32)
    index = client(args.backend, table).create_index(name, key, metric="squared_euclidean")
    data = points(args.items, args.dim, 1)
    for first in range(0, args.items, 10000):
        index.upsert([{"id": f"id{n}", "vector": data[n]} for n in range(first, min(args.items, first + 10000))])
    index.train(n_lists=64, max_iters=5)  # trained already, as a retraining finds it

    context = multiprocessing.get_context("spawn")
    started, done, out = context.Event(), context.Event(), context.Queue()
    workers = [context.Process(target=other, args=(kind, args.backend, table, name, key, args.dim,
                                                   started, done, out))
               for kind in ("upsert", "query")]
    for w in workers:
        w.start()
    time.sleep(2)  # the others' calls before the training, for comparison
    started.set()
    time.sleep(2)
    t = time.perf_counter()
    index.train(n_lists=args.lists)
    trained = time.perf_counter() - t
    time.sleep(2)
    done.set()
    results = dict(out.get() for _ in workers)
    for w in workers:
        w.join()
    load = open("/proc/loadavg").read().split()[:3]
    print(f"{args.backend}, {args.items} x {args.dim}, {args.lists} lists: training {trained:.1f} s; "
          f"load average {' '.join(load)} on {os.cpu_count()} cores", file=sys.stderr)
    for kind, calls in results.items():
        print(f"  {kind}: {len(calls)} calls, median {statistics.median(calls) * 1e3:.1f} ms, "
              f"longest {max(calls):.2f} s", file=sys.stderr)
    index.delete_index()
    if args.backend == "postgres":
        subprocess.run(["psql", os.environ["OMBRIX_TEST_PG"], "-qc", f"DROP TABLE IF EXISTS {table}, {table}_cfg"],
                       check=False, capture_output=True)


if __name__ == "__main__":
    main()
