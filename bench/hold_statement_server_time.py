#!/usr/bin/env python3
"""Server time of the statements that take and give back a writer's hold on PostgreSQL, as
the server itself logs them (log_min_duration_statement = 0), for one or more builds.

A private server (initdb + pg_ctl on a free loopback port, as the postgres user when run as
root) is started for the run. Each build's interpreter upserts single items into an index
of its own, in turns of --slice upserts so that the builds see the same machine; then the
server's log is read: the median and the 90th percentile of each statement's duration, by
build, and the upserts' median wall time.

    .venv/bin/python bench/hold_statement_server_time.py \\
        --build new=.venv/bin/python --build 4f08d91=/work/peer-4f08d91/.venv/bin/python
"""
import argparse
import glob
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import textwrap

CHILD = textwrap.dedent("""
    import os, sys, time
    import numpy as np
    import ombrixdb_vell as ombrix
    address, tag, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    place = ombrix.DBConfig("postgres", "bench_" + tag, address)
    config = ombrix.DBConfig("postgres", "bench_" + tag + "_cfg", address)
    client = ombrix.Client("k", place, config, place)
    try:
        index = client.load_index("timed", b"k" * 32)
    except Exception:
        index = client.create_index("timed", b"k" * 32, ombrix.IndexIVFFlat(16))
    vectors = np.random.default_rng(1).standard_normal((count, 16)).astype("float32")
    start = int(time.time() * 1000)
    walls = []
    for n in range(count):
        began = time.perf_counter()
        index.upsert([f"{tag}{start}-{n}"], vectors[n:n + 1])
        walls.append(time.perf_counter() - began)
    print(" ".join(f"{w:.6f}" for w in walls))
""")

STATEMENTS = {
    "take": re.compile(r"statement: SELECT (CASE WHEN )?pg_try_advisory_lock_shared\(44,"),
    "release": re.compile(r"statement: SELECT pg_advisory_unlock_shared\(44, -?\d+\)(, \(set_config.*)?$"),
}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def as_postgres(command):
    return (["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []) + command


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", action="append", required=True, help="tag=path/to/python")
    parser.add_argument("--upserts", type=int, default=3000)
    parser.add_argument("--slice", type=int, default=300)
    args = parser.parse_args()
    builds = dict(b.split("=", 1) for b in args.build)
    binaries = sorted(glob.glob("/usr/lib/postgresql/*/bin"))[-1]
    directory = tempfile.mkdtemp(prefix="ombrix_pgtime_")
    if os.geteuid() == 0:
        shutil.chown(directory, "postgres", "postgres")
    port = free_port()
    data, log = f"{directory}/data", f"{directory}/server.log"
    subprocess.run(as_postgres([f"{binaries}/initdb", "-D", data, "-A", "trust", "-U", "postgres",
                                "--no-sync"]), check=True, capture_output=True, cwd="/tmp")
    options = (f"-p {port} -k {directory} -c listen_addresses=127.0.0.1 -c fsync=off "
               "-c log_min_duration_statement=0 -c log_line_prefix='%a|'")
    subprocess.run(as_postgres([f"{binaries}/pg_ctl", "-D", data, "-l", log, "-w", "-o", options,
                                "start"]), check=True, capture_output=True, cwd="/tmp")
    walls = {tag: [] for tag in builds}
    try:
        with open("/proc/loadavg") as load:
            print("load at start:", " ".join(load.read().split()[:3]), file=sys.stderr)
        for first in range(0, args.upserts, args.slice):
            for tag, python in builds.items():
                address = (f"host=127.0.0.1 port={port} dbname=postgres user=postgres "
                           f"application_name={tag}")
                out = subprocess.run([python, "-c", CHILD, address, re.sub(r"\W", "_", tag),
                                      str(min(args.slice, args.upserts - first))],
                                     check=True, capture_output=True, text=True).stdout
                walls[tag] += [float(w) for w in out.split()]
        with open("/proc/loadavg") as load:
            print("load at end:", " ".join(load.read().split()[:3]), file=sys.stderr)
        durations = {(tag, what): [] for tag in builds for what in STATEMENTS}
        line = re.compile(r"^([^|]*)\|LOG:  duration: ([0-9.]+) ms  (.*)$")
        with open(log) as lines:
            for text in lines:
                found = line.match(text.rstrip("\n"))
                if not found or found.group(1) not in builds:
                    continue
                for what, pattern in STATEMENTS.items():
                    if pattern.search(found.group(3)):
                        durations[(found.group(1), what)].append(float(found.group(2)) * 1000)
        for (tag, what), us in durations.items():
            if us:
                us.sort()
                print(f"{tag:>10} {what:>8}: median {statistics.median(us):6.1f} us, p90 "
                      f"{us[int(0.9 * len(us))]:6.1f} us ({len(us)} statements)")
        for tag, seconds in walls.items():
            print(f"{tag:>10}   upsert: median {statistics.median(seconds) * 1e6:7.1f} us wall")
    finally:
        subprocess.run(as_postgres([f"{binaries}/pg_ctl", "-D", data, "-m", "immediate", "stop"]),
                       capture_output=True, cwd="/tmp")
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
