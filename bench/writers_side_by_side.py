#!/usr/bin/env python3
"""Concurrent writers, single-process upserts, cached queries and filtered queries after
retraining, for two builds of the module side by side in one run.

Each measurement runs in a fresh subprocess of the interpreter of its build (`--python`
for the current build, `--peer-python` for the one compared with, each importing
ombrixdb_vell from its own venv), in alternating rounds (peer, current, peer, current,
...) so that the load of the machine falls on both alike. Every round makes an index of
its own name and deletes it afterwards; the tables (PostgreSQL) and hashes (Redis) are
bench_items_<build> and bench_config_<build>.

a. 8 processes upsert 150 batches of 20 (64-d) each into one index, released together:
   items/s from the release to the last finish, p50 upsert latency, failed upserts.
   Every process imports, opens its client, loads the index and makes one untimed upsert
   before it waits for the release, so start-up stays outside the timed window (in d
   too); b times its upserts after one untimed upsert of the same size.
b. One process on a 10,000-item index (64-d): single upserts and batches of 20 before
   training, then after train(n_lists=16) the same: upserts/s.
c. Single queries (top_k 10) on a trained 10,000-item index opened with max_cache_size 64
   (the default handle has no cache), the same 8 vectors over and over after a warm-up:
   queries/s.
d. 32 processes upsert 40 single items each, released together: wall time, failed
   upserts and their distinct messages. Each PostgreSQL handle holds 4 connections, so
   this wants about 130 and a server with max_connections 100 refuses some handles:
   those are reported as refused processes.
e. 16 well separated clusters of 1,000 points (32-d) with metadata {"cluster": c},
   trained 4 times in a row (16 lists); after each training 240 queries near a cluster
   filtered to that cluster with n_probes=1: how many answered with at least one item.

Rates are the median over rounds with the range in brackets; beside the ratio of the
medians, the median of each round's ratio (its current run beside the peer run just
before it). Needs PostgreSQL and Redis
(see --pg and --redis). From the worktree of the current build:

    .venv/bin/python bench/writers_side_by_side.py --python .venv/bin/python \\
        --peer-python /path/to/baseline/venv/bin/python [--rounds 3] [--only a,d] \\
        [--backends redis] [--quick]
"""
import argparse
import collections
import json
import os
import secrets
import statistics
import subprocess
import sys
import tempfile
import time

SCRIPT = os.path.abspath(__file__)
WORKLOADS = "abcde"
BACKENDS = {"a": ("postgres", "redis"), "b": ("postgres", "redis", "memory"),
            "c": ("postgres", "redis", "memory"), "d": ("postgres", "redis"),
            "e": ("memory", "postgres")}
SIZES = {
    "full": dict(a_procs=8, a_batches=150, b_single=1500, b_batches=500, c_queries=1000,
                 d_procs=32, d_items=40, e_trainings=4),
    "quick": dict(a_procs=8, a_batches=40, b_single=100, b_batches=50, c_queries=300,
                  d_procs=32, d_items=10, e_trainings=2),
}
TRAINING_ITEMS, DIM, LISTS = 10_000, 64, 16
E_CLUSTERS, E_POINTS, E_DIM, E_PER_CLUSTER = 16, 1000, 32, 15
RELEASE_TIMEOUT = 180  # seconds a process waits to be released, so none hangs forever


# ---------------------------------------------------------------- inside a build's process

def client(job):
    import ombrixdb_vell as ombrix
    if job["backend"] == "memory":
        memory = ombrix.DBConfig("memory")
        return ombrix.Client("bench", memory, memory, memory)
    address = job["pg"] if job["backend"] == "postgres" else job["redis"]
    items = ombrix.DBConfig(job["backend"], f"bench_items_{job['build']}", address)
    config = ombrix.DBConfig(job["backend"], f"bench_config_{job['build']}", address)
    return ombrix.Client("bench", items, config, items)


def create(job, dim, **kwargs):
    import ombrixdb_vell as ombrix
    return client(job).create_index(job["name"], bytes.fromhex(job["key"]),
                                    ombrix.IndexIVFFlat(dim), **kwargs)


def first_line(error, job):
    """The message's first line, without the round's index name, so rounds count together."""
    text = (str(error).strip() or type(error).__name__).splitlines()[0]
    return f"{type(error).__name__}: {text.replace(job['name'], '<index>')}"


