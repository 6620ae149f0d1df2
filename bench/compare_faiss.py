#!/usr/bin/env python3
"""Our IVF-Flat numerics beside FAISS on the same synthetic data and the same centroids.

Runs bench's ivf_numerics_bench (all threads, then one thread), FAISS in subprocesses
with the same thread limits, and prints one table: training time and inertia for the
same number of iterations, recall@10 against brute force and queries per second for
n_probes 1, 4, 16, 64. Needs `pip install -r bench/requirements.txt` and `make bench`.

    .venv/bin/python bench/compare_faiss.py [--bench build/bench/bench/ivf_numerics_bench]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

DATASETS = {"clustered_200k_128": (200000, 128), "clustered_100k_768": (100000, 768)}
NPROBES = [1, 4, 16, 64]
QUERIES, TOP_K, LISTS, TRAIN_ITERS = 1000, 10, 1024, 10
# Timed repetitions of each search: fewer at one thread, where a pass takes longest.
REPEATS = {"all": 3, "one": 1}


def load(dump, name, what, cols, dtype=np.float32):
    return np.fromfile(os.path.join(dump, f"{name}_{what}"), dtype=dtype).reshape(-1, cols)


def single_thread_env():
    env = dict(os.environ)
    env.update(OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    return env


def faiss_side(dump, threads, train, repeats):
    """Runs in its own process so that the thread limits hold for FAISS's BLAS too."""
    import faiss

    faiss.omp_set_num_threads(threads)
    out = {}
    for name, (n, d) in DATASETS.items():
        base = load(dump, name, "base.f32", d)
        queries = load(dump, name, "queries.f32", d)
        centroids = load(dump, name, "centroids.f32", d)
        row = {}
        if train:
            kmeans = faiss.Kmeans(d, LISTS, niter=TRAIN_ITERS, seed=1234)
            start = time.perf_counter()
            kmeans.train(base)
            row["train_ms"] = 1000 * (time.perf_counter() - start)
            kmeans.centroids.astype(np.float32).tofile(os.path.join(dump, f"{name}_faiss_trained.f32"))
        quantizer = faiss.IndexFlatL2(d)
        quantizer.add(centroids)
        index = faiss.IndexIVFFlat(quantizer, d, LISTS)
        index.is_trained = True
        index.add(base)
        for n_probes in NPROBES:
            index.nprobe = n_probes
            start = time.perf_counter()
            for _ in range(repeats):
                _, ids = index.search(queries, TOP_K)
            row[f"qps_{n_probes}"] = repeats * QUERIES / (time.perf_counter() - start)
            ids.astype(np.int64).tofile(os.path.join(dump, f"{name}_faiss_result_{n_probes}.i64"))
        out[name] = row
    return out


def run_faiss(dump, threads, train):
    env = dict(os.environ) if threads > 1 else single_thread_env()
    repeats = REPEATS["all" if threads > 1 else "one"]
    args = [sys.executable, __file__, "--faiss-side", dump, str(threads), "1" if train else "0", str(repeats)]
    return json.loads(subprocess.run(args, env=env, check=True, capture_output=True, text=True).stdout)


def run_ours(bench, dump, threads, pattern):
    env = dict(os.environ) if threads > 1 else single_thread_env()
    report = os.path.join(dump, f"ours_{threads}.json")
    repeats = REPEATS["all" if threads > 1 else "one"]
    subprocess.run([bench, f"--dump_dir={dump}", f"--search_iterations={repeats}", f"--benchmark_filter={pattern}",
                    "--benchmark_format=console", f"--benchmark_out={report}",
                    "--benchmark_out_format=json"], env=env, check=True, stdout=subprocess.DEVNULL)
    with open(report) as f:
        rows = json.load(f)["benchmarks"]
    out = {}
    for r in rows:
        kind, name = r["name"].split("/")[:2]
        row = out.setdefault(name, {})
        if kind == "Train":
            row[f"train_ms_{r['name'].split('/')[2]}"] = r["real_time"]
        else:
            row[f"qps_{r['name'].split('/')[2]}"] = r["qps"]
    return out


def recall(dump, name, which, n_probes, truth):
    got = np.fromfile(os.path.join(dump, f"{name}_{which}_{n_probes}.i64"), dtype=np.int64).reshape(-1, TOP_K)
    return np.mean([len(set(g) & set(t)) / TOP_K for g, t in zip(got, truth)])


def inertia(base, centroids):
    import faiss

    index = faiss.IndexFlatL2(centroids.shape[1])
    index.add(centroids)
    distances, _ = index.search(base, 1)
    return float(distances.sum(dtype=np.float64))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", default="build/bench/bench/ivf_numerics_bench")
    parser.add_argument("--dump", default=None, help="keep data and results here")
    args = parser.parse_args()
    import faiss

    dump = args.dump or tempfile.mkdtemp(prefix="ombrix_ivf_")
    cores = os.cpu_count()
    ours_all = run_ours(args.bench, dump, cores, ".")  # writes data and centroids first
    ours_one = run_ours(args.bench, dump, 1, "Search")  # searches with the saved centroids
    faiss_all = run_faiss(dump, cores, True)
    faiss_one = run_faiss(dump, 1, False)

    print(f"\nfaiss {faiss.__version__}; {cores} cores; {QUERIES} queries, k={TOP_K}, {LISTS} lists; "
          f"both search with the same centroids\n")
    print("| data | what | ours | faiss | ours/faiss |")
    print("| --- | --- | --- | --- | --- |")
    for name, (n, d) in DATASETS.items():
        base = load(dump, name, "base.f32", d)
        queries = load(dump, name, "queries.f32", d)
        flat = faiss.IndexFlatL2(d)
        flat.add(base)
        _, truth = flat.search(queries, TOP_K)
        ours_inertia = inertia(base, load(dump, name, f"trained_{TRAIN_ITERS}.f32", d))
        default_inertia = inertia(base, load(dump, name, "trained_100.f32", d))
        faiss_inertia = inertia(base, load(dump, name, "faiss_trained.f32", d))
        t_o, t_f = ours_all[name][f"train_ms_{TRAIN_ITERS}"], faiss_all[name]["train_ms"]
        print(f"| {name} | train {TRAIN_ITERS} iterations, ms ({cores} threads) | {t_o:.0f} | {t_f:.0f} | {t_o / t_f:.2f} |")
        print(f"| {name} | inertia after {TRAIN_ITERS} iterations | {ours_inertia:.4g} | {faiss_inertia:.4g} | {ours_inertia / faiss_inertia:.3f} |")
        t_d = ours_all[name]["train_ms_100"]
        print(f"| {name} | ours at its default 100 iterations: ms, inertia | {t_d:.0f}, {default_inertia:.4g} | | {default_inertia / faiss_inertia:.3f} (inertia) |")
        for p in NPROBES:
            r_o, r_f = recall(dump, name, "result", p, truth), recall(dump, name, "faiss_result", p, truth)
            print(f"| {name} | n_probes {p}: recall@10 | {r_o:.4f} | {r_f:.4f} | {r_o - r_f:+.4f} (difference) |")
            for label, o, f in (("1 thread", ours_one, faiss_one), (f"{cores} threads", ours_all, faiss_all)):
                q_o, q_f = o[name][f"qps_{p}"], f[name][f"qps_{p}"]
                print(f"| {name} | n_probes {p}: queries/s, {label} | {q_o:.0f} | {q_f:.0f} | {q_o / q_f:.2f} |")
    print(f"\ndata and results: {dump}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--faiss-side":
        print(json.dumps(faiss_side(sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1", int(sys.argv[5]))))
    else:
        main()
