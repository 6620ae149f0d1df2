#!/usr/bin/env python3
"""Filtered single queries answered from the item cache, for two builds of the module
taking turns: a process of each build holds an index of its own (--items of 64-d, trained
with 256 lists, every item's metadata {"kind": n % 10}), opened with a cache that holds
every list, and asks the same 16 query vectors (top_k 10, 8 probes) with a filter that
matches 3 items in 10, a slice at a time, many times over. The figure is each build's
total time over all its slices; the ratio is the peer's time over this build's (above 1:
this build is faster). Filling, training and a warm-up that fills the cache stay outside
the timing. With --pin each child runs on one CPU of its own. With --plain the queries
are the side-by-side script's cached ones instead: no filter, 16 lists, the default
probes, a cache of 64 lists, 8 query vectors (give --items 10000 for its index).

    .venv/bin/python bench/filtered_queries_interleaved.py --python .venv/bin/python \\
        --peer-python /path/to/baseline/venv/bin/python [--backend postgres|redis] \\
        [--items 30000] [--plain] [--turns 40] [--slice 200] [--pin 2,3]
"""
import json
import os
import secrets
import sys

import taking_turns

SCRIPT = os.path.abspath(__file__)
DIM, LISTS, PROBES, QUERIES = 64, 256, 8, 16
WHERE = {"kind": {"$in": [0, 1, 2]}}


def child(backend, address, build):
    """Reads 'fill <items>', then 'query <count>' lines; answers each with the seconds it
    took (one line of JSON)."""
    import time

    import numpy as np
    import ombrixdb_vell as ombrix
    items = ombrix.DBConfig(backend, f"bench_items_{build}", address)
    config = ombrix.DBConfig(backend, f"bench_config_{build}", address)
    client = ombrix.Client("bench", items, config, items)
    name, key = "filtered_" + secrets.token_hex(4), os.urandom(32)
    writer = client.create_index(name, key, ombrix.IndexIVFFlat(DIM))
    rng = np.random.default_rng(11)
    asked = rng.standard_normal((QUERIES, DIM)).astype("float32")
    print(json.dumps("ready"), flush=True)
    index = None
    try:
        for line in sys.stdin:
            words = line.split()
            if words[0] == "fill":
                total, plain = int(words[1]), words[2] == "plain"
                lists = 16 if plain else LISTS
                ask = {} if plain else dict(n_probes=PROBES, filters=WHERE)
                if plain:
                    asked = asked[:8]
                vectors = rng.standard_normal((total, DIM)).astype("float32")
                for start in range(0, total, 5000):
                    writer.upsert([{"id": f"i{n}", "vector": vectors[n], "metadata": {"kind": n % 10}}
                                   for n in range(start, min(start + 5000, total))])
                writer.train(n_lists=lists)
                index = client.load_index(name, key, max_cache_size=64 if plain else LISTS)
                for _ in range(3):
                    for q in asked:
                        index.query(q, top_k=10, **ask)
                print(json.dumps(0.0), flush=True)
                continue
            count = int(words[1])
            started = time.perf_counter()
            for n in range(count):
                index.query(asked[n % len(asked)], top_k=10, **ask)
            print(json.dumps(time.perf_counter() - started), flush=True)
    finally:
        writer.delete_index()


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "--child":
        child(*sys.argv[2:5])
        return
    items = 30_000
    if "--items" in sys.argv:
        at = sys.argv.index("--items")
        items = int(sys.argv[at + 1])
        del sys.argv[at:at + 2]
    plain = "--plain" in sys.argv
    if plain:
        sys.argv.remove("--plain")
    args, children = taking_turns.start(__doc__, SCRIPT, child, turns=40, slice_=200)
    for build in children.procs:
        children.ask(build, f"fill {items} {'plain' if plain else 'filtered'}")
    spent = {build: sum(seconds) for build, seconds in
             taking_turns.alternate(children, args.turns, f"query {args.slice}").items()}
    children.close(300)
    taking_turns.print_load("end")
    calls = args.turns * args.slice
    peer, current = calls / spent["peer"], calls / spent["current"]
    print(f"{'items':<10}{'peer queries/s':>16}{'current queries/s':>20}{'current/peer':>14}", file=sys.stderr)
    print(f"{items:<10}{peer:>16.0f}{current:>20.0f}{current / peer:>14.3f}", file=sys.stderr)


if __name__ == "__main__":
    main()
