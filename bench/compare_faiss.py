#!/usr/bin/env python3
"""Our IVF-Flat numerics beside FAISS, in one process, on the same data and centroids.

Loads the numerics through bench's C interface (libombrix_bench_numerics.so, built by
`make bench`) and FAISS from PyPI (`pip install -r bench/requirements.txt`), makes
synthetic clustered data with a fixed seed (200,000 x 128 and 100,000 x 768, 1,000
queries), and runs the two side by side, configuration by configuration in alternation,
keeping each side's best round, so that load from elsewhere on the machine weighs on both
alike. Prints one table: training time and inertia for the same iterations; recall@10
against brute force and queries per second (all threads, then one thread in a child
process with the thread counts pinned) for n_probes 1, 4, 16, 64, both searching with
the same centroids (ours, trained with the default 100 iterations).

    .venv/bin/python bench/compare_faiss.py [--lib build/bench/bench/libombrix_bench_numerics.so]
"""
import argparse
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

SHAPES = [("clustered_200k_128", 200000, 128), ("clustered_100k_768", 100000, 768)]
NPROBES = [1, 4, 16, 64]
QUERIES, TOP_K, LISTS, TRAIN_ITERS, DEFAULT_ITERS = 1000, 10, 1024, 10, 100
ROUNDS = {"all": 3, "one": 2}
DEFAULT_LIB = "build/bench/bench/libombrix_bench_numerics.so"
F32 = np.ctypeslib.ndpointer(np.float32, flags="C_CONTIGUOUS")
I64 = np.ctypeslib.ndpointer(np.int64, flags="C_CONTIGUOUS")
U64 = ctypes.c_uint64


def make_data(n, d):
    """Points around 4 * LISTS unit-normal centres with spread 0.6; queries likewise."""
    rng = np.random.default_rng(20261207 + d)
    centres = rng.standard_normal((4 * LISTS, d), dtype=np.float32)
    picks = rng.integers(0, len(centres), n + QUERIES)
    points = centres[picks] + np.float32(0.6) * rng.standard_normal((n + QUERIES, d), dtype=np.float32)
    return np.ascontiguousarray(points[:n]), np.ascontiguousarray(points[n:])


class Ours:
    def __init__(self, path):
        lib = ctypes.CDLL(os.path.abspath(path))
        lib.ombrix_bench_train.argtypes = [F32, U64, U64, U64, U64, F32]
        lib.ombrix_bench_train.restype = ctypes.c_double
        lib.ombrix_bench_open.argtypes = [F32, U64, U64, F32, U64]
        lib.ombrix_bench_open.restype = ctypes.c_void_p
        lib.ombrix_bench_close.argtypes = [ctypes.c_void_p]
        lib.ombrix_bench_search.argtypes = [ctypes.c_void_p, F32, U64, U64, ctypes.c_uint32, I64]
        lib.ombrix_bench_search.restype = ctypes.c_double
        self.lib = lib

    def train(self, base, iters):
        out = np.empty((LISTS, base.shape[1]), np.float32)
        seconds = self.lib.ombrix_bench_train(base, *base.shape, LISTS, iters, out)
        return seconds, out

    def searcher(self, base, centroids):
        handle = self.lib.ombrix_bench_open(base, *base.shape, centroids, LISTS)

        def search(queries, n_probes):
            rows = np.empty((len(queries), TOP_K), np.int64)
            seconds = self.lib.ombrix_bench_search(handle, queries, len(queries), n_probes, TOP_K, rows)
            return seconds, rows

        return search


def faiss_searcher(base, centroids):
    import faiss

    quantizer = faiss.IndexFlatL2(base.shape[1])
    quantizer.add(centroids)
    index = faiss.IndexIVFFlat(quantizer, base.shape[1], LISTS)
    index.is_trained = True
    index.add(base)

    def search(queries, n_probes):
        index.nprobe = n_probes
        start = time.perf_counter()
        _, ids = index.search(queries, TOP_K)
        return time.perf_counter() - start, ids

    return search


def faiss_train(base, iters):
    import faiss

    kmeans = faiss.Kmeans(base.shape[1], LISTS, niter=iters, seed=1234)
    start = time.perf_counter()
    kmeans.train(base)
    return time.perf_counter() - start, kmeans.centroids


