#!/usr/bin/env python3
"""The encrypted index end to end from Python, beside the plaintext ceiling.

On synthetic clustered data (fixed seed), memory backend: upsert items/s, train seconds,
and recall@10 and queries/s for n_probes 1, 8, 32 and automatic, measured in one run
beside faiss-cpu IndexIVFFlat at the same lists and probes and numpy brute force.
The encrypted index is queried twice per setting: without an item cache (every probed
list is fetched, its labels walked and its items decrypted) and with a cache holding
every list, warmed first (ranking and probe selection only); their difference is the
cost of fetching and decrypting.

Run by hand (needs `pip install -r bench/requirements.txt` and `make module`):

    .venv/bin/python bench/end_to_end.py [--scale 0.2] [--queries 1000]
"""
import argparse
import os
import time

import numpy as np

import ombrixdb_vell as ombrix

DATASETS = [("clustered_100k_128", 100_000, 128), ("clustered_50k_768", 50_000, 768)]
PROBES = [1, 8, 32, None]  # None: the index chooses
TOP_K, SEED, CENTRES, UPSERT_BATCH = 10, 20261207, 1000, 10_000
SINGLE = 10  # queries issued one call at a time


def clustered(rng, n, d):
    centres = rng.standard_normal((CENTRES, d)).astype(np.float32) * 1.5
    labels = rng.integers(0, CENTRES, n)
    return centres[labels] + rng.standard_normal((n, d)).astype(np.float32)


def brute_force(data, queries):
    """Exact top-k ids (numpy, float32 matrix products) and the seconds it took."""
    started = time.perf_counter()
    norms = (data * data).sum(1)
    out = np.empty((len(queries), TOP_K), dtype=np.int64)
    for first in range(0, len(queries), 100):
        q = queries[first:first + 100]
        dist = norms[None, :] - 2 * q @ data.T
        part = np.argpartition(dist, TOP_K, axis=1)[:, :TOP_K]
        order = np.take_along_axis(dist, part, 1).argsort(1)
        out[first:first + 100] = np.take_along_axis(part, order, 1)
    return out, time.perf_counter() - started


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / TOP_K for f, t in zip(found, truth)]))


def timed(fn):
    started = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - started


def encrypted_run(data, queries, truth, cache_lists):
    memory = ombrix.DBConfig("memory")
    client = ombrix.Client("bench", memory, memory, memory)
    index = client.create_index("bench", os.urandom(32), ombrix.IndexIVFFlat(data.shape[1]),
                                max_cache_size=cache_lists)
    ids = [str(n) for n in range(len(data))]

    def upsert():
        for first in range(0, len(data), UPSERT_BATCH):
            index.upsert(ids[first:first + UPSERT_BATCH], data[first:first + UPSERT_BATCH])

    _, upsert_s = timed(upsert)
    _, train_s = timed(index.train)
    rows = {}
    for probes in PROBES:
        if cache_lists:
            index.query(queries, top_k=TOP_K, n_probes=probes)  # warm the cache
        hits, seconds = timed(lambda: index.query(queries, top_k=TOP_K, n_probes=probes))
        found = [[int(h["id"]) for h in row] for row in hits]
        _, single_s = timed(lambda: [index.query(q, top_k=TOP_K, n_probes=probes) for q in queries[:SINGLE]])
        rows[probes] = (recall(found, truth), len(queries) / seconds, SINGLE / single_s)
    return index.n_lists, len(data) / upsert_s, train_s, rows


def faiss_run(data, queries, truth, n_lists):
    import faiss
    quantizer = faiss.IndexFlatL2(data.shape[1])
    index = faiss.IndexIVFFlat(quantizer, data.shape[1], n_lists)
    _, train_s = timed(lambda: index.train(data))
    _, add_s = timed(lambda: index.add(data))
    rows = {}
    for probes in PROBES:
        if probes is None:
            continue
        index.nprobe = probes
        (_, found), seconds = timed(lambda: index.search(queries, TOP_K))
        _, single_s = timed(lambda: [index.search(queries[n:n + 1], TOP_K) for n in range(SINGLE)])
        rows[probes] = (recall(found, truth), len(queries) / seconds, SINGLE / single_s)
    return len(data) / add_s, train_s, rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the dataset sizes")
    parser.add_argument("--queries", type=int, default=1000)
    args = parser.parse_args()
    print(f"cores: {os.cpu_count()}, queries per setting: {args.queries}, top_k {TOP_K}\n")
    for name, n, d in DATASETS:
        n = int(n * args.scale)
        rng = np.random.default_rng(SEED)
        data = clustered(rng, n + args.queries, d)
        data, queries = data[:n], data[n:]
        truth, brute_s = brute_force(data, queries)
        n_lists, upsert_ips, train_s, cold = encrypted_run(data, queries, truth, cache_lists=0)
        _, _, _, warm = encrypted_run(data, queries, truth, cache_lists=n_lists)
        add_ips, faiss_train_s, faiss_rows = faiss_run(data, queries, truth, n_lists)
        print(f"== {name} ({n} x {d}), {n_lists} lists (automatic)")
        print(f"   upsert: encrypted {upsert_ips:,.0f} items/s, faiss add {add_ips:,.0f} items/s "
              f"(ratio {add_ips / upsert_ips:.1f}x)")
        print(f"   train:  encrypted {train_s:.2f} s, faiss {faiss_train_s:.2f} s")
        print(f"   numpy brute force: recall 1.000, {len(queries) / brute_s:,.0f} q/s")
        print("   q/s: 'batch' = all queries in one call, 'single' = one query per call; 'cached' = "
              "every list already decrypted in the item cache")
        print("   n_probes | encrypted recall  batch  single | cached batch single |"
              " faiss recall  batch  single | faiss/enc batch single")
        for probes in PROBES:
            r, qps, single = cold[probes]
            _, warm_qps, warm_single = warm[probes]
            label = "auto" if probes is None else str(probes)
            if probes in faiss_rows:
                fr, fqps, fsingle = faiss_rows[probes]
                tail = f"{fr:12.3f} {fqps:6,.0f} {fsingle:7,.0f} | {fqps / qps:9.1f}x {fsingle / single:6.0f}x"
            else:
                tail = f"{'-':>12} {'-':>6} {'-':>7} | {'-':>10} {'-':>6}"
            print(f"   {label:>8} | {r:16.3f} {qps:6,.0f} {single:7,.1f} | {warm_qps:12,.0f} {warm_single:6,.1f} | {tail}")
        print()


if __name__ == "__main__":
    main()
