#!/usr/bin/env python3
"""The server's answer to one statement lost after the server ran it: a loopback relay cuts
the connection as the reply to that statement comes back (after the COMMIT of a statement
run alone). One cycle is create_index, an upsert, an item delete and delete_index; a first
cycle records every statement text the library sends (up to --occurrences of each), then
one cycle per (statement, occurrence) loses that answer once. A call that raised is
followed as its text advises (create the index again, upsert the same items again, train
or delete the index again, delete it again). Reported per case: what the cycle said, what
following the advice said, the rows and config records of the index left on the server,
and whether create_index of the name works again; then the totals.

    .venv/bin/python bench/answers_lost.py [--occurrences 4] \\
        [--pg "host=127.0.0.1 port=5432 dbname=ombrix_test user=ombrix_test"]
"""
import argparse
import hashlib
import hmac
import multiprocessing
import os
import select
import socket
import struct
import subprocess
import threading

import numpy as np

DEFAULT_PG = os.environ.get("OMBRIX_TEST_PG", "host=127.0.0.1 port=5432 dbname=ombrix_test user=ombrix_test")
KEY = bytes(range(32))
IDS = [f"id{n}" for n in range(40)]
POINTS = np.random.default_rng(1).random((40, 8), dtype=np.float32)


class CuttingRelay:
    """Relays loopback TCP to the server. After cut_reply_to(text, skip), the connection that
    sends `text` for the (skip + 1)th time is closed as the server's reply comes back. With
    `record` a list, every client message is kept there."""

    def __init__(self, server):
        self._server = server
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._text, self._skip, self.cuts, self.record = None, 0, 0, None
        threading.Thread(target=self._accept, daemon=True).start()

    def cut_reply_to(self, text, skip):
        with self._lock:
            self._text, self._skip, self.cuts = text, skip, 0

    def _accept(self):
        while True:
            client, _ = self._listener.accept()
            server = socket.create_connection(self._server)
            threading.Thread(target=self._pair, args=(client, server), daemon=True).start()

    def _pair(self, client, server):
        armed = False
        with client, server:
            while True:
                ready, _, _ = select.select([client, server], [], [])
                if client in ready:
                    data = client.recv(65536)
                    if not data:
                        return
                    with self._lock:
                        if self.record is not None:
                            self.record.append(data)
                        if self._text is not None and self._text in data:
                            if self._skip == 0:
                                self._text, armed = None, True
                            self._skip -= 1
                    server.sendall(data)
                if server in ready:
                    data = server.recv(65536)
                    if not data or armed:
                        with self._lock:
                            self.cuts += armed
                        return
                    client.sendall(data)


def statement_texts(messages):
    """The texts of the Parse and simple Query messages, in first-sent order."""
    texts = []
    for data in messages:
        at = 0
        while at + 5 <= len(data):
            kind, length = data[at:at + 1], struct.unpack("!i", data[at + 1:at + 5])[0]
            if kind not in b"PQBDESHCXdcfF" or length < 4 or length > len(data) - at - 1:
                break
            body = data[at + 5:at + 1 + length]
            text = body.split(b"\0")[1] if kind == b"P" else body.split(b"\0")[0] if kind == b"Q" else b""
            if text and text not in texts:
                texts.append(text)
            at += 1 + length
    return texts


def client(address, items, configs):
    import ombrixdb_vell as ombrix
    stores = ombrix.DBConfig("postgres", items, address)
    return ombrix.Client("k", stores, ombrix.DBConfig("postgres", configs, address), stores, 0)


