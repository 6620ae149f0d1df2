"""What an index keeps on a live PostgreSQL or Redis server, read by the test itself: every
stored value of an index (to compare byte for byte), the rows or keys of each store, and
the removal of a config record. A `Location` is plain data, so it crosses into processes
started with the spawn method, where `client()` builds the index's Client. Also what tests
and benches put beside a PostgreSQL server: a relay they can stall, a psql session they keep."""
import dataclasses
import hashlib
import hmac
import select
import socket
import ssl
import subprocess
import threading
import time

import ombrixdb_vell as ombrix

INDEX, CONFIG, ITEMS, DATA = range(4)


def index_id(name, key):
    return int.from_bytes(hmac.new(key, name.encode(), hashlib.sha3_256).digest()[:8], "big")


def store_id(name, key, kind, postgres):
    value = (index_id(name, key) + kind) % 2**64
    return value & (2**63 - 1) if postgres else value


class Redis:
    """One connection speaking RESP, over TLS when the location string says so."""

    def __init__(self, location):
        fields = dict(part.split(":", 1) for part in location.split(","))
        raw = socket.create_connection((fields["host"], int(fields["port"])), timeout=30)
        if fields.get("ssl") == "true":
            context = ssl.create_default_context(cafile=fields["ca_cert"])
            # The test CA is made without a key-usage extension, which strict checking refuses.
            context.verify_flags &= ~ssl.VERIFY_X509_STRICT
            raw = context.wrap_socket(raw, server_hostname=fields["host"])
        self._socket = raw
        self._reader = raw.makefile("rb")

    def close(self):
        self._reader.close()
        self._socket.close()

    def __call__(self, *args):
        encoded = [a if isinstance(a, bytes) else str(a).encode() for a in args]
        self._socket.sendall(b"*%d\r\n" % len(encoded) +
                             b"".join(b"$%d\r\n%s\r\n" % (len(a), a) for a in encoded))
        return self._reply()

    def _reply(self):
        line = self._reader.readline()[:-2]
        kind, rest = line[:1], line[1:]
        if kind == b"-":
            raise RuntimeError(rest.decode())
        if kind == b":":
            return int(rest)
        if kind == b"+":
            return rest.decode()
        if kind == b"$":
            return None if int(rest) < 0 else self._reader.read(int(rest) + 2)[:-2]
        return [self._reply() for _ in range(int(rest))]


class StallingRelay:
    """A loopback TCP relay to the PostgreSQL server that the test can stall: it then
    relays nothing more and closes nothing, as a partition or a host gone without a FIN."""

    def __init__(self, conninfo):
        fields = dict(part.split("=", 1) for part in conninfo.split() if "=" in part)
        self._server = (fields.get("host", "127.0.0.1"), int(fields.get("port", "5432")))
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._stalled = threading.Event()
        self._to_server_after = None  # bytes each connection still relays to the server
        self._answer_held_after = None  # what the statement whose answer is held contains
        self._hold_answer = False
        self.holding = threading.Event()
        self._released = threading.Event()
        self._done = threading.Event()
        self._sockets = [self._listener]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self._done.is_set():
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            server = socket.create_connection(self._server)
            self._sockets += [client, server]
            for source, target, to_server in ((client, server, True), (server, client, False)):
                threading.Thread(target=self._pump, args=(source, target, to_server), daemon=True).start()

    def _pump(self, source, target, to_server):
        left = None
        while not self._done.is_set():
            if to_server and left is None:
                left = self._to_server_after
            if self._stalled.is_set() or left == 0 or not select.select([source], [], [], 0.05)[0]:
                time.sleep(0.01)
                continue
            try:
                data = source.recv(65536 if left is None else min(65536, left))
                if not data:
                    target.shutdown(socket.SHUT_WR)
                    return
                if to_server and self._answer_held_after and self._answer_held_after in data:
                    self._answer_held_after, self._hold_answer = None, True
                elif not to_server and self._hold_answer:
                    self._hold_answer = False
                    self.holding.set()
                    self._released.wait()
                target.sendall(data)
                if left is not None:
                    left -= len(data)
            except OSError:
                return

    def stall(self):
        self._stalled.set()

    def stall_to_server_after(self, count):
        """Each connection relays `count` more bytes to the server, then none: a statement
        stops half sent. Answers still reach the client."""
        self._to_server_after = count

    def hold_answer_to(self, text):
        """The answer to the next statement that contains `text` waits in the relay until
        release(), as it would behind a stopped or cut-off network."""
        self._answer_held_after = text

    def release(self):
        self._released.set()

    def close(self):
        self._done.set()
        self._released.set()
        for s in self._sockets:
            s.close()


