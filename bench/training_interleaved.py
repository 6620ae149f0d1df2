#!/usr/bin/env python3
"""Trainings of two builds of the module, taking turns: a process of each build holds an
index of its own (200,000 x 128 by default) and the two train in turn, so that slow
swings of the machine and the server fall on both alike. The figure is each build's
median training time; the ratio is the peer's over this build's (above 1: this build is
faster). Start-up and filling stay outside the timing.

    .venv/bin/python bench/training_interleaved.py --python .venv/bin/python \\
        --peer-python /path/to/baseline/venv/bin/python [--backend postgres|redis] \\
        [--turns 6] [--slice 200000]    (--slice: the items of each index)
"""
import json
import os
import secrets
import statistics
import sys
import time

import taking_turns

SCRIPT = os.path.abspath(__file__)
DIM = 128


def child(backend, address, build):
    """Reads 'fill <items>' and 'train' lines from stdin; answers each with the seconds it took."""
    import numpy as np
    import ombrixdb_vell as ombrix
    items = ombrix.DBConfig(backend, f"bench_items_{build}", address)
    config = ombrix.DBConfig(backend, f"bench_config_{build}", address)
    index = ombrix.Client("bench", items, config, items).create_index(
        "training_" + secrets.token_hex(4), os.urandom(32), ombrix.IndexIVFFlat(DIM))
    print(json.dumps("ready"), flush=True)
    try:
        for line in sys.stdin:
            words = line.split()
            started = time.perf_counter()
            if words[0] == "fill":
                vectors = np.random.default_rng(3).standard_normal((int(words[1]), DIM)).astype("float32")
                for first in range(0, len(vectors), 50_000):
                    index.upsert([f"i{n}" for n in range(first, min(first + 50_000, len(vectors)))],
                                 vectors[first:first + 50_000])
            else:
                index.train(n_lists=256, max_iters=20)
            print(json.dumps(time.perf_counter() - started), flush=True)
    finally:
        index.delete_index()


def main():
    args, children = taking_turns.start(__doc__, SCRIPT, child, turns=6, slice_=200_000)
    if args is None:
        return
    for build in children.procs:
        children.ask(build, f"fill {args.slice}")
        children.ask(build, "train")  # untimed: the first training of each
    spent = taking_turns.alternate(children, args.turns, "train")
    children.close(600)
    taking_turns.print_load("end")
    peer, current = statistics.median(spent["peer"]), statistics.median(spent["current"])
    print(f"training of {args.slice} x {DIM}, 256 lists: peer {peer:.2f} s [{min(spent['peer']):.2f}-"
          f"{max(spent['peer']):.2f}], current {current:.2f} s [{min(spent['current']):.2f}-"
          f"{max(spent['current']):.2f}], peer/current {peer / current:.3f}", file=sys.stderr)


if __name__ == "__main__":
    main()
