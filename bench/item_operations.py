#!/usr/bin/env python3
"""Items by id beside each server's own batch read of the same values.

An index of N items (D float32 components, small metadata) is made on memory, on
PostgreSQL and on Redis. Timed, best of several rounds:

- get of 1,000 ids (default include: the records from the data store, the contents from
  the items store, decrypted and turned into dicts), beside the server reading the same
  1,000 sealed records: one psql `COPY (SELECT value ... WHERE key IN (...)) TO STDOUT`,
  one pipelined HMGET sent by `redis-cli --pipe`; for memory, a Python dict look-up of
  1,000 values of the record size;
- list_ids of all N items, beside `COPY (SELECT value ... ) TO STDOUT` of the N records and
  `redis-cli HVALS` of the data hash (for memory: nothing to compare with).

The clients' own start-up is taken out: each server read runs 1 and R+1 times in one
client process and the difference is divided by R. Peak RSS of list_ids: a fresh process
loads the index (PostgreSQL, Redis; for memory, the process that made it), resets its
high-water mark through /proc/self/clear_refs and reads VmHWM after list_ids.

Run by hand after `source scripts/services.sh` and `make module`:

    .venv/bin/python bench/item_operations.py [--items 100000] [--dimension 128] [--threads 0]
"""
import argparse
import hashlib
import hmac
import multiprocessing
import os
import subprocess
import tempfile
import time

import numpy as np

import ombrixdb_vell as ombrix

DATA = 3  # store kind of the sealed records
SEALING = 12 + 16  # IV and tag around every sealed value
GET_IDS = 1000
ROUNDS = 5
REPEATS = 20


def best(call, rounds=ROUNDS):
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return min(times)


def high_water_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM")


def list_ids_peak(index):
    """MB that list_ids adds to the process's peak resident size, and the ids' count."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = high_water_mb()
    count = len(index.list_ids())
    return high_water_mb() - before, count


def peak_in_fresh_process(place, name, key):
    index = client_for(place).load_index(name, key)
    return list_ids_peak(index)


def client_for(place):
    kind, address, table, threads = place
    if kind == "memory":
        memory = ombrix.DBConfig("memory")
        return ombrix.Client("bench", memory, memory, memory, threads)
    stores = ombrix.DBConfig(kind, table, address)
    config = ombrix.DBConfig(kind, table + "_cfg", address)
    return ombrix.Client("bench", stores, config, stores, threads)


def record_keys(name, key, ids):
    """The data-store keys of `ids`: SHA3-256 of the data store name and the id."""
    store_name = hmac.new(key, (name + ".data").encode(), hashlib.sha3_256).digest()
    return [int.from_bytes(hashlib.sha3_256(store_name + i.encode()).digest()[:8], "big") for i in ids]


def data_store_id(name, key, postgres):
    index_id = int.from_bytes(hmac.new(key, name.encode(), hashlib.sha3_256).digest()[:8], "big")
    value = (index_id + DATA) % 2**64
    return value & (2**63 - 1) if postgres else value


def per_run(run_once, run_many):
    """Seconds of one server read without the client's start-up."""
    return max(0.0, (best(run_many, 3) - best(run_once, 3)) / REPEATS)


def psql_reader(conninfo, statement):
    def run(times):
        with tempfile.NamedTemporaryFile("w", suffix=".sql") as script:
            script.write((statement + "\n") * times)
            script.flush()
            subprocess.run(["psql", conninfo, "-q", "-f", script.name], check=True,
                           stdout=subprocess.DEVNULL)
    return per_run(lambda: run(1), lambda: run(REPEATS + 1))


def redis_host_port(address):
    fields = dict(part.split(":", 1) for part in address.split(","))
    return ["-h", fields["host"], "-p", fields["port"]]


def resp(*args):
    return b"*%d\r\n" % len(args) + b"".join(b"$%d\r\n%s\r\n" % (len(a), a) for a in args)


def redis_pipe_reader(address, command):
    def run(times):
        subprocess.run(["redis-cli", *redis_host_port(address), "--pipe"], input=command * times,
                       check=True, stdout=subprocess.DEVNULL)
    return per_run(lambda: run(1), lambda: run(REPEATS + 1))