class Psql:
    """One psql session kept open, so that a lock it takes lasts across the test's steps."""

    def __init__(self, address):
        self._psql = subprocess.Popen(["psql", address, "-qAt"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      text=True)

    def __call__(self, sql):
        """The last line of the answer."""
        self._psql.stdin.write(f"{sql};\nSELECT '.';\n")
        self._psql.stdin.flush()
        return ([""] + list(iter(self._psql.stdout.readline, ".\n")))[-1].strip()

    def first_waiting(self):
        """The backend waiting for a lock of this session, or "" while none does."""
        return self("SELECT min(pid) FROM pg_stat_activity WHERE pg_backend_pid() = ANY(pg_blocking_pids(pid))")

    def close(self):
        self._psql.stdin.close()
        self._psql.wait()


@dataclasses.dataclass(frozen=True)
class Location:
    """Every store of an index on one server: a PostgreSQL items table and config table,
    or a Redis server with a config hash."""
    kind: str  # "postgres" or "redis"
    address: str  # libpq conninfo, or the Redis location string
    items_table: str
    config_table: str

    def client(self, cpu_threads=0):
        stores = ombrix.DBConfig(self.kind, self.items_table, self.address)
        config = ombrix.DBConfig(self.kind, self.config_table, self.address)
        return ombrix.Client("k", stores, config, stores, cpu_threads)

    def _psql(self, sql):
        return subprocess.run(["psql", self.address, "-qAt", "-v", "ON_ERROR_STOP=1", "-c", sql],
                              check=True, capture_output=True, text=True).stdout

    def _redis_keys(self, name, key):
        """The item hash and the map hash of each non-config store."""
        for kind in (INDEX, ITEMS, DATA):
            sid = store_id(name, key, kind, postgres=False)
            yield sid.to_bytes(8, "little")
            yield str(sid).encode()

    def _config_names(self, name):
        return [f"{name}.oei".encode(), f"{name}.ovs".encode()]

    def stored(self, name, key):
        """Every value the index has on the server, in a fixed order."""
        if self.kind == "postgres":
            ids = ",".join(str(store_id(name, key, kind, True)) for kind in (INDEX, ITEMS, DATA))
            return (self._psql(f"SELECT index_name, key, encode(value, 'hex') FROM {self.items_table} "
                               f"WHERE index_name IN ({ids}) ORDER BY 1, 2") +
                    self._psql(f"SELECT index_name, encode(config, 'hex') FROM {self.config_table} "
                               f"WHERE index_name IN ('{name}.oei', '{name}.ovs') ORDER BY 1"))
        redis = Redis(self.address)
        try:
            hashes = [sorted(zip(*[iter(redis("HGETALL", k))] * 2)) for k in self._redis_keys(name, key)]
            return hashes, redis("HMGET", self.config_table, *self._config_names(name))
        finally:
            redis.close()

    def counts(self, name, key):
        """Rows (PostgreSQL) or keys and config fields (Redis) of each store: index, config,
        items, data."""
        if self.kind == "postgres":
            def rows(kind):
                sid = store_id(name, key, kind, True)
                return int(self._psql(f"SELECT count(*) FROM {self.items_table} WHERE index_name = {sid}"))
            config = int(self._psql(f"SELECT count(*) FROM {self.config_table} "
                                    f"WHERE index_name IN ('{name}.oei', '{name}.ovs')"))
            return [rows(INDEX), config, rows(ITEMS), rows(DATA)]
        redis = Redis(self.address)
        try:
            keys = list(self._redis_keys(name, key))
            by_kind = {kind: redis("EXISTS", *keys[2 * n:2 * n + 2])
                       for n, kind in enumerate((INDEX, ITEMS, DATA))}
            config = sum(redis("HEXISTS", self.config_table, f) for f in self._config_names(name))
            return [by_kind[INDEX], config, by_kind[ITEMS], by_kind[DATA]]
        finally:
            redis.close()

    def remove_config_record(self, item_name):
        if self.kind == "postgres":
            self._psql(f"DELETE FROM {self.config_table} WHERE index_name = '{item_name}'")
        else:
            redis = Redis(self.address)
            try:
                assert redis("HDEL", self.config_table, item_name) == 1
            finally:
                redis.close()

    def drop(self, made):
        """Removes what the indexes `made` ((name, key) pairs) left, and the tables."""
        if self.kind == "postgres":
            self._psql(f"DROP TABLE IF EXISTS {self.items_table}, {self.config_table}")
            return
        redis = Redis(self.address)
        try:
            keys = [k for name, key in made for k in self._redis_keys(name, key)]
            redis("DEL", self.config_table, *keys)
        finally:
            redis.close()
