#!/usr/bin/env python3
"""Instructions per operation on the memory backend, for two builds of the module side by
side, counted by callgrind: untaxed by the load of the machine, so a shared machine gives
the same figures as an idle one.

A 10,000-item index (64-d, Gaussian; with --clustered, 16 far-apart clusters of equal
size, so that every training finds the same lists and a query scans the same rows in
every run) is filled and trained with 16 lists, then one workload runs N times:

- upsert1: single trained upserts;
- upsert20: trained upserts of batches of 20;
- query: single queries (top_k 10) of 8 stored vectors over and over, on a handle with
  max_cache_size 64, after a warm-up.

Callgrind zeroes its counts where the workload begins (the script calls os.getppid) and
writes them where it ends (os.getpgrp), so neither start-up nor training is counted.
Each (build, seed) runs with N and with 0 operations; the figure is the difference over N,
averaged over the seeds. The ratio is the peer's instructions over this build's (above 1:
this build does less). Training seeds k-means at random, so a seed fixes the data, not the
lists; Gaussian query figures move by a few per cent from run to run, clustered ones do not.

    .venv/bin/python bench/instruction_counts.py --python .venv/bin/python \\
        --peer-python /path/to/baseline/venv/bin/python [--ops 100] [--seeds 3] \\
        [--only upsert1,upsert20,query] [--clustered]

Needs valgrind. OMP_WAIT_POLICY=passive is set for every run, so waiting team members
spin no instructions into the counts.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

WORKLOADS = ("upsert1", "upsert20", "query")
DIM, ITEMS, LISTS = 64, 10_000, 16


def workload(name, ops, seed, clustered):
    """Inside the build's interpreter, under callgrind."""
    import numpy as np
    import ombrixdb_vell as ombrix

    rng = np.random.default_rng(seed)
    memory = ombrix.DBConfig("memory")
    client = ombrix.Client("bench", memory, memory, memory)
    kwargs = {"max_cache_size": 64} if name == "query" else {}
    index = client.create_index("counted", bytes(range(32)), ombrix.IndexIVFFlat(DIM), **kwargs)
    vectors = rng.standard_normal((ITEMS, DIM)).astype("float32")
    if clustered:
        centres = rng.standard_normal((LISTS, DIM)).astype("float32") * 100
        vectors = centres[np.arange(ITEMS) % LISTS] + vectors
    for start in range(0, ITEMS, 1000):
        index.upsert([f"f{i}" for i in range(start, start + 1000)], vectors[start:start + 1000])
    index.train(n_lists=LISTS)
    batch = 20 if name == "upsert20" else 1
    fresh = rng.standard_normal((max(ops, 1), batch, DIM)).astype("float32")
    ids = [[f"t{c}_{i}" for i in range(batch)] for c in range(max(ops, 1))]
    asked = vectors[:8]
    if name == "query":
        for _ in range(5):
            for v in asked:
                index.query(v, top_k=10)
    os.getppid()  # callgrind zeroes here
    if name == "query":
        for c in range(ops):
            index.query(asked[c % 8], top_k=10)
    else:
        for c in range(ops):
            index.upsert(ids[c], fresh[c])
    os.getpgrp()  # and writes the counts here


def count(python, name, ops, seed, clustered):
    with tempfile.TemporaryDirectory() as out:
        command = ["valgrind", "--tool=callgrind", "--zero-before=getppid", "--dump-before=getpgrp",
                   f"--callgrind-out-file={out}/counts", python, os.path.abspath(__file__),
                   "--run", name, str(ops), str(seed)] + (["--clustered"] if clustered else [])
        subprocess.run(command, check=True, capture_output=True,
                       env=dict(os.environ, OMP_WAIT_POLICY="passive"))
        with open(os.path.join(out, "counts.1")) as part:
            return int(re.search(r"^totals: (\d+)$", part.read(), re.M).group(1))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--run":
        name, ops, seed = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
        workload(name, ops, seed, "--clustered" in sys.argv)
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", required=True, help="interpreter of this build")
    parser.add_argument("--peer-python", required=True, help="interpreter of the build compared with")
    parser.add_argument("--ops", type=int, default=100)
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--only", default=",".join(WORKLOADS))
    parser.add_argument("--clustered", action="store_true")
    args = parser.parse_args()
    for name in args.only.split(","):
        per_op = {"peer": [], "this": []}
        for seed in range(args.seeds):
            for build, python in (("peer", args.peer_python), ("this", args.python)):
                counted = count(python, name, args.ops, seed, args.clustered)
                idle = count(python, name, 0, seed, args.clustered)
                per_op[build].append((counted - idle) / args.ops)
        peer, this = statistics.mean(per_op["peer"]), statistics.mean(per_op["this"])
        print(f"{name:9} peer {peer:10.0f}  this {this:10.0f} instructions/op  "
              f"ratio {peer / this:.3f}  (per seed: peer {[round(v) for v in per_op['peer']]}, "
              f"this {[round(v) for v in per_op['this']]})", flush=True)


if __name__ == "__main__":
    main()