def filled(job, rng, **kwargs):
    index = create(job, DIM, **kwargs)
    vectors = rng.standard_normal((TRAINING_ITEMS, DIM)).astype("float32")
    for start in range(0, TRAINING_ITEMS, 1000):
        index.upsert([f"f{n}" for n in range(start, start + 1000)], vectors[start:start + 1000])
    return index, vectors


def upsert_rate(index, rng, prefix, calls, batch):
    vectors = rng.standard_normal((calls + 1, batch, DIM)).astype("float32")
    # Untimed: whatever a handle does once (reading the configuration after a training,
    # starting thread pools) stays out of the rate.
    index.upsert([f"{prefix}warm_{i}" for i in range(batch)], vectors[calls])
    started = time.perf_counter()
    for call in range(calls):
        index.upsert([f"{prefix}{call}_{i}" for i in range(batch)], vectors[call])
    return calls / (time.perf_counter() - started)


def single_process(job):
    import numpy as np
    rng = np.random.default_rng(job["round"])
    sizes, workload = job["sizes"], job["workload"]
    if workload == "b":
        index, _ = filled(job, rng)
        try:
            result = {"untrained_1": upsert_rate(index, rng, "u", sizes["b_single"], 1),
                      "untrained_20": upsert_rate(index, rng, "v", sizes["b_batches"], 20)}
            index.train(n_lists=LISTS)
            result["trained_1"] = upsert_rate(index, rng, "t", sizes["b_single"], 1)
            result["trained_20"] = upsert_rate(index, rng, "b", sizes["b_batches"], 20)
            return result
        finally:
            index.delete_index()
    if workload == "c":
        index, vectors = filled(job, rng, max_cache_size=64)
        try:
            index.train(n_lists=LISTS)
            asked = vectors[:8]
            for _ in range(5):
                for v in asked:
                    index.query(v, top_k=10)
            started = time.perf_counter()
            for n in range(sizes["c_queries"]):
                index.query(asked[n % 8], top_k=10)
            return {"queries_per_s": sizes["c_queries"] / (time.perf_counter() - started)}
        finally:
            index.delete_index()
    return filtered_after_retraining(job, rng)


def filtered_after_retraining(job, rng):
    centres = rng.standard_normal((E_CLUSTERS, E_DIM)).astype("float32") * 50
    index = create(job, E_DIM, metric="squared_euclidean")
    try:
        for c in range(E_CLUSTERS):
            points = centres[c] + rng.standard_normal((E_POINTS, E_DIM)).astype("float32")
            index.upsert([{"id": f"c{c}_{n}", "vector": points[n], "metadata": {"cluster": c}}
                          for n in range(E_POINTS)])
        answered, errors = [], collections.Counter()
        for _ in range(job["sizes"]["e_trainings"]):
            index.train(n_lists=LISTS)
            count = 0
            for c in range(E_CLUSTERS):
                for _ in range(E_PER_CLUSTER):
                    near = centres[c] + rng.standard_normal(E_DIM).astype("float32")
                    try:
                        count += bool(index.query(near, top_k=10, n_probes=1,
                                                  filters={"cluster": c}))
                    except Exception as error:
                        errors[first_line(error, job)] += 1
            answered.append(count)
        return {"answered": answered, "errors": errors}
    finally:
        index.delete_index()


def writer(job, number, ready, release, results):
    """One of the concurrent writers: opens the index, makes one untimed upsert, says so,
    waits for the release. Its start-up stays outside the timed window."""
    import numpy as np
    batch, calls = job["batch"], job["calls"]
    vectors = np.random.default_rng([job["round"], number]).standard_normal(
        (calls + 1, batch, DIM)).astype("float32")
    try:
        index = client(job).load_index(job["name"], bytes.fromhex(job["key"]))
        index.upsert([f"w{number}_warm_{i}" for i in range(batch)], vectors[calls])
    except Exception as error:
        ready.put(("refused", first_line(error, job)))
        return
    ready.put(("ready", None))
    latencies, errors = [], []
    if not release.wait(RELEASE_TIMEOUT):
        results.put((latencies, ["not released"], time.monotonic()))
        return
    for call in range(calls):
        ids = [f"w{number}_{call}_{i}" for i in range(batch)]
        started = time.monotonic()
        try:
            index.upsert(ids, vectors[call])
            latencies.append(time.monotonic() - started)
        except Exception as error:
            errors.append(first_line(error, job))
    results.put((latencies, errors, time.monotonic()))


