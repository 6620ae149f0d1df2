#!/usr/bin/env python3
"""How long a process stopped (SIGSTOP) while it holds a PostgreSQL index holds back a
training, with the default 40 s lease, and what is left of the index afterwards.

- writer: a process stopped 0.3 s into a 300,000-item upsert (its shared hold granted);
  another process trains at once and the time of its training is reported beside the
  time of the same training alone.
- trainer: a process stopped 0.5 s into a training (its exclusive hold granted); another
  process tries to train every second, and the time from the stop to its success is
  reported with the number of refusals before it. With --moments N the training is
  stopped at N moments spread over its own length (its reading, k-means and rebuild),
  one after the other on the same index, each reported the same way.

With --mid-statement the process is stopped at random moments (and let go again) until a
stop lands while a statement of the session holding the index is half sent (the server
waits for the rest in ClientRead, with the statement active).

Then the stopped process is resumed (its call must raise), and a fresh handle looks the
index's items up by id and by their own vectors.

    .venv/bin/python bench/stopped_holder.py [--case writer|trainer] [--mid-statement] [--moments N] \\
        [--items N] [--dim D] [--pg "host=127.0.0.1 port=5432 dbname=test user=postgres"]
"""
import argparse
import multiprocessing
import os
import random
import secrets
import signal
import subprocess
import sys
import time

DIM = 32
TRAIN = dict(n_lists=64, max_iters=200)


def client(address):
    import ombrixdb_vell as ombrix
    items = ombrix.DBConfig("postgres", "bench_stopped_items", address)
    config = ombrix.DBConfig("postgres", "bench_stopped_config", address)
    return ombrix.Client("bench", items, config, items)


def first_line(error):
    return (str(error).splitlines() or [type(error).__name__])[0][:200]


def write(address, name, key, said, dim):
    import numpy as np
    index = client(address).load_index(name, key)
    vectors = np.random.default_rng(5).standard_normal((300_000, dim)).astype("float32")
    said.put("started")
    try:
        index.upsert([f"w{i}" for i in range(len(vectors))], vectors)
        said.put("the stopped writer's upsert succeeded")
    except Exception as error:
        said.put("the stopped writer raised: " + first_line(error))


def train(address, name, key, said, dim):
    index = client(address).load_index(name, key)
    said.put("started")
    try:
        index.train(**TRAIN)
        said.put("the stopped training succeeded")
    except Exception as error:
        said.put("the stopped training raised: " + first_line(error))


def half_sent(address, mode):
    """Whether the session holding a lock of class 44 in this mode waits for the rest of a
    statement."""
    query = ("SELECT count(*) FROM pg_locks l JOIN pg_stat_activity a USING (pid) WHERE "
             f"l.locktype = 'advisory' AND l.granted AND l.classid = 44 AND l.mode = '{mode}' "
             "AND a.state = 'active' AND a.wait_event = 'ClientRead'")
    out = subprocess.run(["psql", address, "-qAt", "-c", query], capture_output=True, text=True,
                         check=True).stdout.strip()
    return out != "0"


def holds(address, mode):
    """Whether some session holds a lock of class 44 in this mode."""
    query = ("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted "
             f"AND classid = 44 AND mode = '{mode}'")
    out = subprocess.run(["psql", address, "-qAt", "-c", query], capture_output=True, text=True,
                         check=True).stdout.strip()
    return out != "0"


