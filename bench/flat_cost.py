#!/usr/bin/env python3
"""Whether a call's cost stays flat as an index grows: one process times a single upsert (a
batch of 1), get of 1 and of 100 ids, delete of 1 and of 100 ids, and a cached query on an
index grown to --items items (N, 16-d) in one session and on one of a small size, and
prints cost(N) / cost(small) for each, which should stay at or below 1.2.

For each of two kinds, two indexes, each in a table of its own, so that each starts on an
empty table: never trained, the small one at 2,000 items; and trained, the small one at
10,000 items (the fewest a training takes), into lists of 125 items, so that a query reads
as much at both sizes (the large one is trained at 10,000 and again at N). An index's first
items come a few at a time: the first 20 go in upserts of 1 and the rest of the first 2,000
in upserts of 100, so that the server plans the statements of the session while the table
is small; later ones go in upserts of 10,000. (The untrained index keeps every item in one
list: its query's arithmetic grows with N whatever the store does.)

The small and the large index take turns, a round of every call at a time (--rounds of
each), so that the machine's and the server's swings fall on both alike; a figure is the
median of the rounds' medians. PostgreSQL: the tables are the bench's own, made with
autovacuum off and never analysed while the indexes grow, as a table between two analyses
is; then, after an ANALYZE, sessions opened anew take turns again ("analysed" lines).
Redis: the same without the analysis.

    source scripts/services.sh
    taskset -c 2 .venv/bin/python bench/flat_cost.py [--items 200000] [--backend postgres|redis|both] \\
        [--rounds 7]
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


def time_in_turns(small, large, rounds):
    """Median milliseconds of each call on the two indexes as they stand, taking turns a
    round at a time; leaves each holding what it held."""
    per_round = {"small": [], "large": []}
    for _ in range(rounds):
        per_round["small"].append(time_round(small))
        per_round["large"].append(time_round(large))
    return [{call: statistics.median(figures[call] for figures in per_round[size]) for call in per_round[size][0]}
            for size in ("small", "large")]


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
    sizes = ("small", "large")
    tables = {(kind, size): f"flat_cost_{kind}_{size}_{suffix}" for kind in kinds for size in sizes}
    config_table = f"flat_cost_config_{suffix}"
    if backend == "postgres":
        for table in tables.values():
            # Made here, so that autovacuum never analyses it behind the bench's back.
            psql(address, f"CREATE TABLE {table} (key VARCHAR(255) NOT NULL, value BYTEA NOT NULL, index_name "
                          f"BIGINT NOT NULL, PRIMARY KEY (key, index_name)) WITH (autovacuum_enabled = false)")
    config = ombrix.DBConfig(backend, config_table, address)
    keys = {place: os.urandom(32) for place in tables}

    def open_index(place, create):
        where = ombrix.DBConfig(backend, tables[place], address)
        client = ombrix.Client("flat_cost", where, config, where)
        name = tables[place]
        if create:
            return client.create_index(name, keys[place], ombrix.IndexIVFFlat(DIM), max_cache_size=64)
        return client.load_index(name, keys[place], max_cache_size=64)

    growers = {place: Grower(open_index(place, True), seed) for seed, place in enumerate(tables)}
    try:
        for (kind, size), grower in growers.items():
            grower.grow_to(SMALL[kind])
            if kind == "trained":
                grower.index.train(n_lists=SMALL[kind] // ITEMS_PER_LIST)
            if size == "large":
                grower.grow_to(items)
                if kind == "trained":
                    grower.index.train(n_lists=items // ITEMS_PER_LIST)
        for kind in kinds:
            small, large = time_in_turns(growers[kind, "small"], growers[kind, "large"], rounds)
            report(backend, kind, SMALL[kind], small, large, items)
        if backend == "postgres":
            psql(address, "; ".join(f"ANALYZE {table}" for table in [*tables.values(), config_table]))
            for kind in kinds:
                reopened = {}
                for size in sizes:
                    grower = growers[kind, size]
                    reopened[size] = Grower(open_index((kind, size), False), 100)
                    reopened[size].size, reopened[size].fresh = grower.size, grower.fresh
                small, large = time_in_turns(reopened["small"], reopened["large"], rounds)
                report(backend, kind + ", analysed", SMALL[kind], small, large, items)
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
    parser.add_argument("--rounds", type=int, default=7)
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
