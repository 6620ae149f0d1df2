#!/usr/bin/env python3
"""Metadata filters from Python: filtered queries beside FAISS and brute force, and what
the per-list summaries cost a trained upsert.

1. Filtered queries: a trained index of 200,000 items (128-d, 1,000 overlapping
   clusters, memory backend). Each item has a category correlated with its cluster (90%
   the cluster's own, 10% random; 1,000 categories) and an uncorrelated price. Filters at
   selectivity 10%, 1% and 0.1% on each field; recall@10 against the exact filtered
   answer and queries/s, beside FAISS IndexIVFFlat searching with an IDSelectorBatch of
   the matching ids at the same n_probes, and numpy brute force over the matching items.
2. Trained upsert: 100,000 items in batches of 1,000 into a trained index, with a field
   holding a unique string per item, beside the same items without metadata; items/s
   over the run and per tenth of it, and the slope of the per-batch time.

Run by hand (needs `pip install -r bench/requirements.txt` and the module installed):

    .venv/bin/python bench/filtered_bench.py [--scale 1.0] [--queries 200] [--part both]
"""
import argparse
import os
import time

import numpy as np

import ombrixdb_vell as ombrix

SEED, TOP_K, CENTRES, CATEGORIES, PRICE_RANGE = 20261207, 10, 1000, 1000, 100_000
SELECTIVITIES = [0.10, 0.01, 0.001]
PROBES = [8, 32]


def memory_index(name, d, cache_lists=0):
    memory = ombrix.DBConfig("memory")
    client = ombrix.Client("bench", memory, memory, memory)
    return client.create_index(name, os.urandom(32), ombrix.IndexIVFFlat(d), max_cache_size=cache_lists)


def upsert_items(index, ids, vectors, metadata, batch=10_000):
    for first in range(0, len(ids), batch):
        items = []
        for n in range(first, min(first + batch, len(ids))):
            item = {"id": ids[n], "vector": vectors[n].tolist()}
            if metadata is not None:
                item["metadata"] = metadata[n]
            items.append(item)
        index.upsert(items)


def timed(fn):
    started = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - started


def filtered_truth(data, queries, mask):
    """Exact top-k row numbers among the rows where mask holds, and the seconds it took."""
    started = time.perf_counter()
    rows = np.flatnonzero(mask)
    subset = data[rows]
    norms = (subset * subset).sum(1)
    k = min(TOP_K, len(rows))
    dist = norms[None, :] - 2 * queries @ subset.T
    part = np.argpartition(dist, k - 1, axis=1)[:, :k]
    order = np.take_along_axis(dist, part, 1).argsort(1)
    found = rows[np.take_along_axis(part, order, 1)]
    return found, time.perf_counter() - started


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / max(len(t), 1) for f, t in zip(found, truth)]))


def filter_cases(category_codes, prices):
    """(label, filter document, row mask) for each field and selectivity."""
    cases = []
    for s in SELECTIVITIES:
        wanted = max(1, int(round(s * CATEGORIES)))
        cats = [f"c{c}" for c in range(wanted)]
        cases.append((f"category {s:.1%}", {"category": {"$in": cats}}, category_codes < wanted))
        bound = int(round(s * PRICE_RANGE))
        cases.append((f"price    {s:.1%}", {"price": {"$lt": bound}}, prices < bound))
    return cases


