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

- deleter-in-transaction, writer-in-transaction: a deletion, or an upsert of the index's
  own ids, stopped inside its data store's transaction (its statement waits for a row this
  script holds; stopped there, the row let go: the session sits idle in the transaction,
  the maps lock or the rows' locks held); another process deletes the index, or upserts
  100 of those ids, again and again until it succeeds, and the time from the stop to its
  success is reported with the number of failed attempts.

With --mid-statement the process is stopped at random moments (and let go again) until a
stop lands while a statement of the session holding the index is half sent (the server
waits for the rest in ClientRead, with the statement active). For writer-in-transaction
the moment is made certain instead: the upsert's first INSERT of its data store waits for
the row this script holds, and its connection goes through a loopback relay told to pass
only 100 KB more to the server, so the second INSERT stops half sent; the process is
stopped there, its first INSERT's rows locked.

With --stopped-app NAME the stopped process names its sessions NAME (application_name in
its connection string), so they are named apart from this script's.

Then the stopped process is resumed (its call must raise), and a fresh handle looks the
index's items up by id and by their own vectors.

    .venv/bin/python bench/stopped_holder.py [--case writer|trainer|deleter-in-transaction|
        writer-in-transaction] [--mid-statement] [--moments N] [--stopped-app NAME] \\
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


def stopped_address(args):
    """The stopped process's connection string."""
    return args.pg + (f" application_name={args.stopped_app}" if args.stopped_app else "")


def run_stopped(address, name, key, said, what, call):
    """call(index) in the process the script stops; says when it starts and how it ended."""
    index = client(address).load_index(name, key)
    said.put("started")
    try:
        call(index)
        said.put(f"the stopped {what} succeeded")
    except Exception as error:
        said.put(f"the stopped {what} raised: " + first_line(error))


def write(address, name, key, said, dim):
    import numpy as np
    vectors = np.random.default_rng(5).standard_normal((300_000, dim)).astype("float32")
    run_stopped(address, name, key, said, "writer's upsert",
                lambda index: index.upsert([f"w{i}" for i in range(len(vectors))], vectors))


def train(address, name, key, said, dim):
    run_stopped(address, name, key, said, "training", lambda index: index.train(**TRAIN))


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
    process = context.Process(target=target, args=(stopped_address(args), name, key, said, args.dim))
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
    except BaseException:
        os.kill(process.pid, signal.SIGCONT)
        raise
    # Refused while the stopped trainer holds the index; beside a writer it must not be.
    return retried_beside(process, said, stopped, lambda: second.train(n_lists=8), retry=case != "writer")


def retried_beside(process, said, stopped, attempt, retry=True):
    """attempt() every second until it succeeds (300 s after the stop at the most), then the
    stopped process resumed: the seconds from the stop, the failed attempts and the last
    one's text, and what the stopped process said."""
    failures, last = 0, ""
    try:
        while True:
            try:
                attempt()
                break
            except Exception as error:  # the stopped process holds what the attempt needs
                if not retry:
                    raise
                failures, last = failures + 1, first_line(error)
                if time.monotonic() - stopped > 300:
                    last += " (given up 300 s after the stop)"
                    break
                time.sleep(1)
        took = time.monotonic() - stopped
    finally:
        os.kill(process.pid, signal.SIGCONT)
    resumed = said.get(timeout=600)
    process.join(60)
    return took, failures, last, resumed


def delete(address, name, key, said, dim):
    run_stopped(address, name, key, said, "deletion", lambda index: index.delete_index())


def write_again(address, name, key, said, dim):
    import numpy as np
    vectors = np.random.default_rng(6).standard_normal((ITEMS_AGAIN, dim)).astype("float32")
    run_stopped(address, name, key, said, "upsert",
                lambda index: index.upsert([f"b{i}" for i in range(ITEMS_AGAIN)], vectors))


ITEMS_AGAIN = 2000


def stopped_in_data_transaction(args, name, key, case):
    """One stop inside the data store's transaction; the seconds from the stop to the other
    process's success, its failed attempts and the last failure, what the stopped one said."""
    relay = None
    if args.mid_statement:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
        from live_stores import StallingRelay
        relay = StallingRelay(args.pg)
    try:
        return stopped_in_data_transaction_through(args, name, key, case, relay)
    finally:
        if relay is not None:
            relay.close()


