"""What the side-by-side scripts that run two builds taking turns share: the command line
and one persistent child process per build, asked one line at a time."""
import argparse
import json
import subprocess
import sys


def parse(doc, turns, slice_):
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--python", required=True)
    parser.add_argument("--peer-python", required=True)
    parser.add_argument("--backend", default="postgres", choices=("postgres", "redis"))
    parser.add_argument("--pg", default="host=127.0.0.1 port=5432 dbname=test user=postgres")
    parser.add_argument("--redis", default="host:127.0.0.1,port:6379,db:0")
    parser.add_argument("--turns", type=int, default=turns)
    parser.add_argument("--slice", type=int, default=slice_)
    parser.add_argument("--pin", default=None, metavar="PEER_CPU,CURRENT_CPU",
                        help="run each child on one CPU of its own (taskset)")
    args = parser.parse_args()
    args.address = args.pg if args.backend == "postgres" else args.redis
    return args


def grow(index, items, dim, rng, prefix="i"):
    """Fills `index` with ids <prefix>0 .. <prefix><items-1> as one session grows a table: the
    first 20 in upserts of 1 and the rest of the first 2,000 in upserts of 100, so that the
    server plans the session's statements while the table is small, then upserts of 10,000."""
    size = 0
    while size < items:
        count = min(1 if size < 20 else 100 if size < 2_000 else 10_000, items - size)
        index.upsert([f"{prefix}{n}" for n in range(size, size + count)],
                     rng.standard_normal((count, dim)).astype("float32"))
        size += count


def print_load(when):
    with open("/proc/loadavg") as load:
        print(f"load at {when}:", load.read().split()[:3], file=sys.stderr)


class Children:
    """The peer's child and this build's, each running `script --child backend address
    build`, started and ready (each prints "ready" once it has made its index)."""

    def __init__(self, script, args):
        self.procs = {}
        cpus = args.pin.split(",") if args.pin else None
        for n, (build, python) in enumerate((("peer", args.peer_python), ("current", args.python))):
            pinned = ["taskset", "-c", cpus[n]] if cpus else []
            self.procs[build] = subprocess.Popen(pinned + [python, script, "--child", args.backend, args.address, build],
                                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for build in self.procs:
            assert json.loads(self.procs[build].stdout.readline()) == "ready"

    def ask(self, build, command):
        self.procs[build].stdin.write(command + "\n")
        self.procs[build].stdin.flush()
        return json.loads(self.procs[build].stdout.readline())

    def close(self, timeout):
        for proc in self.procs.values():
            proc.stdin.close()
            proc.wait(timeout)


def start(doc, script, child, turns, slice_):
    """Runs `child(backend, address, build)` when this process is a child and returns
    (None, None); otherwise parses the command line and returns it with both children
    started."""
    if len(sys.argv) >= 2 and sys.argv[1] == "--child":
        child(*sys.argv[2:5])
        return None, None
    args = parse(doc, turns, slice_)
    if args.backend == "postgres":
        # Each run starts on empty tables that no earlier run left statistics for.
        tables = ", ".join(f"bench_{kind}_{build}" for kind in ("items", "config") for build in ("peer", "current"))
        subprocess.run(["psql", args.pg, "-qAt", "-c", f"DROP TABLE IF EXISTS {tables}"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    print_load("start")
    return args, Children(script, args)


def alternate(children, turns, command):
    """Each build answers `command` `turns` times, the peer first in even turns and this
    build first in odd ones; returns each build's answers."""
    answers = {build: [] for build in children.procs}
    order = ["peer", "current"]
    for turn in range(turns):
        for build in order if turn % 2 == 0 else order[::-1]:
            answers[build].append(children.ask(build, command))
    return answers
