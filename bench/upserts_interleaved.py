#!/usr/bin/env python3
"""One process's upserts for two builds of the module, interleaved finely: a process of
each build holds an index of its own (10,000 items, 64-d; BENCH_ITEMS=n in the
environment fills n instead), grown in one session from an empty table, and the two take turns, a
slice of upserts at a time, many times over, so that slow swings of the server (a
checkpoint, the disk's flushes, another tenant) fall on both alike. The figure is each
build's total time over all its slices; the ratio is the peer's time over this build's
(above 1: this build is faster). Start-up, filling and training stay outside the timing.

    .venv/bin/python bench/upserts_interleaved.py --python .venv/bin/python \\
        --peer-python /path/to/baseline/venv/bin/python [--backend postgres|redis] \\
        [--turns 40] [--slice 25]

Modes: untrained and trained (16 lists), batches of 1 and 20.
"""
import json
import os
import secrets
import sys
import time

import taking_turns

SCRIPT = os.path.abspath(__file__)
DIM, ITEMS = 64, int(os.environ.get("BENCH_ITEMS", "10000"))
MODES = [("untrained", 1), ("untrained", 20), ("trained", 1), ("trained", 20)]


def child(backend, address, build):
    """Reads commands from stdin: 'train', or 'upsert <batch> <count>'; answers each with
    the seconds it took (one line of JSON)."""
    import numpy as np
    import ombrixdb_vell as ombrix
    items = ombrix.DBConfig(backend, f"bench_items_{build}", address)
    config = ombrix.DBConfig(backend, f"bench_config_{build}", address)
    index = ombrix.Client("bench", items, config, items).create_index(
        "interleaved_" + secrets.token_hex(4), os.urandom(32), ombrix.IndexIVFFlat(DIM))
    rng = np.random.default_rng(7)
    taking_turns.grow(index, ITEMS, DIM, rng)
    made = 0
    print(json.dumps("ready"), flush=True)
    try:
        for line in sys.stdin:
            words = line.split()
            if words[0] == "train":
                index.train(n_lists=16)
                print(json.dumps(0.0), flush=True)
                continue
            batch, count = int(words[1]), int(words[2])
            vectors = rng.standard_normal((count, batch, DIM)).astype("float32")
            ids = [[f"u{made + c}_{j}" for j in range(batch)] for c in range(count)]
            made += count
            started = time.perf_counter()
            for c in range(count):
                index.upsert(ids[c], vectors[c])
            print(json.dumps(time.perf_counter() - started), flush=True)
    finally:
        index.delete_index()


def main():
    args, children = taking_turns.start(__doc__, SCRIPT, child, turns=40, slice_=25)
    if args is None:
        return
    ask = children.ask
    rows = []
    for phase, batch in MODES:
        if phase == "trained" and rows and rows[-1][0] == "untrained":
            for build in children.procs:
                ask(build, "train")
        for build in children.procs:
            ask(build, f"upsert {batch} {args.slice}")  # one untimed slice after the change of mode
        spent = {build: sum(seconds) for build, seconds in
                 taking_turns.alternate(children, args.turns, f"upsert {batch} {args.slice}").items()}
        calls = args.turns * args.slice
        rows.append((phase, batch, calls / spent["peer"], calls / spent["current"]))
    children.close(120)
    taking_turns.print_load("end")
    print(f"{'mode':<22}{'peer upserts/s':>16}{'current upserts/s':>20}{'current/peer':>14}", file=sys.stderr)
    for phase, batch, peer, current in rows:
        print(f"{phase + ', batch ' + str(batch):<22}{peer:>16.0f}{current:>20.0f}{current / peer:>14.3f}",
              file=sys.stderr)


if __name__ == "__main__":
    main()
