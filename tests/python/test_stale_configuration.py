"""A training stopped past a short lease while its configuration write is held in the
network, beside a second training in this process, on Redis and PostgreSQL. The late
write lands after
the second training has finished and is refused where it lands: the index answers every
item under the second training's lists without another training, and the stopped
training says it lost the index."""
import multiprocessing
import os
import signal
import socket
import threading
import time

import numpy as np
import pytest

import ombrixdb_vell as ombrix
from conftest import live_location, unique_name
from live_stores import Location

D, COUNT = 8, 10000
LEASE_MS, WAIT_MS = 1500, 30000


# What a write of a configuration record carries on each server's wire.
WRITES = {"redis": (b"EVAL", b"HSET"), "postgres": (b"UPDATE", b"INSERT")}


class HoldingProxy:
    """Relays connections to a server. Once armed, the first write naming `marker` is held
    back, with everything after it on that connection, until release(): a packet held in
    the network."""

    def __init__(self, port, marker, writes):
        self.port, self.marker, self.writes = port, marker, writes
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = self.listener.getsockname()
        self.holding, self.released = threading.Event(), threading.Event()
        self.armed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.port))
            threading.Thread(target=self._pump, args=(client, server, True), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, False), daemon=True).start()

    def _pump(self, source, target, upstream):
        try:
            while chunk := source.recv(65536):
                if (upstream and self.armed and not self.holding.is_set() and self.marker in chunk
                        and any(word in chunk for word in self.writes)):
                    self.holding.set()
                    self.released.wait(120)
                target.sendall(chunk)
        except OSError:
            pass
        finally:
            for s in (source, target):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self):
        self.released.set()
        self.listener.close()


def train_through(results, kind, address, config_address, items_table, config_table, name, key):
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    stores = ombrix.DBConfig(kind, items_table, address)
    config = ombrix.DBConfig(kind, config_table, config_address)
    index = ombrix.Client("k", stores, config, stores).load_index(name, key)
    results.put("started")
    try:
        index.train(n_lists=4, max_iters=5)
        results.put("ok")
    except Exception as e:  # reported to the test, which judges it
        results.put(str(e))


def stopped(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0] == "T"


@pytest.mark.parametrize("kind", ["redis", "postgres"])
def test_a_configuration_written_late_by_a_stopped_training_is_refused_where_it_lands(kind):
    if kind == "redis":
        address = live_location("OMBRIX_TEST_REDIS") + ",db:0"
        port = int(address.split("port:")[1].split(",")[0])
        table = unique_name("stale_cfg")
        place = Location(kind, address, table, table)
    else:
        address = live_location("OMBRIX_TEST_PG")
        port = int(address.split("port=")[1].split()[0])
        place = Location(kind, address, unique_name("stale_items"), unique_name("stale_cfg"))
    name, key = unique_name("stale"), os.urandom(32)
    ombrix._set_hold_limits_for_testing(LEASE_MS, WAIT_MS)
    proxy = HoldingProxy(port, f"{name}.ovs".encode(), WRITES[kind])
    try:
        index = place.client().create_index(name, key, metric="squared_euclidean")
        vectors = np.random.default_rng(3).standard_normal((COUNT, D)).astype(np.float32)
        ids = [f"id{n}" for n in range(COUNT)]
        index.upsert(ids, vectors)

        context = multiprocessing.get_context("spawn")
        results = context.Queue()
        if kind == "redis":
            config_address = f"host:127.0.0.1,port:{proxy.address[1]},db:0"
        else:
            config_address = address.replace(f"port={port}", f"port={proxy.address[1]}") + " sslmode=disable"
        trainer = context.Process(target=train_through,
                                  args=(results, kind, address, config_address, place.items_table,
                                        place.config_table, name, key))
        trainer.start()
        assert results.get(timeout=60) == "started"
        proxy.armed = True
        assert proxy.holding.wait(60), "the training never wrote its configuration"
        os.kill(trainer.pid, signal.SIGSTOP)
        deadline = time.monotonic() + 10
        while not stopped(trainer.pid) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(2 * LEASE_MS / 1000)

        second = place.client().load_index(name, key)
        second.train(n_lists=16, max_iters=5)
        proxy.released.set()  # the held write lands now, after the second training
        time.sleep(0.5)
        os.kill(trainer.pid, signal.SIGCONT)
        first = results.get(timeout=120)
        trainer.join(60)

        assert "lost its hold" in first, first
        fresh = place.client().load_index(name, key)
        assert fresh.n_lists == 16
        answers = fresh.query(vectors[:3000], top_k=1, n_probes=16)
        assert [i for i, rows in zip(ids, answers) if [r["id"] for r in rows] != [i]] == []
        answers = second.query(vectors[:3000], top_k=1, n_probes=1)
        assert sum(rows[0]["id"] != i for i, rows in zip(ids, answers)) == 0, "first answers"
        fresh.delete_index()
    finally:
        proxy.close()
        ombrix._set_hold_limits_for_testing(40000, 120000)
        place.drop([(name, key)])