def stop_and_train_beside(args, name, key, case, pause):
    """One stop: the stopped process's call, a second training until it succeeds, what
    each said. Returns the seconds from the stop to the second training's success."""
    context = multiprocessing.get_context("spawn")
    said = context.Queue()
    target, mode = (write, "ShareLock") if case == "writer" else (train, "ExclusiveLock")
    process = context.Process(target=target, args=(args.pg, name, key, said, args.dim))
    process.start()
    try:
        assert said.get(timeout=120) == "started"
        while not holds(args.pg, mode):
            time.sleep(0.01)
        time.sleep(pause)
        os.kill(process.pid, signal.SIGSTOP)
        while args.mid_statement and process.is_alive() and not half_sent(args.pg, mode):
            os.kill(process.pid, signal.SIGCONT)
            time.sleep(random.uniform(0, 0.03))
            os.kill(process.pid, signal.SIGSTOP)
        if not process.is_alive():
            sys.exit("the process ended before a stop landed mid-statement")
        stopped = time.monotonic()

        second = client(args.pg).load_index(name, key)
        refusals, last = 0, ""
        while True:
            try:
                second.train(n_lists=8)
                break
            except Exception as error:  # refused while the stopped trainer holds the index
                if case == "writer":
                    raise
                refusals, last = refusals + 1, first_line(error)
                time.sleep(1)
        took = time.monotonic() - stopped
    finally:
        os.kill(process.pid, signal.SIGCONT)
    resumed = said.get(timeout=600)
    process.join(60)
    return took, refusals, last, resumed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", choices=("writer", "trainer"), default="writer")
    parser.add_argument("--moments", type=int, default=0)
    parser.add_argument("--mid-statement", action="store_true")
    parser.add_argument("--items", type=int, default=0)
    parser.add_argument("--dim", type=int, default=DIM)
    parser.add_argument("--pg", default="host=127.0.0.1 port=5432 dbname=test user=postgres")
    args = parser.parse_args()
    import numpy as np
    import ombrixdb_vell as ombrix

    with open("/proc/loadavg") as load:
        print("load at start:", " ".join(load.read().split()[:3]), file=sys.stderr)
    name, key = "stopped_" + secrets.token_hex(4), os.urandom(32)
    count = args.items or (20_000 if args.case == "writer" else 60_000)
    # A training's statements are large enough to be caught half sent at 96 dimensions.
    if args.mid_statement and args.case == "trainer" and args.dim == DIM:
        args.dim = 96
    base = np.random.default_rng(1).standard_normal((count, args.dim)).astype("float32")
    ids = [f"b{i}" for i in range(count)]
    index = client(args.pg).create_index(name, key, ombrix.IndexIVFFlat(args.dim))
    for first in range(0, count, 50_000):
        index.upsert(ids[first:first + 50_000], base[first:first + 50_000])
    started = time.monotonic()
    index.train(**TRAIN) if args.moments else index.train(n_lists=8)
    alone = time.monotonic() - started
    print(f"training alone: {alone:.1f} s", file=sys.stderr)

    if args.moments:
        worst = 0.0
        for moment in range(args.moments):
            pause = alone * (moment + 0.5) / args.moments
            took, refusals, last, resumed = stop_and_train_beside(args, name, key, "trainer", pause)
            worst = max(worst, took)
            print(f"stopped {pause:.1f} s in: a second training succeeded {took:.1f} s after the stop, "
                  f"refused {refusals} times; {resumed}", file=sys.stderr)
        print(f"longest wait after a stop: {worst:.1f} s", file=sys.stderr)
    else:
        pause = 0.3 if args.case == "writer" else 0.5
        took, refusals, last, resumed = stop_and_train_beside(args, name, key, args.case, pause)
        if args.case == "writer":
            print(f"training beside the stopped writer: {took:.1f} s, {took - alone:.1f} s beyond "
                  "its own length", file=sys.stderr)
        else:
            print(f"a second training succeeded {took:.1f} s after the stop, refused {refusals} "
                  f"times before ({last})", file=sys.stderr)
        print(resumed, file=sys.stderr)

    fresh = client(args.pg).load_index(name, key)
    found = len(fresh.get(ids, include=[]))
    sample = range(0, count, 50)
    every = fresh.query(base[::50], top_k=1, n_probes=fresh.n_lists)
    first = fresh.query(base[::50], top_k=1, n_probes=1)
    print(f"afterwards: {found} of {count} found by get; {fresh.n_lists} lists; of {len(sample)} "
          f"sampled by their own vector, {sum(r[0]['id'] == ids[i] for i, r in zip(sample, every))} "
          f"found with every list probed and {sum(r[0]['id'] == ids[i] for i, r in zip(sample, first))} "
          "first answers right with 1 probe", file=sys.stderr)
    fresh.delete_index()
    with open("/proc/loadavg") as load:
        print("load at end:", " ".join(load.read().split()[:3]), file=sys.stderr)


if __name__ == "__main__":
    main()