def compare_searches(ours, base, queries, centroids, rounds):
    """Best-of-rounds seconds per n_probes for both sides, alternating; last ids of each."""
    sides = {"ours": ours.searcher(base, centroids), "faiss": faiss_searcher(base, centroids)}
    out = {}
    for n_probes in NPROBES:
        best = {name: float("inf") for name in sides}
        ids = {}
        for _ in range(rounds):
            for name, search in sides.items():
                seconds, ids[name] = search(queries, n_probes)
                best[name] = min(best[name], seconds)
        out[n_probes] = {"qps": {name: QUERIES / s for name, s in best.items()}, "ids": ids}
    return out


def inertia(base, centroids):
    import faiss

    index = faiss.IndexFlatL2(centroids.shape[1])
    index.add(np.ascontiguousarray(centroids, dtype=np.float32))
    distances, _ = index.search(base, 1)
    return float(distances.sum(dtype=np.float64))


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / TOP_K for f, t in zip(found, truth)]))


def one_thread_child(lib, centroid_files):
    """Searches only, with OMP and BLAS pinned to one thread by the parent's environment."""
    ours = Ours(lib)
    out = {}
    for (name, n, d), path in zip(SHAPES, centroid_files):
        base, queries = make_data(n, d)
        results = compare_searches(ours, base, queries, np.load(path), ROUNDS["one"])
        out[name] = {p: r["qps"] for p, r in results.items()}
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lib", default=DEFAULT_LIB)
    args = parser.parse_args()
    import faiss

    ours = Ours(args.lib)
    cores = os.cpu_count()
    work = tempfile.mkdtemp(prefix="ombrix_ivf_")
    rows, centroid_files, searches = [], [], {}
    for name, n, d in SHAPES:
        base, queries = make_data(n, d)
        t_ours, c_ours = ours.train(base, TRAIN_ITERS)
        t_faiss, c_faiss = faiss_train(base, TRAIN_ITERS)
        t_default, c_default = ours.train(base, DEFAULT_ITERS)
        path = os.path.join(work, f"{name}_centroids.npy")
        np.save(path, c_default)
        centroid_files.append(path)
        flat = faiss.IndexFlatL2(d)
        flat.add(base)
        _, truth = flat.search(queries, TOP_K)
        i_ours, i_faiss, i_default = inertia(base, c_ours), inertia(base, c_faiss), inertia(base, c_default)
        rows.append((name, f"train {TRAIN_ITERS} iterations, s ({cores} threads)", f"{t_ours:.2f}", f"{t_faiss:.2f}", f"{t_ours / t_faiss:.2f}"))
        rows.append((name, f"inertia after {TRAIN_ITERS} iterations", f"{i_ours:.4g}", f"{i_faiss:.4g}", f"{i_ours / i_faiss:.3f}"))
        rows.append((name, f"ours at its default {DEFAULT_ITERS} iterations: s, inertia", f"{t_default:.2f}, {i_default:.4g}", "", f"{i_default / i_faiss:.3f} (inertia)"))
        searches[name] = (compare_searches(ours, base, queries, c_default, ROUNDS["all"]), truth)

    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    child = subprocess.run([sys.executable, __file__, "--one-thread-child", args.lib, *centroid_files],
                           env=env, check=True, capture_output=True, text=True)
    one = json.loads(child.stdout)

    print(f"\nfaiss {faiss.__version__}; {cores} cores; {QUERIES} queries, k={TOP_K}, {LISTS} lists; "
          f"best of {ROUNDS['all']} alternating rounds ({ROUNDS['one']} at one thread)\n")
    print("| data | what | ours | faiss | ours/faiss |")
    print("| --- | --- | --- | --- | --- |")
    for name, _, _ in SHAPES:
        for row in (r for r in rows if r[0] == name):
            print("| " + " | ".join(row) + " |")
        results, truth = searches[name]
        for p in NPROBES:
            r_o, r_f = recall(results[p]["ids"]["ours"], truth), recall(results[p]["ids"]["faiss"], truth)
            print(f"| {name} | n_probes {p}: recall@10 | {r_o:.4f} | {r_f:.4f} | {r_o - r_f:+.4f} (difference) |")
            for label, qps in (("1 thread", one[name][str(p)]), (f"{cores} threads", results[p]["qps"])):
                print(f"| {name} | n_probes {p}: queries/s, {label} | {qps['ours']:.0f} | {qps['faiss']:.0f} | "
                      f"{qps['ours'] / qps['faiss']:.2f} |")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--one-thread-child":
        print(json.dumps(one_thread_child(sys.argv[2], sys.argv[3:])))
    else:
        main()
