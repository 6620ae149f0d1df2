#!/usr/bin/env python3
"""The encrypted query beside faiss-cpu IndexIVFFlat, in one process, as one table.

Data: a Gaussian mixture of 1,000 centres drawn uniformly from [-1, 1]^d with noise
sigma 0.6 (the clusters overlap), 200,000 x 128 and 50,000 x 768, 1,000 queries drawn from
the same mixture; fixed seed. For each list count (1,024 and 128) both sides are trained
on the same data (FAISS with 100 iterations; ours with its defaults, rebuild included),
then for 1 and 8 threads and each n_probes: queries/s of single queries (one per call)
and of one batch of all queries, ours with the item cache off and with every list
cached and warm, and recall@10 against brute force. Ratios are ours / FAISS.
`--batch-per-list 8` trains ours with the README's recommended batch (8 points per list),
whose lists at 128-d are nearly as even as FAISS's; the default trains with the defaults.

Memory backend. `--wait-policy passive` sets OMP_WAIT_POLICY for this process before the
OpenMP runtime is loaded (the runtime reads it once, at load). Run by hand (needs
`pip install -r bench/requirements.txt` and the module installed in .venv):

    .venv/bin/python bench/query_table.py [--scale 1] [--lists 1024,128] [--probes 1,4,16]
        [--threads 1,8] [--shapes 128,768] [--wait-policy passive] [--batch-per-list 8]
"""
import argparse
import ctypes
import ctypes.util
import os
import sys
import time

import numpy as np

SEED, CENTRES, SIGMA, TOP_K, UPSERT_BATCH = 20261207, 1000, 0.6, 10, 10_000
SHAPES = {128: 200_000, 768: 50_000}


def mixture(rng, n, d):
    centres = rng.uniform(-1.0, 1.0, (CENTRES, d)).astype(np.float32)
    picks = rng.integers(0, CENTRES, n)
    noise = rng.standard_normal((n, d), dtype=np.float32) * np.float32(SIGMA)
    return np.ascontiguousarray(centres[picks] + noise)


def truth(data, queries):
    import faiss
    flat = faiss.IndexFlatL2(data.shape[1])
    flat.add(data)
    return flat.search(queries, TOP_K)[1]


def recall(found, expected):
    return float(np.mean([len(set(f) & set(t)) / TOP_K for f, t in zip(found, expected)]))


def set_threads(n):
    """Our OpenMP runtime and FAISS's (a separate copy in its wheel) both get n threads."""
    import faiss
    ctypes.CDLL(ctypes.util.find_library("gomp") or "libgomp.so.1").omp_set_num_threads(n)
    faiss.omp_set_num_threads(n)


def rate(fn, calls):
    started = time.perf_counter()
    result = fn()
    return result, calls / (time.perf_counter() - started)


class Ours:
    def __init__(self, data, n_lists, cache, batch_per_list=None):
        memory = ombrix.DBConfig("memory")
        client = ombrix.Client("bench", memory, memory, memory)
        self.index = client.create_index("bench", os.urandom(32), ombrix.IndexIVFFlat(data.shape[1]),
                                         max_cache_size=n_lists if cache else 0)
        ids = [str(n) for n in range(len(data))]
        started = time.perf_counter()
        for first in range(0, len(data), UPSERT_BATCH):
            self.index.upsert(ids[first:first + UPSERT_BATCH], data[first:first + UPSERT_BATCH])
        self.upsert_ips = len(data) / (time.perf_counter() - started)
        started = time.perf_counter()
        self.index.train(n_lists=n_lists,
                         batch_size=batch_per_list * n_lists if batch_per_list else None)
        self.train_s = time.perf_counter() - started

    def batch(self, queries, probes):
        hits = self.index.query(queries, top_k=TOP_K, n_probes=probes)
        return [[int(h["id"]) for h in row] for row in hits]

    def single(self, queries, probes):
        return [[int(h["id"]) for h in self.index.query(q[None, :], top_k=TOP_K, n_probes=probes)[0]]
                for q in queries]