def filtered_queries(args):
    import faiss
    rng = np.random.default_rng(SEED)
    n, d = int(200_000 * args.scale), 128
    centres = rng.standard_normal((CENTRES, d)).astype(np.float32)
    labels = rng.integers(0, CENTRES, n + args.queries)
    points = centres[labels] + rng.standard_normal((n + args.queries, d)).astype(np.float32)
    data, queries = points[:n], points[n:]
    category_codes = np.where(rng.random(n) < 0.9, labels[:n] % CATEGORIES, rng.integers(0, CATEGORIES, n))
    prices = rng.integers(0, PRICE_RANGE, n)
    metadata = [{"category": f"c{c}", "price": int(p)} for c, p in zip(category_codes, prices)]
    ids = [str(i) for i in range(n)]

    index = memory_index("filtered", d)
    _, upsert_s = timed(lambda: upsert_items(index, ids, data, metadata))
    _, train_s = timed(index.train)
    n_lists = index.n_lists
    ivf = faiss.IndexIVFFlat(faiss.IndexFlatL2(d), d, n_lists)
    ivf.train(data)
    ivf.add(data)
    print(f"== filtered queries: {n} x {d}, {n_lists} lists, {args.queries} queries, top_k {TOP_K}")
    print(f"   encrypted upsert {n / upsert_s:,.0f} items/s, train {train_s:.1f} s")
    print("   filter          n_probes | encrypted recall    q/s | faiss+selector recall    q/s |"
          " brute force q/s | enc/faiss recall")
    for label, document, mask in filter_cases(category_codes, prices):
        truth, brute_s = filtered_truth(data, queries, mask)
        selector_ids = np.flatnonzero(mask).astype(np.int64)
        for probes in PROBES:
            hits, seconds = timed(lambda: index.query(queries, top_k=TOP_K, n_probes=probes, filters=document))
            found = [[int(h["id"]) for h in row] for row in hits]
            ours = recall(found, truth)
            selector = faiss.IDSelectorBatch(selector_ids)
            params = faiss.SearchParametersIVF(sel=selector, nprobe=probes)
            (_, faiss_found), faiss_s = timed(lambda: ivf.search(queries, TOP_K, params=params))
            theirs = recall([[i for i in row if i >= 0] for row in faiss_found], truth)
            print(f"   {label} {probes:8} | {ours:16.3f} {len(queries) / seconds:6,.0f} |"
                  f" {theirs:21.3f} {len(queries) / faiss_s:6,.0f} | {len(queries) / brute_s:15,.0f} |"
                  f" {ours - theirs:+.3f}")
    print()


def trained_upserts(args):
    """Both indexes are built and trained first; then their batches alternate, so load from
    elsewhere on the machine weighs on both alike."""
    rng = np.random.default_rng(SEED + 1)
    d, first, batches, batch = 128, 10_000, int(100 * args.scale), 1000
    total = first + batches * batch
    centres = rng.standard_normal((CENTRES, d)).astype(np.float32)
    points = centres[rng.integers(0, CENTRES, total)] + rng.standard_normal((total, d)).astype(np.float32)
    ids = [f"item{i}" for i in range(total)]
    serials = [{"serial": f"unique-{i:09d}"} for i in range(total)]
    print(f"== trained upsert: {batches} batches of {batch} after {first} items trained on, d {d}")
    indexes = {}
    for with_metadata in (False, True):
        index = memory_index(f"upserts{int(with_metadata)}", d)
        upsert_items(index, ids[:first], points[:first], serials[:first] if with_metadata else None)
        index.train()
        indexes[with_metadata] = index
    times = {False: [], True: []}
    for b in range(batches):
        lo, hi = first + b * batch, first + (b + 1) * batch
        for with_metadata, index in indexes.items():
            _, seconds = timed(lambda: upsert_items(index, ids[lo:hi], points[lo:hi],
                                                    serials[lo:hi] if with_metadata else None))
            times[with_metadata].append(seconds)
    results = {k: np.array(v) for k, v in times.items()}
    tenths = max(1, batches // 10)
    print("   tenth | items/s without metadata | items/s unique string | ratio")
    for t in range(0, batches, tenths):
        plain = batch * tenths / results[False][t:t + tenths].sum()
        meta = batch * tenths / results[True][t:t + tenths].sum()
        print(f"   {t // tenths + 1:5} | {plain:24,.0f} | {meta:21,.0f} | {plain / meta:5.2f}")
    extra = (results[True] - results[False]) * 1000
    slope = np.polyfit(np.arange(batches), extra, 1)[0]
    for with_metadata, run in results.items():
        print(f"   {'unique string' if with_metadata else 'no metadata'}: {batches * batch / run.sum():,.0f}"
              f" items/s over the run (first tenth {run[:tenths].mean() * 1000:.1f} ms per batch,"
              f" last {run[-tenths:].mean() * 1000:.1f} ms)")
    print(f"   metadata's extra time per batch: first tenth {extra[:tenths].mean():.1f} ms, last tenth"
          f" {extra[-tenths:].mean():.1f} ms; grows {slope * 10:.2f} ms per 10,000 items stored")
    print()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the item counts")
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--part", choices=["queries", "upserts", "both"], default="both")
    args = parser.parse_args()
    print(f"cores: {os.cpu_count()}\n")
    if args.part in ("queries", "both"):
        filtered_queries(args)
    if args.part in ("upserts", "both"):
        trained_upserts(args)


if __name__ == "__main__":
    main()