def stopped_in_data_transaction_through(args, name, key, case, relay):
    import hashlib
    import hmac
    digest = hmac.new(key, name.encode(), hashlib.sha3_256).digest()
    data = ((int.from_bytes(digest[:8], "big") + 3) % 2**64) & (2**63 - 1)  # the DATA store's id
    look = subprocess.Popen(["psql", args.pg, "-qAt", "-v", "ON_ERROR_STOP=1"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)

    def ask(sql):
        look.stdin.write(sql + "\nSELECT 'asked';\n")
        look.stdin.flush()
        lines = []
        while (line := look.stdout.readline().strip()) != "asked":
            lines.append(line)
        return lines[-1] if lines else ""

    # Mid-statement, the row of the lowest key: the first of the transaction's INSERTs waits.
    order = "key::numeric" if relay else "key DESC"
    ask(f"BEGIN; SELECT key FROM bench_stopped_items WHERE index_name = {data} ORDER BY {order} LIMIT 1 FOR UPDATE;")
    context = multiprocessing.get_context("spawn")
    said = context.Queue()
    target = delete if case == "deleter-in-transaction" else write_again
    address = stopped_address(args) + (f" host=127.0.0.1 port={relay.port}" if relay else "")
    process = context.Process(target=target, args=(address, name, key, said, args.dim))
    process.start()
    assert said.get(timeout=120) == "started"
    waiting = ""
    while not waiting:
        if not process.is_alive():
            sys.exit("the process ended before its INSERT waited for the row held here")
        waiting = ask("SELECT min(pid) FROM pg_stat_activity WHERE pg_backend_pid() = ANY(pg_blocking_pids(pid));")
    if relay:
        relay.stall_to_server_after(100_000)
        ask("COMMIT;")
        while ask(f"SELECT state || coalesce(wait_event, '') || (backend_xid IS NOT NULL) FROM pg_stat_activity "
                  f"WHERE pid = {waiting};") != "activeClientReadtrue":
            if not process.is_alive():
                sys.exit("the process ended before its second INSERT stopped half sent")
            time.sleep(0.01)
    os.kill(process.pid, signal.SIGSTOP)
    stopped = time.monotonic()
    if not relay:
        ask("COMMIT;")
    look.stdin.close()
    look.wait()
    import numpy as np
    vectors = np.random.default_rng(7).standard_normal((100, args.dim)).astype("float32")

    def attempt():
        other = client(args.pg).load_index(name, key)
        if case == "deleter-in-transaction":
            other.delete_index()
        else:
            other.upsert([f"b{i}" for i in range(100)], vectors)

    return retried_beside(process, said, stopped, attempt)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", default="writer",
                        choices=("writer", "trainer", "deleter-in-transaction", "writer-in-transaction"))
    parser.add_argument("--moments", type=int, default=0)
    parser.add_argument("--mid-statement", action="store_true")
    parser.add_argument("--items", type=int, default=0)
    parser.add_argument("--dim", type=int, default=DIM)
    parser.add_argument("--stopped-app", default="")
    parser.add_argument("--pg", default="host=127.0.0.1 port=5432 dbname=test user=postgres")
    args = parser.parse_args()
    import numpy as np
    import ombrixdb_vell as ombrix

    with open("/proc/loadavg") as load:
        print("load at start:", " ".join(load.read().split()[:3]), file=sys.stderr)
    name, key = "stopped_" + secrets.token_hex(4), os.urandom(32)
    count = args.items or {"writer": 20_000, "trainer": 60_000}.get(args.case, ITEMS_AGAIN)
    # A training's statements are large enough to be caught half sent at 96 dimensions.
    if args.mid_statement and args.case == "trainer" and args.dim == DIM:
        args.dim = 96
    # Each of the data store's INSERTs far above the 100 KB relayed, its text far below.
    if args.mid_statement and args.case == "writer-in-transaction" and args.dim == DIM:
        args.dim = 64
    if args.mid_statement and args.case == "deleter-in-transaction":
        sys.exit("--mid-statement is for the writer, trainer and writer-in-transaction cases")
    base = np.random.default_rng(1).standard_normal((count, args.dim)).astype("float32")
    ids = [f"b{i}" for i in range(count)]
    index = client(args.pg).create_index(name, key, ombrix.IndexIVFFlat(args.dim))
    for first in range(0, count, 50_000):
        index.upsert(ids[first:first + 50_000], base[first:first + 50_000])
    if args.case.endswith("-in-transaction"):
        took, attempts, last, resumed = stopped_in_data_transaction(args, name, key, args.case)
        print(f"the other process succeeded {took:.1f} s after the stop, after {attempts} failed "
              f"attempts ({last}); {resumed}", file=sys.stderr)
        if args.case == "writer-in-transaction":
            fresh = client(args.pg).load_index(name, key)
            print(f"afterwards: {len(fresh.get(ids, include=[]))} of {count} found by get", file=sys.stderr)
            fresh.delete_index()
        with open("/proc/loadavg") as load:
            print("load at end:", " ".join(load.read().split()[:3]), file=sys.stderr)
        return
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
