#!/usr/bin/env python3
"""Whether a call's cost stays flat as an index grows: one process grows an index from 0 to
--items items (16-d) on one session, and at a small size and at --items (N) times a single
upsert (a batch of 1), get of 1 and of 100 ids, delete of 1 and of 100 ids, and a cached
query. Each figure is the median of its calls; each line ends with cost(N) / cost(small),
which should stay at or below 1.2.

Two indexes, each in tables of its own, so that each starts on an empty table: one never
trained, timed at 2,000 items and at N; and one trained at 10,000 items (the fewest a
training takes) and trained again at N, each time into lists of 125 items, so that a query
reads as much at both sizes. An index's first items come a few at a time: the first 20 go
in upserts of 1 and the rest of the first 2,000 in upserts of 100, so that the server plans
the statements of the session while the table is small; later ones go in upserts of
10,000. (The untrained index keeps every item in one list: its query's arithmetic grows
with N whatever the store does.)

PostgreSQL: the tables are the bench's own, made with autovacuum off and never analysed
while the index grows, as a table between two analyses is; then, after an ANALYZE, a
session opened anew times the calls at N again ("analysed" lines, against the same small
figures). Redis: the same without the analysis.

    source scripts/services.sh
    taskset -c 2 .venv/bin/python bench/flat_cost.py [--items 200000] [--backend postgres|redis|both] \\
        [--rounds 5]
"""
import argparse
import contextlib
import os
import secrets
import statistics
import subprocess
import sys
import time

import numpy as np

import ombrixdb_vell as ombrix

DIM = 16
SMALL = {"untrained": 2_000, "trained": 10_000}  # a training takes 10,000 items at least
ITEMS_PER_LIST = 125
# Calls timed per figure.
CALLS = {"upsert 1": 60, "get 1": 100, "get 100": 60, "delete 1": 60, "delete 100": 20, "cached query": 100}


class Grower:
    """One index and what it holds: ids i0 .. i<size-1>, and vectors drawn as needed."""

    def __init__(self, index, seed):
        self.index = index
        self.size = 0
        self.fresh = 0  # ids of single upserts, past the grown ones
        self.rng = np.random.default_rng(seed)

    def vectors(self, count):
        return self.rng.standard_normal((count, DIM)).astype("float32")

    def grow_to(self, size):
        while self.size < size:
            count = min(1 if self.size < 20 else 100 if self.size < 2_000 else 10_000, size - self.size)
            self.index.upsert([f"i{n}" for n in range(self.size, self.size + count)], self.vectors(count))
            self.size += count


def median_ms(run, count):
    seconds = []
    for c in range(count):
        started = time.perf_counter()
        run(c)
        seconds.append(time.perf_counter() - started)
    return 1e3 * statistics.median(seconds)


def time_calls(grower, rounds):
    """Median milliseconds of each call on the index as it stands, over `rounds` rounds of
    each call in turn (the median of the rounds' medians); leaves it holding what it held.
    Calls of a fraction of a millisecond swing with the CPUs' wake-ups from round to round:
    one round alone can be off by 2x."""
    per_round = [time_round(grower) for _ in range(rounds)]
    return {call: statistics.median(figures[call] for figures in per_round) for call in per_round[0]}


def time_round(grower):
    index, size = grower.index, grower.size
    figures = {}
    rng = np.random.default_rng(size)

    def upsert_one(c):
        index.upsert([f"s{grower.fresh + c}"], grower.vectors(1))
    figures["upsert 1"] = median_ms(upsert_one, CALLS["upsert 1"])
    grower.fresh += CALLS["upsert 1"]

    for per_call in (1, 100):
        batches = [[f"i{n}" for n in rng.choice(size, per_call, replace=False)] for _ in range(CALLS[f"get {per_call}"])]
        index.get(batches[0])  # untimed: the first read of a session prepares its statement
        figures[f"get {per_call}"] = median_ms(lambda c: index.get(batches[c]), CALLS[f"get {per_call}"])

    for per_call in (1, 100):
        seconds = []
        for _ in range(CALLS[f"delete {per_call}"]):
            ids = [f"i{n}" for n in rng.choice(size, per_call, replace=False)]
            started = time.perf_counter()
            index.delete(ids)
            seconds.append(time.perf_counter() - started)
            index.upsert(ids, grower.vectors(per_call))  # untimed: the index keeps its size
        figures[f"delete {per_call}"] = 1e3 * statistics.median(seconds)

    queries = grower.vectors(10)
    with quiet():  # the untrained index's warning at every query of a large index
        for q in queries:
            index.query(q, top_k=5, n_probes=4)  # fills the cache
        figures["cached query"] = median_ms(lambda c: index.query(queries[c % 10], top_k=5, n_probes=4),
                                            CALLS["cached query"])
    return figures


