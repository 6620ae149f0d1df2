#!/usr/bin/env python3
"""One process of one build: cached single queries on PostgreSQL (10,000 items of 64-d,
16 lists, 4 probes, an item cache of 64 lists) timed N times after a warm-up, wall and
client CPU per query. Run two builds one after the other, pinned, alternating:

    source scripts/services.sh
    taskset -c 2 <venv python> bench/cached_query_cost_alone.py N
"""
import os, sys, time, secrets
import numpy as np
import ombrixdb_vell as ombrix
addr = os.environ["OMBRIX_TEST_PG"]
items = ombrix.DBConfig("postgres", "qcpu_items", addr)
config = ombrix.DBConfig("postgres", "qcpu_cfg", addr)
index = ombrix.Client("b", items, config, items).create_index("q" + secrets.token_hex(4), os.urandom(32), ombrix.IndexIVFFlat(64), max_cache_size=64)
rng = np.random.default_rng(1)
v = rng.standard_normal((10000, 64)).astype("float32")
index.upsert([f"i{j}" for j in range(10000)], v)
index.train(n_lists=16)
for q in v[:50]: index.query(q, top_k=5, n_probes=4)
n = int(sys.argv[1])
t0, u0 = time.monotonic(), os.times()
for k in range(n):
    index.query(v[k % 50], top_k=5, n_probes=4)
t1, u1 = time.monotonic(), os.times()
print(f"cached query: wall {1e6*(t1-t0)/n:.1f} us, client cpu {1e6*((u1.user+u1.system)-(u0.user+u0.system))/n:.1f} us", file=sys.stderr)
index.delete_index()
