#!/usr/bin/env python3
"""A creation whose configuration record is held in the network past its lease, while
another process follows the texts: it loads the half-made index (which says a deletion did
not finish), deletes it, makes the name again with the same key or another and fills it.
Then the held write is let through. Reported per run: what the held creation said, and
whether the index made again loads with its key and keeps every item.

The held creation's config location goes through a loopback relay that keeps the first
message naming "<name>.ovs" until it is let go (PostgreSQL or Redis); the lease is short
(--lease-ms) so the run takes seconds.

With --stale-deleter the name is not made again. A handle of another process, loaded on
an index of the same name and key that was deleted before the creation began, calls
`delete_index` while the creation is held past its lease; then the held write is let
through. Reported per run: what the stale deletion said, whether the creation's index
record was still there after it, what the creation said, and whether a creation that
returned loads and keeps every item upserted into it.

    .venv/bin/python bench/creation_held.py [--backends postgres,redis] [--items N] \\
        [--lease-ms 3000] [--pg "host=127.0.0.1 port=5432 dbname=ombrix_test user=ombrix_test"] \\
        [--redis "host:127.0.0.1,port:6379,db:0"] [--stale-deleter] [--command-limit 60]
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
DEFAULT_PG = os.environ.get("OMBRIX_TEST_PG", "host=127.0.0.1 port=5432 dbname=ombrix_test user=ombrix_test")


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


def stale_deletion(backend, address, tag, name, key, lease_ms, told, answer):
    """Loads the index, says so, and deletes it when told (by then it was deleted and a
    creation of the name is under way)."""
    import ombrixdb_vell as ombrix
    ombrix._set_hold_limits_for_testing(lease_ms, 20_000)
    items, config = stores(backend, address, tag)
    handle = ombrix.Client("bench", items, config, items).load_index(name, key)
    answer.put("loaded")
    told.get(timeout=120)
    try:
        handle.delete_index()
        answer.put("returned")
    except Exception as error:  # noqa: BLE001 - reported as it came
        answer.put(f"{type(error).__name__}: {str(error).splitlines()[0][:160]}")


def index_record_stored(backend, address, tag, name):
    if backend == "postgres":
        import subprocess
        out = subprocess.run(["psql", address, "-qAtc", f"SELECT count(*) FROM bench_held_config_{tag} "
                              f"WHERE index_name = '{name}.oei'"], capture_output=True, text=True, check=True)
        return out.stdout.strip() == "1"
    fields = dict(part.split(":", 1) for part in address.split(","))
    with socket.create_connection((fields["host"], int(fields["port"]))) as redis:
        db, field = fields.get("db", "0").encode(), f"{name}.oei".encode()
        command = [b"SELECT", db]
        redis.sendall(b"*2\r\n" + b"".join(b"$%d\r\n%s\r\n" % (len(p), p) for p in command))
        command = [b"HEXISTS", f"bench_held_{tag}".encode(), field]
        redis.sendall(b"*3\r\n" + b"".join(b"$%d\r\n%s\r\n" % (len(p), p) for p in command))
        reply = b""
        while reply.count(b"\r\n") < 2:
            reply += redis.recv(4096)
        return reply.split(b"\r\n")[1] == b":1"


def stale_run(backend, address, items, lease_ms):
    """A stale same-key deletion beside a creation held past its lease."""
    import ombrixdb_vell as ombrix
    ombrix._set_hold_limits_for_testing(lease_ms, 20_000)
    tag, name, key = secrets.token_hex(3), f"held_{secrets.token_hex(3)}", os.urandom(32)
    relay, config_address = relayed(backend, address, name)
    items_store, config = stores(backend, address, tag)
    client = ombrix.Client("bench", items_store, config, items_store)
    client.create_index(name, key, ombrix.IndexIVFFlat(8))
    spawn = multiprocessing.get_context("spawn")
    told, stale_said, creation_said = spawn.Queue(), spawn.Queue(), spawn.Queue()
    stale = spawn.Process(target=stale_deletion, args=(backend, address, tag, name, key, lease_ms, told, stale_said))
    stale.start()
    assert stale_said.get(timeout=60) == "loaded"
    client.load_index(name, key).delete_index()
    creator = spawn.Process(target=held_creation,
                            args=(backend, address, config_address, tag, name, key, lease_ms, creation_said))
    creator.start()
    if not relay.holding.wait(30):
        creator.kill()
        stale.kill()
        return "the configuration write was never seen", None, "", False
    time.sleep(lease_ms / 1000 + 1.5)
    told.put("delete")
    try:
        stale_says = stale_said.get(timeout=lease_ms / 1000 + 10)
    except Exception:  # noqa: BLE001 - still waiting for the creation's hold
        stale_says = None
    record_kept = index_record_stored(backend, address, tag, name)
    relay.release()
    if stale_says is None:
        stale_says = "(answered after the held write went through) " + stale_said.get(timeout=120)
    said = creation_said.get(timeout=60)
    stale.join(30)
    creator.join(30)
    if said != "returned":
        # What a user who read the creation's text does: create the index again.
        try:
            client.create_index(name, key, ombrix.IndexIVFFlat(8))
            said += " / created again"
        except Exception as error:  # noqa: BLE001
            said += f" / created again: {str(error).splitlines()[0][:120]}"
            return stale_says, record_kept, said, False
    made = client.load_index(name, key)
    made.upsert([f"id{n}" for n in range(items)],
                np.random.default_rng(1).standard_normal((items, 8)).astype(np.float32))
    whole = len(client.load_index(name, key).list_ids()) == items
    made.delete_index()
    return stale_says, record_kept, said, whole


def relayed(backend, address, name):
    """A relay that holds the configuration write, and the config location through it."""
    if backend == "postgres":
        fields = dict(part.split("=", 1) for part in address.split())
        relay = HoldingRelay(fields.get("host", "127.0.0.1"), int(fields.get("port", 5432)), (name + ".ovs").encode())
        fields["port"] = str(relay.port)
        fields["host"] = "127.0.0.1"
        return relay, " ".join(f"{k}={v}" for k, v in fields.items())
    fields = dict(part.split(":", 1) for part in address.split(","))
    relay = HoldingRelay(fields["host"], int(fields["port"]), (name + ".ovs").encode())
    fields["port"], fields["host"] = str(relay.port), "127.0.0.1"
    return relay, ",".join(f"{k}:{v}" for k, v in fields.items())


def with_command_limit(backend, address, seconds):
    """The address with a command limit of its own (none: as given)."""
    if not seconds:
        return address
    if backend == "postgres":
        return f"{address} options='-c statement_timeout={int(seconds * 1000)}'"
    return f"{address},command_timeout:{seconds}"


def one_run(backend, address, same_key, items, lease_ms, command_limit):
    import ombrixdb_vell as ombrix
    ombrix._set_hold_limits_for_testing(lease_ms, 20_000)
    tag, name, key = secrets.token_hex(3), f"held_{secrets.token_hex(3)}", os.urandom(32)
    relay, config_address = relayed(backend, address, name)
    config_address = with_command_limit(backend, config_address, command_limit)
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
    try:
        half = client.load_index(name, key)
    except RuntimeError as error:
        # The held creation gave up within its own command limit and took its records back.
        assert "does not exist" in str(error), error
        half = None
    if half is not None:
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
    parser.add_argument("--pg", default=DEFAULT_PG)
    parser.add_argument("--redis", default=os.environ.get("OMBRIX_TEST_REDIS", "host:127.0.0.1,port:6379,db:0"))
    parser.add_argument("--stale-deleter", action="store_true")
    parser.add_argument("--command-limit", type=float, default=0,
                        help="seconds: the held creation's config location waits this long for an answer "
                             "(give more than the lease to hold it past the default lease)")
    args = parser.parse_args()
    if "db:" not in args.redis:
        args.redis += ",db:0"
    for backend in args.backends.split(","):
        if args.stale_deleter:
            stale_says, kept, said, whole = stale_run(backend, args.pg if backend == "postgres" else args.redis,
                                                      args.items, args.lease_ms)
            print(f"{backend:8} stale deletion: {stale_says}; creation's index record there after it: {kept}; "
                  f"held creation: {said}; its index whole: {whole}", flush=True)
            continue
        for same_key in (True, False):
            said, whole = one_run(backend, args.pg if backend == "postgres" else args.redis, same_key, args.items,
                                  args.lease_ms, args.command_limit)
            print(f"{backend:8} {'same key ' if same_key else 'other key'}  index made again whole: {whole}  "
                  f"held creation: {said}", flush=True)


if __name__ == "__main__":
    main()
