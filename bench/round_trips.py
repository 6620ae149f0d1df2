#!/usr/bin/env python3
"""Exchanges with the server per call, for one build: the writes the process makes
(`strace -f -c -e trace=sendto,write`) and, on Redis, the commands the server ran (INFO
commandstats), per upsert or per cached query. A child of the build's interpreter is
run twice under strace, with 0 and with --count calls after the same set-up (create,
fill 1,000 items, optionally train, one untimed call), and the difference is divided by
--count, so the set-up counts for nothing. Each pipelined batch of commands goes out as
one write: on a blocking connection the writes are the round trips.

    .venv/bin/python bench/round_trips.py --python .venv/bin/python [--backend redis]
        [--count 200]

Rows: upserts untrained and trained (16 lists), batches of 1 and 20; cached single
queries (max_cache_size 64), plain and with a metadata filter matching about 3 in 10.
"""
import argparse
import collections
import json
import os
import re
import secrets
import subprocess
import sys
import tempfile

SCRIPT = os.path.abspath(__file__)
DIM, ITEMS = 64, 1_000
ROWS = [("upsert", "untrained", 1), ("upsert", "untrained", 20), ("upsert", "trained", 1),
        ("upsert", "trained", 20), ("query", "trained", 0), ("filtered", "trained", 0)]


def child(backend, address, what, phase, batch, count):
    import numpy as np
    import ombrixdb_vell as ombrix
    items = ombrix.DBConfig(backend, "bench_items_rt", address)
    config = ombrix.DBConfig(backend, "bench_config_rt", address)
    client = ombrix.Client("bench", items, config, items)
    name, key = "round_trips_" + secrets.token_hex(4), os.urandom(32)
    index = client.create_index(name, key, ombrix.IndexIVFFlat(DIM))
    rng = np.random.default_rng(7)
    try:
        vectors = rng.standard_normal((ITEMS, DIM)).astype("float32")
        index.upsert([{"id": f"i{n}", "vector": vectors[n], "metadata": {"kind": n % 10}} for n in range(ITEMS)])
        if phase == "trained":
            index.train(n_lists=16)
        if what == "upsert":
            vectors = rng.standard_normal((count + 1, batch, DIM)).astype("float32")
            calls = [lambda c=c: index.upsert([f"u{c}_{j}" for j in range(batch)], vectors[c])
                     for c in range(count + 1)]
        else:
            cached = client.load_index(name, key, max_cache_size=64)
            where = {"kind": {"$in": [0, 1, 2]}} if what == "filtered" else {}
            query = rng.standard_normal(DIM).astype("float32")
            calls = [lambda: cached.query(query, top_k=10, n_probes=8, filters=where)] * (count + 1)
        calls[0]()  # untimed: the first call fills caches and sends scripts' bodies
        stats = commandstats(address) if backend == "redis" else {}
        for call in calls[1:]:
            call()
        after = commandstats(address) if backend == "redis" else {}
        print(json.dumps({k: after.get(k, 0) - stats.get(k, 0) for k in after}), file=sys.stderr)
    finally:
        index.delete_index()


def commandstats(address):
    fields = dict(part.split(":", 1) for part in address.split(","))
    out = subprocess.run(["redis-cli", "-h", fields["host"], "-p", fields["port"], "INFO", "commandstats"],
                         capture_output=True, text=True, check=True).stdout
    return {m.group(1): int(m.group(2)) for m in re.finditer(r"cmdstat_(\w+):calls=(\d+)", out)}


def traced(args, what, phase, batch, count):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "strace")
        run = subprocess.run(["strace", "-f", "-qq", "-c", "-e", "trace=sendto,write", "-o", out,
                              args.python, SCRIPT, "--child", args.backend, args.address, what, phase,
                              str(batch), str(count)], capture_output=True, text=True)
        if run.returncode != 0:
            raise SystemExit(run.stderr)
        calls = collections.Counter()
        for line in open(out):
            words = line.split()
            if len(words) >= 5 and words[-1] in ("sendto", "write"):
                calls[words[-1]] += int(words[3])
        commands = json.loads([line for line in run.stderr.splitlines() if line.startswith("{")][-1])
        return sum(calls.values()), commands


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], int(sys.argv[6]), int(sys.argv[7]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", required=True)
    parser.add_argument("--backend", default="redis", choices=("postgres", "redis"))
    parser.add_argument("--pg", default="host=127.0.0.1 port=5432 dbname=test user=postgres")
    parser.add_argument("--redis", default="host:127.0.0.1,port:6379,db:0")
    parser.add_argument("--count", type=int, default=200)
    args = parser.parse_args()
    args.address = args.pg if args.backend == "postgres" else args.redis
    for what, phase, batch in ROWS:
        base, _ = traced(args, what, phase, batch, 0)
        total, commands = traced(args, what, phase, batch, args.count)
        per_call = {k: round(v / args.count, 2) for k, v in sorted(commands.items()) if v}
        print(f"{what} {phase} batch {batch}: writes/call {(total - base) / args.count:.2f} "
              f"commands/call {per_call}", file=sys.stderr)


if __name__ == "__main__":
    main()