def server_reads(place, name, key, get_ids):
    kind, address, table, _ = place
    if kind == "memory":
        values = {i: os.urandom(RECORD_BYTES) for i in range(ITEMS)}
        wanted = list(range(GET_IDS))
        return best(lambda: [values[i] for i in wanted]), None
    keys = record_keys(name, key, get_ids)
    if kind == "postgres":
        store = data_store_id(name, key, True)
        listed = ",".join(f"'{k}'" for k in keys)
        return (psql_reader(address, f"COPY (SELECT value FROM {table} WHERE index_name = {store} "
                                     f"AND key IN ({listed})) TO STDOUT (FORMAT binary);"),
                psql_reader(address, f"COPY (SELECT value FROM {table} WHERE index_name = {store}) "
                                     "TO STDOUT (FORMAT binary);"))
    store = data_store_id(name, key, False).to_bytes(8, "little")
    fields = [k.to_bytes(8, "little") for k in keys]
    return (redis_pipe_reader(address, resp(b"HMGET", store, *fields)),
            redis_pipe_reader(address, resp(b"HVALS", store)))


def drop(place, name, key):
    kind, address, table, _ = place
    if kind == "postgres":
        subprocess.run(["psql", address, "-q", "-c", f"DROP TABLE IF EXISTS {table}, {table}_cfg"],
                       check=True, stdout=subprocess.DEVNULL)
    elif kind == "redis":
        index = client_for(place).load_index(name, key)
        index.delete_index()
        subprocess.run(["redis-cli", *redis_host_port(address), "DEL", table + "_cfg"], check=True,
                       stdout=subprocess.DEVNULL)


def main():
    global ITEMS, RECORD_BYTES
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--items", type=int, default=100_000)
    parser.add_argument("--dimension", type=int, default=128)
    parser.add_argument("--threads", type=int, default=0, help="the Client's cpu_threads (0: all cores)")
    args = parser.parse_args()
    ITEMS = args.items
    tag = f"bench_items_{os.getpid()}"
    places = [("memory", "", "", args.threads)]
    if "OMBRIX_TEST_PG" in os.environ:
        places.append(("postgres", os.environ["OMBRIX_TEST_PG"], tag, args.threads))
    if "OMBRIX_TEST_REDIS" in os.environ:
        places.append(("redis", os.environ["OMBRIX_TEST_REDIS"] + ",db:0", tag, args.threads))

    rng = np.random.default_rng(20261207)
    vectors = rng.standard_normal((ITEMS, args.dimension)).astype(np.float32)
    ids = [f"item-{n:06d}" for n in range(ITEMS)]
    get_ids = [ids[n] for n in rng.choice(ITEMS, GET_IDS, replace=False)]
    RECORD_BYTES = 12 + len(ids[0]) + 4 * args.dimension + len('{"n": 12345}') + SEALING
    print(f"{ITEMS} items of {args.dimension} float32, sealed records of about {RECORD_BYTES} bytes; "
          f"times best of {ROUNDS}; cpu_threads {args.threads}; load average {os.getloadavg()[0]:.1f} "
          f"on {os.cpu_count()} cores")
    print(f"{'backend':<10}{'get 1000 (ms)':>15}{'server (ms)':>13}{'ratio':>8}"
          f"{'list_ids (s)':>14}{'server (s)':>12}{'ratio':>8}{'list_ids peak RSS (MB)':>25}")
    for place in places:
        name, key = tag, os.urandom(32)
        index = client_for(place).create_index(name, key, ombrix.IndexIVFFlat(args.dimension))
        try:
            for first in range(0, ITEMS, 10_000):
                batch = slice(first, first + 10_000)
                index.upsert([{"id": i, "vector": v, "metadata": {"n": n}}
                              for n, (i, v) in enumerate(zip(ids[batch], vectors[batch]), first)])
            got = best(lambda: index.get(get_ids))
            listed = best(lambda: index.list_ids(), 3)
            if place[0] == "memory":
                peak, count = list_ids_peak(index)
            else:
                context = multiprocessing.get_context("spawn")
                with context.Pool(1) as pool:
                    peak, count = pool.apply(peak_in_fresh_process, (place, name, key))
            assert count == ITEMS
            server_get, server_list = server_reads(place, name, key, get_ids)
            list_cells = (f"{server_list:>12.3f}{listed / server_list:>8.2f}" if server_list
                          else f"{'-':>12}{'-':>8}")
            print(f"{place[0]:<10}{got * 1e3:>15.2f}{server_get * 1e3:>13.2f}{got / server_get:>8.1f}"
                  f"{listed:>14.3f}{list_cells}{peak:>25.1f}")
        finally:
            del index
            drop(place, name, key)


if __name__ == "__main__":
    main()
