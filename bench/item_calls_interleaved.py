#!/usr/bin/env python3
"""get, delete and list_ids for two builds of the module, interleaved finely: a process of
each build holds an index of its own (100,000 items, 64-d, untrained), grown in one session
from an empty table, and the two take
turns, a slice of calls at a time, so that slow swings of the server fall on both alike.
The figure is each build's calls per second over all its slices; the ratio is this
build's rate over the peer's (above 1: this build is faster). Start-up and filling stay
outside the timing; deletions take ids no earlier call deleted (at most 90,900 of the
100,000 with the defaults), and a slice of list_ids is one call. A slice of 30 gets of 1
id on Redis is some 5 ms of work, so its ratio swings with the children's wake-ups: for
such short calls give --slice 300 --turns 60 (the deletes of 100 then run out of ids, so
read only the other rows).

    .venv/bin/python bench/item_calls_interleaved.py --python .venv/bin/python \\
        --peer-python /path/to/baseline/venv/bin/python [--backend postgres|redis] \\
        [--turns 30] [--slice 30]
"""
import json
import os
import secrets
import sys
import time

import taking_turns

SCRIPT = os.path.abspath(__file__)
DIM, ITEMS = 64, 100_000
# (call, ids per call, calls per slice as a share of --slice)
MODES = [("list_ids", 0, 0.0), ("get", 1, 1), ("get", 100, 1), ("delete", 1, 1), ("delete", 100, 1)]


def child(backend, address, build):
    """Reads 'run <call> <ids> <count>' lines from stdin; answers each with the seconds the
    calls took (one line of JSON)."""
    import numpy as np
    import ombrixdb_vell as ombrix
    items = ombrix.DBConfig(backend, f"bench_items_{build}", address)
    config = ombrix.DBConfig(backend, f"bench_config_{build}", address)
    index = ombrix.Client("bench", items, config, items).create_index(
        "item_calls_" + secrets.token_hex(4), os.urandom(32), ombrix.IndexIVFFlat(DIM))
    rng = np.random.default_rng(7)
    taking_turns.grow(index, ITEMS, DIM, rng)
    deleted = 0
    print(json.dumps("ready"), flush=True)
    try:
        for line in sys.stdin:
            _, call, per_call, count = line.split()
            per_call, count = int(per_call), int(count)
            if call == "delete":
                batches = [[f"i{deleted + c * per_call + j}" for j in range(per_call)] for c in range(count)]
                deleted += per_call * count
                run = lambda c: index.delete(batches[c])  # noqa: E731
            elif call == "get":
                batches = [[f"i{(7919 * (c * per_call + j)) % ITEMS}" for j in range(per_call)] for c in range(count)]
                run = lambda c: index.get(batches[c])  # noqa: E731
            else:
                run = lambda c: index.list_ids()  # noqa: E731
            started = time.perf_counter()
            for c in range(count):
                run(c)
            print(json.dumps(time.perf_counter() - started), flush=True)
    finally:
        index.delete_index()


def main():
    args, children = taking_turns.start(__doc__, SCRIPT, child, turns=30, slice_=30)
    if args is None:
        return
    ask = children.ask
    rows = []
    for call, per_call, share in MODES:
        count = max(1, round(args.slice * share))
        if call != "delete":
            for build in children.procs:
                ask(build, f"run {call} {per_call} {count}")  # one untimed slice
        spent = {build: sum(seconds) for build, seconds in
                 taking_turns.alternate(children, args.turns, f"run {call} {per_call} {count}").items()}
        calls = args.turns * count
        rows.append((call, per_call, calls / spent["peer"], calls / spent["current"]))
    children.close(300)
    taking_turns.print_load("end")
    print(f"{'call':<18}{'peer calls/s':>14}{'current calls/s':>18}{'current/peer':>14}", file=sys.stderr)
    for call, per_call, peer, current in rows:
        label = call + (f" of {per_call}" if per_call else f" of {ITEMS}")
        print(f"{label:<18}{peer:>14.1f}{current:>18.1f}{current / peer:>14.3f}", file=sys.stderr)


if __name__ == "__main__":
    main()
