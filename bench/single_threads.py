#!/usr/bin/env python3
"""Single queries on 1 and on 8 threads, in alternating rounds in one process.

The figure a thread count gets is the median of its rounds, so a machine whose speed
drifts over minutes (a shared or virtual one) affects both counts alike. Data: a Gaussian
mixture (1,000 centres uniform in [-1, 1]^d, noise sigma 0.6), memory backend, top_k 10.

    .venv/bin/python bench/single_threads.py 200000 128 1024 1,4,16 cold [--threads 1,8]
        [--rounds 9] [--per 120]

`cold` turns the item cache off; `warm` caches every list and fills it first. `--per` is
the single queries of a round at 1 probe (fewer at more probes).
"""
import argparse
import ctypes
import ctypes.util
import os
import statistics
import time

import numpy as np

import ombrixdb_vell as ombrix


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("n", type=int)
    parser.add_argument("d", type=int)
    parser.add_argument("n_lists", type=int)
    parser.add_argument("probes", help="comma-separated n_probes values")
    parser.add_argument("cache", choices=["cold", "warm"])
    parser.add_argument("--threads", default="1,8")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--per", type=int, default=120)
    args = parser.parse_args()
    gomp = ctypes.CDLL(ctypes.util.find_library("gomp") or "libgomp.so.1")
    threads = [int(t) for t in args.threads.split(",")]
    rng = np.random.default_rng(5)
    centres = rng.uniform(-1, 1, (1000, args.d)).astype(np.float32)
    picks = rng.integers(0, 1000, args.n + 500)
    noise = rng.standard_normal((args.n + 500, args.d), dtype=np.float32) * np.float32(0.6)
    data = np.ascontiguousarray(centres[picks] + noise)
    data, queries = data[:args.n], data[args.n:]
    memory = ombrix.DBConfig("memory")
    client = ombrix.Client("bench", memory, memory, memory)
    index = client.create_index("bench", os.urandom(32), ombrix.IndexIVFFlat(args.d),
                                max_cache_size=args.n_lists if args.cache == "warm" else 0)
    ids = [str(i) for i in range(args.n)]
    for first in range(0, args.n, 10_000):
        index.upsert(ids[first:first + 10_000], data[first:first + 10_000])
    index.train(n_lists=args.n_lists)
    print(f"{args.n} x {args.d}, {args.n_lists} lists, cache {args.cache}; medians of "
          f"{args.rounds} alternating rounds")
    for probes in (int(p) for p in args.probes.split(",")):
        if args.cache == "warm":
            index.query(queries, top_k=10, n_probes=probes)
        per = max(5, args.per // probes)
        rates = [[] for _ in threads]
        k = 0
        for _ in range(args.rounds):
            for slot, t in enumerate(threads):
                gomp.omp_set_num_threads(t)
                started = time.perf_counter()
                for _ in range(per):
                    index.query(queries[k % len(queries)], top_k=10, n_probes=probes)
                    k += 1
                rates[slot].append(per / (time.perf_counter() - started))
        medians = [statistics.median(r) for r in rates]
        cells = ", ".join(f"{t} thread(s) {m:,.1f} q/s" for t, m in zip(threads, medians))
        print(f"  n_probes {probes:3d}: {cells}; last / first {medians[-1] / medians[0]:.2f}")


if __name__ == "__main__":
    main()