@contextlib.contextmanager
def quiet():
    sys.stderr.flush()
    kept = os.dup(2)
    with open(os.devnull, "w") as nowhere:
        os.dup2(nowhere.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(kept, 2)
        os.close(kept)


def report(backend, label, small_size, small, large, items):
    for call, cost in large.items():
        print(f"{backend:8} {label:20} {call:13} {small[call]:8.3f} ms at {small_size:7,}  {cost:8.3f} ms at {items:,}"
              f"  ratio {cost / small[call]:6.2f}", flush=True)


def psql(address, sql):
    subprocess.run(["psql", address, "-qAt", "-v", "ON_ERROR_STOP=1", "-c", sql], check=True,
                   stdout=subprocess.DEVNULL, timeout=600)


def run(backend, address, items, rounds):
    suffix = secrets.token_hex(4)
    kinds = ("untrained", "trained")
    tables = {kind: f"flat_cost_{kind}_{suffix}" for kind in kinds}
    config_table = f"flat_cost_config_{suffix}"
    if backend == "postgres":
        for table in tables.values():
            # Made here, so that autovacuum never analyses it behind the bench's back.
            psql(address, f"CREATE TABLE {table} (key VARCHAR(255) NOT NULL, value BYTEA NOT NULL, index_name "
                          f"BIGINT NOT NULL, PRIMARY KEY (key, index_name)) WITH (autovacuum_enabled = false)")
    config = ombrix.DBConfig(backend, config_table, address)
    keys = {kind: os.urandom(32) for kind in kinds}

    def open_index(kind, create):
        where = ombrix.DBConfig(backend, tables[kind], address)
        client = ombrix.Client("flat_cost", where, config, where)
        name = f"flat_cost_{kind}_{suffix}"
        if create:
            return client.create_index(name, keys[kind], ombrix.IndexIVFFlat(DIM), max_cache_size=64)
        return client.load_index(name, keys[kind], max_cache_size=64)

    growers = {kind: Grower(open_index(kind, True), seed) for seed, kind in enumerate(kinds)}
    small = {}
    try:
        for kind, grower in growers.items():
            grower.grow_to(SMALL[kind])
            if kind == "trained":
                grower.index.train(n_lists=SMALL[kind] // ITEMS_PER_LIST)
            small[kind] = time_calls(grower, rounds)
        for kind, grower in growers.items():
            grower.grow_to(items)
            if kind == "trained":
                grower.index.train(n_lists=items // ITEMS_PER_LIST)
            report(backend, kind, SMALL[kind], small[kind], time_calls(grower, rounds), items)
        if backend == "postgres":
            psql(address, "; ".join(f"ANALYZE {table}" for table in [*tables.values(), config_table]))
            for kind, grower in growers.items():
                reopened = Grower(open_index(kind, False), 100)
                reopened.size, reopened.fresh = grower.size, grower.fresh
                report(backend, kind + ", analysed", SMALL[kind], small[kind], time_calls(reopened, rounds), items)
                del reopened
    finally:
        for grower in growers.values():
            grower.index.delete_index()
        if backend == "postgres":
            psql(address, f"DROP TABLE IF EXISTS {', '.join(tables.values())}, {config_table}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--items", type=int, default=200_000)
    parser.add_argument("--backend", choices=("postgres", "redis", "both"), default="both")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if args.items < SMALL["trained"]:
        parser.error(f"--items must be at least {SMALL['trained']:,}")
    backends = ("postgres", "redis") if args.backend == "both" else (args.backend,)
    for backend in backends:
        variable = "OMBRIX_TEST_PG" if backend == "postgres" else "OMBRIX_TEST_REDIS"
        address = os.environ.get(variable)
        if not address:
            sys.exit(f"{variable} is not set: source scripts/services.sh")
        if backend == "redis" and "db:" not in address:
            address += ",db:0"
        started = time.monotonic()
        run(backend, address, args.items, args.rounds)
        print(f"{backend}: {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)


if __name__ == "__main__":
    main()
