#!/usr/bin/env python3
"""A creation whose configuration record is held in the network past its lease, while
another process follows the texts: it loads the half-made index (which says a deletion did
not finish), deletes it, makes the name again with the same key or another and fills it.
Then the held write is let through. Reported per run: what the held creation said, and
whether the index made again loads with its key and keeps every item.

The held creation's config location goes through a loopback relay that keeps the first
message naming "<name>.ovs" until it is let go (PostgreSQL or Redis); the lease is short
(--lease-ms) so the run takes seconds.

    .venv/bin/python bench/creation_held.py [--backends postgres,redis] [--items N] \\
        [--lease-ms 3000] [--pg "host=127.0.0.1 port=5432 dbname=ombrix_test user=ombrix_test"] \\
        [--redis "host:127.0.0.1,port:6379,db:0"]
"""
import argparse
import multiprocessing
import os
import secrets
import select
import socket
import threading
import time

import numpy as np

os.environ["OMBRIX_TESTING_HOOKS"] = "1"  # the short lease; spawned children inherit it


class HoldingRelay:
    """Relays loopback TCP to a server; the first client message containing `marker` waits
    in the relay until release(), as a write held up in the network."""

    def __init__(self, host, port, marker):
        self._server = (host, port)
        self._marker = marker
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self.holding = threading.Event()
        self._released = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            server = socket.create_connection(self._server)
            for source, target, up in ((client, server, True), (server, client, False)):
                threading.Thread(target=self._pump, args=(source, target, up), daemon=True).start()

    def _pump(self, source, target, up):
        while True:
            if not select.select([source], [], [], 0.05)[0]:
                continue
            try:
                data = source.recv(65536)
                if not data:
                    target.shutdown(socket.SHUT_WR)
                    return
                if up and self._marker is not None and self._marker in data:
                    self._marker = None
                    self.holding.set()
                    self._released.wait()
                target.sendall(data)
            except OSError:
                return

    def release(self):
        self._released.set()


def stores(backend, address, tag):
    import ombrixdb_vell as ombrix
    if backend == "postgres":
        return (ombrix.DBConfig("postgres", f"bench_held_items_{tag}", address),
                ombrix.DBConfig("postgres", f"bench_held_config_{tag}", address))
    return ombrix.DBConfig("redis", f"bench_held_{tag}", address), ombrix.DBConfig("redis", f"bench_held_{tag}", address)


def held_creation(backend, address, config_address, tag, name, key, lease_ms, answer):
    import ombrixdb_vell as ombrix
    ombrix._set_hold_limits_for_testing(lease_ms, 20_000)
    items, _ = stores(backend, address, tag)
    _, config = stores(backend, config_address, tag)
    try:
        ombrix.Client("bench", items, config, items).create_index(name, key, ombrix.IndexIVFFlat(8))
        answer.put("returned")
    except Exception as error:  # noqa: BLE001 - reported as it came
        answer.put(f"{type(error).__name__}: {str(error).splitlines()[0][:160]}")


def one_run(backend, address, same_key, items, lease_ms):
    import ombrixdb_vell as ombrix
    ombrix._set_hold_limits_for_testing(lease_ms, 20_000)
    tag, name, key = secrets.token_hex(3), f"held_{secrets.token_hex(3)}", os.urandom(32)
    if backend == "postgres":
        fields = dict(part.split("=", 1) for part in address.split())
        relay = HoldingRelay(fields.get("host", "127.0.0.1"), int(fields.get("port", 5432)), (name + ".ovs").encode())
        fields["port"] = str(relay.port)
        fields["host"] = "127.0.0.1"
        config_address = " ".join(f"{k}={v}" for k, v in fields.items())
    else:
        fields = dict(part.split(":", 1) for part in address.split(","))
        relay = HoldingRelay(fields["host"], int(fields["port"]), (name + ".ovs").encode())
        fields["port"], fields["host"] = str(relay.port), "127.0.0.1"
        config_address = ",".join(f"{k}:{v}" for k, v in fields.items())
    answer = multiprocessing.get_context("spawn").Queue()
    creator = multiprocessing.get_context("spawn").Process(
        target=held_creation, args=(backend, address, config_address, tag, name, key, lease_ms, answer))
    creator.start()
    if not relay.holding.wait(30):
        creator.kill()
        return "the configuration write was never seen", False
    time.sleep(lease_ms / 1000 + 1.5)
    items_store, config = stores(backend, address, tag)
    client = ombrix.Client("bench", items_store, config, items_store)
    half = client.load_index(name, key)
    try:
        half.get_num_vectors()
    except Exception as error:  # noqa: BLE001
        assert "did not finish" in str(error), error
    half.delete_index()
    again_key = key if same_key else os.urandom(32)
    made = client.create_index(name, again_key, ombrix.IndexIVFFlat(8))
    made.upsert([f"id{n}" for n in range(items)], np.random.default_rng(1).standard_normal((items, 8)).astype(np.float32))
    relay.release()
    said = answer.get(timeout=60)
    creator.join(30)
    try:
        loaded = ombrix.Client("bench", items_store, config, items_store).load_index(name, again_key)
        whole = len(loaded.list_ids()) == items
        loaded.delete_index()
    except Exception as error:  # noqa: BLE001
        said += f" / the index made again: {str(error).splitlines()[0][:120]}"
        whole = False
    return said, whole


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--backends", default="postgres,redis")
    parser.add_argument("--items", type=int, default=2000)
    parser.add_argument("--lease-ms", type=int, default=3000)
    parser.add_argument("--pg", default=os.environ.get("OMBRIX_TEST_PG",
                                                       "host=127.0.0.1 port=5432 dbname=ombrix_test user=ombrix_test"))
    parser.add_argument("--redis", default=os.environ.get("OMBRIX_TEST_REDIS", "host:127.0.0.1,port:6379,db:0"))
    args = parser.parse_args()
    for backend in args.backends.split(","):
        for same_key in (True, False):
            said, whole = one_run(backend, args.pg if backend == "postgres" else args.redis, same_key, args.items,
                                  args.lease_ms)
            print(f"{backend:8} {'same key ' if same_key else 'other key'}  index made again whole: {whole}  "
                  f"held creation: {said}", flush=True)


if __name__ == "__main__":
    main()
