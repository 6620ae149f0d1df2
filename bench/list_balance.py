#!/usr/bin/env python3
"""How even our lists are, and what that costs in recall, beside FAISS's k-means.

On the data of bench/query_table.py (Gaussian mixture of 1,000 centres in [-1, 1]^d, sigma
0.6, 200,000 x 128 by default, 1,000 queries), trains centroids with FAISS's k-means (at
most 100 iterations; it may stop earlier, and the output says after how many) and with
our mini-batch k-means for several max_iters and batch_size, then for each set of
centroids reports the training time, the list-size spread (largest / mean), empty lists
and duplicate centroids, and recall@10 at several n_probes. Recall is
measured twice: with FAISS's IVF search over the given centroids (so only the centroids
differ) and, for our centroids, with our probe selection and ranking (so the search is
checked too).

    .venv/bin/python bench/list_balance.py [--lib build/bench/bench/libombrix_bench_numerics.so]
        [--lists 128,1024] [--iters 100,300,1000] [--batches 2048,8192,32768] [--d 128]
"""
import argparse
import ctypes
import os
import time

import numpy as np

QUERIES, TOP_K, CENTRES, SIGMA, SEED = 1000, 10, 1000, 0.6, 20261207
SIZES = {128: 200_000, 768: 50_000}
F32 = np.ctypeslib.ndpointer(np.float32, flags="C_CONTIGUOUS")
I64 = np.ctypeslib.ndpointer(np.int64, flags="C_CONTIGUOUS")
U64 = ctypes.c_uint64


def mixture(rng, n, d):
    centres = rng.uniform(-1.0, 1.0, (CENTRES, d)).astype(np.float32)
    picks = rng.integers(0, CENTRES, n)
    return np.ascontiguousarray(centres[picks] + rng.standard_normal((n, d), dtype=np.float32) * np.float32(SIGMA))


def recall(found, expected):
    return float(np.mean([len(set(f) & set(t)) / TOP_K for f, t in zip(found, expected)]))


class Ours:
    def __init__(self, path):
        lib = ctypes.CDLL(os.path.abspath(path))
        lib.ombrix_bench_train_batch.argtypes = [F32, U64, U64, U64, U64, U64, F32]
        lib.ombrix_bench_train_batch.restype = ctypes.c_double
        lib.ombrix_bench_open.argtypes = [F32, U64, U64, F32, U64]
        lib.ombrix_bench_open.restype = ctypes.c_void_p
        lib.ombrix_bench_close.argtypes = [ctypes.c_void_p]
        lib.ombrix_bench_search.argtypes = [ctypes.c_void_p, F32, U64, U64, ctypes.c_uint32, I64]
        lib.ombrix_bench_search.restype = ctypes.c_double
        self.lib = lib

    def train(self, data, k, iters, batch):
        out = np.empty((k, data.shape[1]), np.float32)
        seconds = self.lib.ombrix_bench_train_batch(data, *data.shape, k, iters, batch, out)
        return seconds, out

    def recalls(self, data, centroids, queries, expected, probes):
        handle = self.lib.ombrix_bench_open(data, *data.shape, centroids, len(centroids))
        try:
            out = []
            for p in probes:
                rows = np.empty((len(queries), TOP_K), np.int64)
                self.lib.ombrix_bench_search(handle, queries, len(queries), p, TOP_K, rows)
                out.append(recall(rows, expected))
            return out
        finally:
            self.lib.ombrix_bench_close(handle)


def describe(faiss, data, centroids, queries, expected, probes):
    d = data.shape[1]
    flat = faiss.IndexFlatL2(d)
    flat.add(centroids)
    sizes = np.bincount(flat.search(data, 1)[1][:, 0], minlength=len(centroids))
    duplicates = len(centroids) - len(np.unique(centroids, axis=0))
    index = faiss.IndexIVFFlat(flat, d, len(centroids))
    index.is_trained = True
    index.add(data)
    recalls = []
    for p in probes:
        index.nprobe = p
        recalls.append(recall(index.search(queries, TOP_K)[1], expected))
    fetched = [float(np.mean(sizes[flat.search(queries, p)[1]].sum(1))) for p in probes]
    return sizes.max() / sizes.mean(), int((sizes == 0).sum()), duplicates, recalls, fetched


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", default="build/bench/bench/libombrix_bench_numerics.so")
    parser.add_argument("--lists", default="128,1024")
    parser.add_argument("--iters", default="100,300,1000")
    parser.add_argument("--batches", default="2048,8192,32768")
    parser.add_argument("--probes", default="1,4,16")
    parser.add_argument("--d", type=int, default=128)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    import faiss
    faiss.omp_set_num_threads(args.threads)
    ctypes.CDLL("libgomp.so.1").omp_set_num_threads(args.threads)
    ours = Ours(args.lib)
    probes = [int(x) for x in args.probes.split(",")]
    n = SIZES[args.d]
    rng = np.random.default_rng(SEED + args.d)
    points = mixture(rng, n + QUERIES, args.d)
    data, queries = points[:n], np.ascontiguousarray(points[n:])
    flat = faiss.IndexFlatL2(args.d)
    flat.add(data)
    expected = flat.search(queries, TOP_K)[1]
    print(f"{n} x {args.d}, {QUERIES} queries, {args.threads} thread(s); recall@{TOP_K} at n_probes {probes}")
    print("lists  trainer                     seconds  spread  empty  dup | recall (FAISS search)"
          "        | recall (our search)          | items fetched per query")
    for k in (int(x) for x in args.lists.split(",")):
        started = time.perf_counter()
        km = faiss.Kmeans(args.d, k, niter=100, seed=SEED)
        km.train(data)
        seconds = time.perf_counter() - started
        spread, empty, dup, recalls, fetched = describe(faiss, data, km.centroids, queries, expected, probes)
        label = f"FAISS k-means, {len(km.obj)} of 100"
        print(f"{k:5d}  {label:26s} {seconds:8.2f} {spread:7.2f} {empty:6d} {dup:4d} | "
              + " ".join(f"{r:.4f}" for r in recalls) + " " * 10 + "| " + " " * 29 + "| "
              + " ".join(f"{f:,.0f}" for f in fetched), flush=True)
        for iters in (int(x) for x in args.iters.split(",")):
            for batch in (int(x) for x in args.batches.split(",")):
                seconds, centroids = ours.train(data, k, iters, batch)
                spread, empty, dup, recalls, fetched = describe(faiss, data, centroids, queries, expected, probes)
                mine = ours.recalls(data, centroids, queries, expected, probes)
                label = f"ours, {iters} iters x {batch}"
                print(f"{k:5d}  {label:26s} {seconds:8.2f} {spread:7.2f} {empty:6d} {dup:4d} | "
                      + " ".join(f"{r:.4f}" for r in recalls) + " " * 10 + "| "
                      + " ".join(f"{r:.4f}" for r in mine) + " " * 9 + "| "
                      + " ".join(f"{f:,.0f}" for f in fetched), flush=True)


if __name__ == "__main__":
    main()