def concurrent_writers(job):
    import gc
    import multiprocessing
    index = create(job, DIM)
    del index  # its connections would count against the server's limit during the run
    gc.collect()
    context = multiprocessing.get_context("spawn")
    ready, release, results = context.Queue(), context.Event(), context.Queue()
    procs = [context.Process(target=writer, args=(job, n, ready, release, results))
             for n in range(job["procs"])]
    for p in procs:
        p.start()
    refused = collections.Counter()
    for _ in procs:
        state, text = ready.get(timeout=RELEASE_TIMEOUT)
        if state == "refused":
            refused[text] += 1
    writing = len(procs) - sum(refused.values())
    released = time.monotonic()
    release.set()
    outcomes = [results.get(timeout=600) for _ in range(writing)]
    for p in procs:
        p.join()
    latencies = [t for lat, _, _ in outcomes for t in lat]
    errors = collections.Counter(text for _, errs, _ in outcomes for text in errs)
    wall = max((end for _, _, end in outcomes), default=released) - released
    client(job).load_index(job["name"], bytes.fromhex(job["key"])).delete_index()
    return {"wall_s": wall, "items_per_s": len(latencies) * job["batch"] / wall if wall else 0.0,
            "p50_ms": statistics.median(latencies) * 1e3 if latencies else None,
            "failed": sum(errors.values()), "attempted": writing * job["calls"],
            "errors": errors, "refused": refused, "procs": len(procs)}


def worker(job, result_path):
    result = concurrent_writers(job) if job["workload"] in "ad" else single_process(job)
    with open(result_path, "w") as out:
        json.dump(result, out)


# ---------------------------------------------------------------- the driver

def run_job(python, job):
    with tempfile.TemporaryDirectory(prefix="bench_writers_") as scratch:
        result_path = os.path.join(scratch, "result.json")
        # The scratch directory takes whatever the library leaves in the working directory.
        done = subprocess.run([python, SCRIPT, "--worker", json.dumps(job), result_path],
                              cwd=scratch, capture_output=True, text=True, timeout=900)
        if done.returncode != 0 or not os.path.exists(result_path):
            tail = (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]
            return {"crashed": tail}
        with open(result_path) as result:
            return json.load(result)


def jobs_of(workload, backend, sizes, args):
    base = dict(workload=workload, backend=backend, sizes=sizes, pg=args.pg, redis=args.redis)
    if workload == "a":
        base.update(procs=sizes["a_procs"], calls=sizes["a_batches"], batch=20)
    elif workload == "d":
        base.update(procs=sizes["d_procs"], calls=sizes["d_items"], batch=1)
    return base


def spread(values):
    values = [v for v in values if v is not None]
    if not values:
        return None, "-"
    middle = statistics.median(values)
    if len(values) == 1:
        return middle, figure(middle)
    return middle, f"{figure(middle)} [{figure(min(values))}-{figure(max(values))}]"


def figure(value):
    return f"{value:.0f}" if abs(value) >= 100 else f"{value:.3g}"


def rows_of(workload, backend, runs, sizes):
    """Table rows (workload, backend, measure, peer, current, ratio, paired) of one workload."""
    def rate(measure, field, lower_is_better=False):
        figures = {build: spread([r.get(field) for r in runs[build] if "crashed" not in r])
                   for build in ("peer", "current")}
        (p, ptext), (c, ctext) = figures["peer"], figures["current"]
        ratio = f"{c / p:.2f}" if p and c is not None else "-"
        # Each round's current beside the peer run just before it: the load of the
        # machine drifts less within a round than across the run.
        pairs = [cr[field] / pr[field] for pr, cr in zip(runs["peer"], runs["current"])
                 if pr.get(field) and cr.get(field) is not None]
        paired = f"{statistics.median(pairs):.2f}" if pairs else "-"
        label = measure + (" (lower is better)" if lower_is_better else "")
        return (workload, backend, label, ptext, ctext, ratio, paired)

    def failures(measure):
        texts = []
        for build in ("peer", "current"):
            ok = [r for r in runs[build] if "crashed" not in r]
            refused = sum(sum(r["refused"].values()) for r in ok)
            text = f"{sum(r['failed'] for r in ok)}/{sum(r['attempted'] for r in ok)}"
            if refused:
                text += f", {refused} of {sum(r['procs'] for r in ok)} procs refused"
            texts.append(text)
        return (workload, backend, measure, texts[0], texts[1], "", "")

    if workload == "a":
        return [rate("items/s", "items_per_s"), rate("p50 upsert ms", "p50_ms", True),
                failures("failed upserts")]
    if workload == "b":
        return [rate("upserts/s, batch 1, untrained", "untrained_1"),
                rate("upserts/s, batch 20, untrained", "untrained_20"),
                rate("upserts/s, batch 1, trained", "trained_1"),
                rate("upserts/s, batch 20, trained", "trained_20")]
    if workload == "c":
        return [rate("queries/s, 64-list cache", "queries_per_s")]
    if workload == "d":
        return [rate("wall s", "wall_s", True), failures("failed upserts")]
    rows = []
    for training in range(sizes["e_trainings"]):
        texts = [" ".join(str(r["answered"][training]) if "crashed" not in r else "x"
                          for r in runs[build]) for build in ("peer", "current")]
        rows.append((workload, backend, f"answered/240 after training {training + 1}",
                     texts[0], texts[1], "", ""))
    return rows


