#!/usr/bin/env python3
"""What an upsert and a query with the item cache off cost per item, on one thread.

Data: a Gaussian mixture (1,000 centres uniform in [-1, 1]^d, noise sigma 0.6), memory
backend. Half the items are upserted into the untrained index, the index is trained with
the given list count, the other half is upserted into the trained index. Then single
queries (one per call, cache off) at each n_probes: queries/s beside faiss-cpu
IndexIVFFlat on the same data and list count, the items a query fetches (all candidates
of its probed lists) and the time per fetched item.

    OMP_NUM_THREADS=1 .venv/bin/python bench/fetch_cost.py 200000 128 1024 1,4,16
    OMP_NUM_THREADS=1 .venv/bin/python bench/fetch_cost.py 50000 768 256 1,4,16
"""
import argparse
import os
import time

import faiss
import numpy as np

import ombrixdb_vell as ombrix

SEED, CENTRES, SIGMA, BATCH, QUERIES = 1, 1000, 0.6, 10_000, 50


def mixture(rng, n, d):
    centres = rng.uniform(-1, 1, (CENTRES, d)).astype(np.float32)
    labels = rng.integers(0, CENTRES, n)
    return (centres[labels] + rng.normal(0, SIGMA, (n, d))).astype(np.float32)


def per_call(fn, calls):
    started = time.perf_counter()
    for k in range(calls):
        fn(k)
    return (time.perf_counter() - started) / calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("n", type=int)
    parser.add_argument("d", type=int)
    parser.add_argument("n_lists", type=int)
    parser.add_argument("probes", help="comma-separated n_probes values")
    args = parser.parse_args()
    n, d = args.n, args.d
    rng = np.random.default_rng(SEED)
    data = mixture(rng, n + QUERIES, d)
    data, queries = data[:n], data[n:]

    faiss.omp_set_num_threads(1)
    memory = ombrix.DBConfig("memory")
    client = ombrix.Client("bench", memory, memory, memory, cpu_threads=1)
    index = client.create_index("bench", os.urandom(32), ombrix.IndexIVFFlat(d), max_cache_size=0)
    ids = [str(i) for i in range(n)]
    half = n // 2

    def upsert(first, last):
        started = time.perf_counter()
        for at in range(first, last, BATCH):
            index.upsert(ids[at:min(at + BATCH, last)], data[at:min(at + BATCH, last)])
        return (last - first) / (time.perf_counter() - started)

    untrained = upsert(0, half)
    started = time.perf_counter()
    index.train(n_lists=args.n_lists)
    train_s = time.perf_counter() - started
    trained = upsert(half, n)
    print(f"{n} x {d}, {args.n_lists} lists, 1 thread: upsert {untrained:,.0f} items/s untrained, "
          f"{trained:,.0f} items/s trained; train {train_s:.1f} s")

    quantizer = faiss.IndexFlatL2(d)
    peer = faiss.IndexIVFFlat(quantizer, d, args.n_lists)
    peer.train(data)
    peer.add(data)
    for probes in [int(p) for p in args.probes.split(",")]:
        peer.nprobe = probes
        ours = per_call(lambda k: index.query(queries[k], top_k=10, n_probes=probes), QUERIES)
        theirs = per_call(lambda k: peer.search(queries[k:k + 1], 10), QUERIES)
        fetched = np.mean([len(index.query(queries[k], top_k=n, n_probes=probes)) for k in range(10)])
        print(f"  n_probes {probes:3d}: {1 / ours:8,.1f} q/s, faiss {1 / theirs:9,.0f} q/s "
              f"(ours / faiss {theirs / ours:.4f}); {fetched:,.0f} items fetched, "
              f"{ours * 1e6 / fetched:.2f} us per fetched item")


if __name__ == "__main__":
    main()