def act(results, what, name, address, items, configs):
    try:
        if what == "cycle":
            index = client(address, items, configs).create_index(name, KEY, metric="euclidean")
            index.upsert(IDS, POINTS)
            index.delete(IDS[:2])
            index.delete_index()
        elif what == "upsert":
            index = client(address, items, configs).load_index(name, KEY)
            index.upsert(IDS, POINTS)
            index.delete_index()
        elif what == "delete":
            client(address, items, configs).load_index(name, KEY).delete_index()
        elif what == "load":
            # "load the index; if loading says a deletion did not finish, delete it and create
            # the index again if it does not exist", then the cycle's own end: no index.
            try:
                index = client(address, items, configs).load_index(name, KEY)
            except RuntimeError as failure:
                if "does not exist" not in str(failure):
                    raise
                index = client(address, items, configs).create_index(name, KEY)
            else:
                try:
                    index.get_num_vectors()
                except RuntimeError as failure:
                    if "did not finish" not in str(failure):
                        raise
            index.delete_index()
        else:
            client(address, items, configs).create_index(name, KEY).delete_index()
        results.put(None)
    except Exception as failure:  # the text is what is measured
        results.put(" ".join(str(failure).split()))


def run(what, name, where):
    # A process of its own: the module holds the interpreter lock in its calls, and the relay
    # must go on relaying meanwhile.
    context = multiprocessing.get_context("spawn")
    results = context.Queue()
    process = context.Process(target=act, args=(results, what, name, *where))
    process.start()
    said = results.get(timeout=300)
    process.join()
    return said


def psql(pg, sql):
    return subprocess.run(["psql", pg, "-qAt", "-c", sql], check=True, capture_output=True, text=True).stdout.strip()


def left_on_server(pg, name, items, configs):
    base = int.from_bytes(hmac.new(KEY, name.encode(), hashlib.sha3_256).digest()[:8], "big")
    ids = ",".join(str(((base + kind) % 2**64) & (2**63 - 1)) for kind in (0, 2, 3))
    return (int(psql(pg, f"SELECT count(*) FROM {items} WHERE index_name IN ({ids})")),
            int(psql(pg, f"SELECT count(*) FROM {configs} WHERE index_name IN ('{name}.oei', '{name}.ovs')")))


def follow(said, name, where):
    if said is None:
        return None
    for advice, what in (("load the index; if loading says", "load"), ("create the index again", "create"),
                         ("upsert the same items again", "upsert"),
                         ("delete the index again", "delete"), ("delete it again", "delete")):
        if advice in said:
            return f"{what}: {run(what, name, where) or 'ok'}"
    return "no advice to follow"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pg", default=DEFAULT_PG)
    parser.add_argument("--occurrences", type=int, default=4)
    args = parser.parse_args()
    fields = dict(part.split("=", 1) for part in args.pg.split() if "=" in part)
    relay = CuttingRelay((fields.get("host", "127.0.0.1"), int(fields.get("port", "5432"))))
    items, configs = f"answers_lost_items_{os.getpid()}", f"answers_lost_cfg_{os.getpid()}"
    where = (f"{args.pg} host=127.0.0.1 port={relay.port}", items, configs)
    try:
        assert run("cycle", "warm", where) is None
        relay.record = []
        assert run("cycle", "recorded", where) is None
        messages, relay.record = relay.record, None
        cases = [(text, k) for text in statement_texts(messages)
                 for k in range(min(args.occurrences, sum(m.count(text) for m in messages)))]
        done = followed = stuck = 0
        for n, (text, k) in enumerate(cases):
            name = f"lost{n}"
            relay.cut_reply_to(text, k)
            said = run("cycle", name, where)
            cut = relay.cuts
            relay.cut_reply_to(None, 0)
            advice = follow(said, name, where)
            rows, records = left_on_server(args.pg, name, items, configs)
            again = run("create", name, where)
            clean = rows == 0 and records == 0 and again is None
            done += said is None and clean
            followed += said is not None and clean
            stuck += not clean
            print(f"[{n}] answer {'lost' if cut else 'kept'} of {text[:60]!r} #{k + 1}: said {said or 'ok'}; "
                  f"advice: {advice}; left {rows} rows, {records} records; created again: {again or 'ok'}",
                  flush=True)
        print(f"{len(cases)} cases: {done} done, {followed} ended with a text whose advice left nothing, "
              f"{stuck} left rows, records or a blocked name")
    finally:
        psql(args.pg, f"DROP TABLE IF EXISTS {items}, {configs}")


if __name__ == "__main__":
    main()