class Faiss:
    def __init__(self, data, n_lists):
        import faiss
        self.index = faiss.IndexIVFFlat(faiss.IndexFlatL2(data.shape[1]), data.shape[1], n_lists)
        self.index.cp.niter = 100
        started = time.perf_counter()
        self.index.train(data)
        self.train_s = time.perf_counter() - started
        self.index.add(data)
        sizes = np.array([self.index.invlists.list_size(i) for i in range(n_lists)])
        self.spread = sizes.max() / sizes.mean()

    def batch(self, queries, probes):
        self.index.nprobe = probes
        return self.index.search(queries, TOP_K)[1]

    def single(self, queries, probes):
        self.index.nprobe = probes
        return [self.index.search(q[None, :], TOP_K)[1][0] for q in queries]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the dataset sizes")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--single", type=int, default=200, help="single queries per measure (cache warm, FAISS)")
    parser.add_argument("--single-cold", type=int, default=20, help="single queries per measure, cache off")
    parser.add_argument("--lists", default="1024,128")
    parser.add_argument("--probes", default="1,4,16")
    parser.add_argument("--threads", default="1,8")
    parser.add_argument("--shapes", default="128,768")
    parser.add_argument("--train-threads", type=int, default=1)
    parser.add_argument("--batch-per-list", type=int, default=None,
                        help="train ours with batch_size = this x n_lists (default: its own default)")
    parser.add_argument("--wait-policy", choices=["passive", "active"], default=None,
                        help="OMP_WAIT_POLICY for this run (default: as the environment says)")
    args = parser.parse_args()
    if args.wait_policy:
        os.environ["OMP_WAIT_POLICY"] = args.wait_policy.upper()
    global ombrix
    import ombrixdb_vell as ombrix
    lists = [int(x) for x in args.lists.split(",")]
    probes = [int(x) for x in args.probes.split(",")]
    threads = [int(x) for x in args.threads.split(",")]
    print(f"cores: {os.cpu_count()}, load average {os.getloadavg()[0]:.1f}, queries: {args.queries}, "
          f"top_k {TOP_K}, memory backend, OMP_WAIT_POLICY={os.environ.get('OMP_WAIT_POLICY', '(unset)')}; "
          f"ratios are ours / FAISS")
    print("command: " + " ".join(sys.argv))
    for d in (int(x) for x in args.shapes.split(",")):
        n = int(SHAPES[d] * args.scale)
        rng = np.random.default_rng(SEED + d)
        data = mixture(rng, n + args.queries, d)
        data, queries = data[:n], np.ascontiguousarray(data[n:])
        expected = truth(data, queries)
        for n_lists in lists:
            set_threads(args.train_threads)
            theirs = Faiss(data, n_lists)
            cold = Ours(data, n_lists, cache=False, batch_per_list=args.batch_per_list)
            warm = Ours(data, n_lists, cache=True, batch_per_list=args.batch_per_list)
            print(f"\n== {n} x {d}, {n_lists} lists: train (rebuild included, {args.train_threads} "
                  f"thread(s)) ours {cold.train_s:.2f} s, FAISS (100 iterations) {theirs.train_s:.2f} s, "
                  f"ours / FAISS {cold.train_s / theirs.train_s:.2f}; upsert {cold.upsert_ips:,.0f} items/s; "
                  f"FAISS list spread (largest / mean) {theirs.spread:.2f}")
            print("threads probes |  recall ours  FAISS | single q/s: off  warm  FAISS  off/F  warm/F |"
                  " batch q/s: off  warm  FAISS  off/F  warm/F")
            for t in threads:
                set_threads(t)
                for p in probes:
                    found_f, batch_f = rate(lambda: theirs.batch(queries, p), len(queries))
                    theirs.single(queries[-args.single:], p)
                    _, single_f = rate(lambda: theirs.single(queries[:args.single], p), args.single)
                    found_o, batch_off = rate(lambda: cold.batch(queries, p), len(queries))
                    _, single_off = rate(lambda: cold.single(queries[:args.single_cold], p), args.single_cold)
                    warm.batch(queries, p)  # every probed list in the cache
                    _, batch_warm = rate(lambda: warm.batch(queries, p), len(queries))
                    # Untimed single queries first: the figure is of a stream of single
                    # queries, not of the first ones after a batch.
                    warm.single(queries[-args.single:], p)
                    _, single_warm = rate(lambda: warm.single(queries[:args.single], p), args.single)
                    print(f"{t:7d} {p:6d} | {recall(found_o, expected):12.4f} {recall(found_f, expected):6.4f} |"
                          f" {single_off:15,.1f} {single_warm:5,.0f} {single_f:6,.0f} {single_off / single_f:6.4f}"
                          f" {single_warm / single_f:7.3f} | {batch_off:14,.0f} {batch_warm:5,.0f}"
                          f" {batch_f:6,.0f} {batch_off / batch_f:6.3f} {batch_warm / batch_f:7.3f}", flush=True)


if __name__ == "__main__":
    main()