def messages(workload, backend, runs):
    lines = []
    for build in ("peer", "current"):
        counted = collections.Counter()
        for r in runs[build]:
            if "crashed" in r:
                counted["worker crashed: " + r["crashed"]] += 1
                continue
            for field, kind in (("errors", "raised"), ("refused", "process refused")):
                for text, n in r.get(field, {}).items():
                    counted[f"{kind}: {text}"] += n
        lines += [f"  {workload} {backend} {build}: {n} x {text}"
                  for text, n in sorted(counted.items())]
    return lines


def print_table(rows):
    header = ("workload", "backend", "measure", "peer", "current", "current/peer",
              "median of rounds' current/peer")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    for row in [header, tuple("-" * w for w in widths)] + rows:
        print("  ".join(str(cell).ljust(w) for cell, w in zip(row, widths)).rstrip())


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--worker":
        worker(json.loads(sys.argv[2]), sys.argv[3])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", required=True, help="interpreter of the current build")
    parser.add_argument("--peer-python", required=True,
                        help="interpreter of the build compared with")
    parser.add_argument("--rounds", type=int, default=None,
                        help="rounds per build (default 3, 1 with --quick)")
    parser.add_argument("--only", default=WORKLOADS, help="workloads to run, e.g. a,d")
    parser.add_argument("--backends", default="memory,postgres,redis",
                        help="backends to run the workloads on, e.g. redis")
    parser.add_argument("--quick", action="store_true", help="fewer calls and one round")
    parser.add_argument("--pg", default="host=127.0.0.1 port=5432 dbname=test user=postgres")
    parser.add_argument("--redis", default="host:127.0.0.1,port:6379,db:0")
    args = parser.parse_args()
    chosen = [w for w in WORKLOADS if w in args.only.replace(",", "")]
    if not chosen or any(c not in WORKLOADS for c in args.only.replace(",", "")):
        parser.error(f"--only takes letters of {WORKLOADS}")
    rounds = args.rounds or (1 if args.quick else 3)
    sizes = SIZES["quick" if args.quick else "full"]
    # Absolute, as the workers start in a scratch directory; not resolved, which would
    # leave the venv for the interpreter it links to.
    pythons = {"peer": os.path.abspath(args.peer_python), "current": os.path.abspath(args.python)}

    load_before = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    started = time.monotonic()
    rows, notes = [], []
    for workload in chosen:
        for backend in (b for b in BACKENDS[workload] if b in args.backends.split(",")):
            runs = {"peer": [], "current": []}
            for round_ in range(rounds):
                for build in ("peer", "current"):
                    job = jobs_of(workload, backend, sizes, args)
                    job.update(build=build, round=round_, key=secrets.token_hex(32),
                               name=f"bench_{workload}_{build}_{round_}_{secrets.token_hex(4)}")
                    result = run_job(pythons[build], job)
                    runs[build].append(result)
                    print(f"[{time.monotonic() - started:6.1f} s] {workload} {backend} {build} "
                          f"round {round_ + 1}: {json.dumps(result)[:160]}", file=sys.stderr)
            rows += rows_of(workload, backend, runs, sizes)
            notes += messages(workload, backend, runs)
    load_after = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()

    print(f"peer:    {pythons['peer']}\ncurrent: {pythons['current']}")
    print(f"{rounds} rounds, alternating peer and current; {time.monotonic() - started:.0f} s")
    print(f"load at start: {load_before}\nload at end:   {load_after}\n")
    print_table(rows)
    if notes:
        print("\nfailures and refusals (distinct first lines):")
        print("\n".join(notes))


if __name__ == "__main__":
    main()
