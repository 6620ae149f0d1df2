#!/usr/bin/env python3
"""One process of one build: PostgreSQL upserts of BATCH items timed N times after a
warm-up, with the CPU the server spent (every PostgreSQL process, from /proc) and the
client spent per upsert. Run two builds one after the other, pinned (taskset), several
times alternating:

    source scripts/services.sh
    taskset -c 2 <venv python> bench/upsert_cost_alone.py BATCH N
"""
import os, sys, time, secrets, subprocess
def pg_cpu():
    total = 0
    for pid in subprocess.run(["pgrep", "-f", "postgres"], capture_output=True, text=True).stdout.split():
        try:
            f = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
            total += int(f[11]) + int(f[12])
        except Exception:
            pass
    return total / os.sysconf("SC_CLK_TCK")
import numpy as np
import ombrixdb_vell as ombrix
addr = os.environ["OMBRIX_TEST_PG"]
items = ombrix.DBConfig("postgres", "srvcpu_items", addr)
config = ombrix.DBConfig("postgres", "srvcpu_cfg", addr)
index = ombrix.Client("b", items, config, items).create_index("s" + secrets.token_hex(4), os.urandom(32), ombrix.IndexIVFFlat(64))
rng = np.random.default_rng(1)
batch = int(sys.argv[1]); n = int(sys.argv[2])
index.upsert([f"w{i}" for i in range(100)], rng.standard_normal((100, 64)).astype("float32"))
c0, t0, u0 = pg_cpu(), time.monotonic(), os.times()
for k in range(n):
    index.upsert([f"i{k}_{j}" for j in range(batch)], rng.standard_normal((batch, 64)).astype("float32"))
c1, t1, u1 = pg_cpu(), time.monotonic(), os.times()
print(f"batch {batch}: wall {1e3*(t1-t0)/n:.3f} ms, server cpu {1e3*(c1-c0)/n:.3f} ms, client cpu {1e3*((u1.user+u1.system)-(u0.user+u0.system))/n:.3f} ms per upsert", file=sys.stderr)
index.delete_index()
