"""A Redis server of the test's own that freezes (SIGSTOP) under an open index: an upsert
waits without holding the interpreter lock, a query gives up at the connection string's
command time-out and says so, and the index works again once the server answers."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

import numpy as np
import pytest

import ombrixdb_vell as ombrix


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def redis_server():
    if shutil.which("redis-server") is None:
        pytest.skip("redis-server is not installed")
    port = free_port()
    workdir = tempfile.mkdtemp(prefix="ombrix_redis_")
    server = subprocess.Popen(["redis-server", "--bind", "127.0.0.1", "--port", str(port), "--save", "",
                               "--appendonly", "no", "--dir", workdir],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(200):  # ready when the port accepts connections
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        yield server, port
    finally:
        server.send_signal(signal.SIGCONT)
        server.terminate()
        server.wait()
        shutil.rmtree(workdir, ignore_errors=True)


def unread_bytes_at(port):
    """Bytes waiting in the receive queues of the server's connections on `port`."""
    waiting = 0
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            if local_port == port and fields[3] == "01":  # ESTABLISHED
                waiting += int(fields[4].split(":")[1], 16)
    return waiting


def test_frozen_server(redis_server, rng):
    server, port = redis_server
    location = f"host:127.0.0.1,port:{port},db:0,command_timeout:2"
    store = ombrix.DBConfig("redis", "ombrix_py_faults", location)
    client = ombrix.Client("test-key", store, store, store)
    index = client.create_index("frozen", os.urandom(32))
    vectors = rng.standard_normal((20, 8)).astype(np.float32)
    index.upsert([f"v{n}" for n in range(10)], vectors[:10])

    server.send_signal(signal.SIGSTOP)
    with pytest.raises(ValueError, match=rf"^Redis server 127\.0\.0\.1:{port} did not answer \w+ "
                                         r"within 2 s \(command time-out\) for index 'frozen': make sure the "
                                         r"server is running and reachable, then run the call again, or give "
                                         r"command_timeout in the connection string a larger value if the server "
                                         r"needs longer$"):
        index.query(vectors[0], top_k=3)

    # This thread can only watch the upsert's request arrive while the upsert waits if the
    # upsert let go of the interpreter lock.
    outcome = []
    writer = threading.Thread(target=lambda: outcome.append(
        index.upsert([f"v{n}" for n in range(10, 20)], vectors[10:])))
    writer.start()
    while unread_bytes_at(port) == 0 and writer.is_alive():
        time.sleep(0.01)
    seen_waiting = writer.is_alive()
    server.send_signal(signal.SIGCONT)
    writer.join()
    assert seen_waiting and outcome == [None]
    assert {hit["id"] for hit in index.query(vectors[15], top_k=1)} == {"v15"}


def test_a_get_whose_contents_store_froze_leaves_the_index_store_in_step(redis_server, pg_tables, capfd):
    """A get reads the index's state from the index store while it fetches contents: when
    the contents store stops answering the get fails, and the index store's session goes
    on without being opened again."""
    server, port = redis_server
    conninfo, table = pg_tables
    stores = ombrix.DBConfig("postgres", table("faults_index"), conninfo)
    contents = ombrix.DBConfig("redis", "ombrix_py_faults", f"host:127.0.0.1,port:{port},db:0,command_timeout:2")
    index = ombrix.Client("k", stores, ombrix.DBConfig("postgres", table("faults_config"), conninfo),
                          contents).create_index("frozen_contents", os.urandom(32))
    index.upsert([{"id": f"v{n}", "vector": [float(n), 1.0], "contents": b"c%d" % n} for n in range(5)])

    server.send_signal(signal.SIGSTOP)
    ombrix.Logger.instance().configure("warning")
    try:
        with pytest.raises(RuntimeError, match=rf"^Redis server 127\.0\.0\.1:{port} did not answer HMGET"):
            index.get(["v1"])
        assert [row["vector"] for row in index.get(["v1", "v3"], include=["vector"])] == [[1.0, 1.0], [3.0, 1.0]]
        assert index.get_num_vectors() == 5
    finally:
        ombrix.Logger.instance().configure("error")
    server.send_signal(signal.SIGCONT)
    assert index.get(["v2"])[0]["contents"] == b"c2"
    seen = capfd.readouterr()
    assert "Reconnecting to PostgreSQL" not in seen.out + seen.err


def test_calls_that_keep_the_interpreter_lock_end_within_the_command_time_out(redis_server):
    """Every other thread waits while these wait: on a frozen server each ends within its
    limit, a get whose index read waited behind its fetch and a reconnecting call alike."""
    server, port = redis_server
    store = ombrix.DBConfig("redis", "ombrix_py_faults", f"host:127.0.0.1,port:{port},db:0,command_timeout:2")
    index = ombrix.Client("k", store, store, store).create_index("held", os.urandom(32))
    index.upsert([{"id": f"v{n}", "vector": [float(n), 1.0], "contents": b"c"} for n in range(5)])
    server.send_signal(signal.SIGSTOP)
    for call in [lambda: index.get(["v1"]), lambda: index.delete(["v2"]), index.list_ids, index.get_num_vectors]:
        started = time.monotonic()
        with pytest.raises((RuntimeError, ValueError), match=r"within 2 s \(\w+ time-out\) for index 'held'"):
            call()
        assert time.monotonic() - started < 3  # 2 s and a second of slack
