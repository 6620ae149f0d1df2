"""The index road from Python with every store on a live server: PostgreSQL tables, Redis
over plain TCP and over TLS. Create, upsert, train, query against numpy brute force,
upsert after training, and the refusal of a name that already has an index."""
import hashlib
import hmac
import os

import numpy as np
import pytest

import ombrixdb_vell as ombrix
from conftest import live_location, unique_name
from live_stores import Redis

INDEX, CONFIG, ITEMS, DATA = range(4)


def redis_command(location, *args):
    """One command to the server of a location string, over TLS when it says so; the reply."""
    redis = Redis(location)
    try:
        return redis(*args)
    finally:
        redis.close()


def redis_store_keys(name, key):
    """The two keys of each non-config store of an index: the item hash (the store id as
    8 little-endian bytes) and the map hash (the store id in decimal)."""
    index_id = int.from_bytes(hmac.new(key, name.encode(), hashlib.sha3_256).digest()[:8], "big")
    for kind in (INDEX, ITEMS, DATA):
        store_id = (index_id + kind) % 2**64
        yield store_id.to_bytes(8, "little")
        yield str(store_id).encode()


@pytest.fixture(params=["postgres", "redis", "redis_tls"])
def backend(request, pg_tables):
    """A client with every store on one live server, and a maker of its indexes; what the
    indexes wrote is removed afterwards."""
    made = []
    if request.param == "postgres":
        conninfo, table = pg_tables
        stores = ombrix.DBConfig("postgres", table("py_items"), conninfo)
        config = ombrix.DBConfig("postgres", table("py_cfg"), conninfo)
    else:
        variable = "OMBRIX_TEST_REDIS" if request.param == "redis" else "OMBRIX_TEST_REDIS_TLS"
        location = live_location(variable) + ",db:0"
        config_hash = unique_name("py_cfg")
        stores = config = ombrix.DBConfig("redis", config_hash, location)
    client = ombrix.Client("k", stores, config, stores)

    def create(name, key, **kwargs):
        made.append((name, key))
        return client.create_index(name, key, **kwargs)

    yield create
    if request.param != "postgres":
        keys = [k for name, key in made for k in redis_store_keys(name, key)]
        # Every index wrote its records where expected, so nothing is left behind.
        assert redis_command(location, "DEL", config_hash, *keys) != 0
        assert redis_command(location, "EXISTS", config_hash, *keys) == 0


def clustered(rng, n, d=16, clusters=8):
    centres = rng.standard_normal((clusters, d)) * 10
    return (centres[rng.integers(clusters, size=n)] + rng.standard_normal((n, d))).astype(np.float32)


def test_create_upsert_train_query_and_existing_name(backend, rng):
    name = unique_name("road")
    key = os.urandom(32)
    index = backend(name, key, metric="squared_euclidean")
    # Training needs 10,000 stored items.
    points = clustered(rng, 10050)
    data, queries = points[:10000], points[10000:]
    for begin in range(0, 10000, 2500):
        index.upsert([f"id{n}" for n in range(begin, begin + 2500)], data[begin:begin + 2500])
    index.train()
    assert index.is_trained() and index.n_lists == 8

    # k-means is seeded at random; two probes keep the recall check independent of the seed.
    results = index.query(queries, top_k=10, n_probes=2)
    hits = 0
    for query, found in zip(queries, results):
        truth = {f"id{n}" for n in np.argsort(((data - query) ** 2).sum(axis=1))[:10]}
        hits += len(truth & {r["id"] for r in found})
    assert hits / (10 * len(queries)) >= 0.95

    # After training, a new item is filed under the trained lists and found at once.
    index.upsert([{"id": "new", "vector": queries[0], "metadata": {"k": 1}}])
    nearest = index.query(queries[0], top_k=1)[0]
    assert (nearest["id"], nearest["metadata"]) == ("new", {"k": 1})

    with pytest.raises(ValueError, match=f"^Failed to create index: Index name {name} already exists$"):
        backend(name, os.urandom(32))
    assert index.query(queries[0], top_k=1)[0]["id"] == "new"


def test_tls_without_a_ca_connects_and_says_so_to_python():
    verified = live_location("OMBRIX_TEST_REDIS_TLS") + ",db:0"
    parts = dict(p.split(":", 1) for p in verified.split(","))
    unverified = ",".join(p for p in verified.split(",") if not p.startswith("ca_cert:"))
    config_hash = unique_name("py_cfg")
    stores = ombrix.DBConfig("redis", config_hash, unverified)
    client = ombrix.Client("k", stores, stores, stores)
    said = (f"TLS connection to Redis at {parts['host']}:{parts['port']} does not verify the "
            "server's certificate: no ca_cert or ca_path given")
    name, key = unique_name("unverified"), os.urandom(32)
    # Without a logger the process-wide logger stops at ERROR, so the log says nothing.
    with pytest.warns(UserWarning) as created:
        index = client.create_index(name, key)
    assert [str(w.message) for w in created] == [said]
    index.upsert(["a"], np.ones((1, 4), dtype=np.float32))
    del index
    with pytest.warns(UserWarning) as loaded:
        index = client.load_index(name, key)
    assert [str(w.message) for w in loaded] == [said]
    assert index.list_ids() == ["a"]
    index.delete_index()


@pytest.mark.parametrize("server", ["postgres", "redis"])
def test_every_call_of_another_object_says_its_index_was_deleted(server, request):
    """Each call raises the type it raises for any failure of the stores; get and delete
    did not raise at all."""
    if server == "postgres":
        conninfo, table = request.getfixturevalue("pg_tables")
        stores = ombrix.DBConfig("postgres", table("py_items"), conninfo)
        config = ombrix.DBConfig("postgres", table("py_cfg"), conninfo)
    else:
        stores = config = ombrix.DBConfig("redis", unique_name("py_cfg"),
                                          live_location("OMBRIX_TEST_REDIS") + ",db:0")
    client = ombrix.Client("k", stores, config, stores)
    name, key = unique_name("gone"), os.urandom(32)
    deleter = client.create_index(name, key)
    deleter.upsert(["a", "b"], np.ones((2, 4), dtype=np.float32))
    other = client.load_index(name, key)
    deleter.delete_index()  # leaves nothing on the server to clean up

    gone = f"Index '{name}' no longer exists: it was deleted"
    calls = [
        ("get of stored ids", lambda: other.get(["a", "b"]), RuntimeError, gone),
        ("get of no id", lambda: other.get([]), RuntimeError, gone),
        ("delete", lambda: other.delete(["a"]), RuntimeError, gone),
        ("list_ids", other.list_ids, ValueError, gone),
        ("get_num_vectors", other.get_num_vectors, RuntimeError, gone),
        ("query", lambda: other.query(np.ones(4, dtype=np.float32)), ValueError, gone),
        ("upsert", lambda: other.upsert(["c"], np.ones((1, 4), dtype=np.float32)), ValueError,
         "Error ingesting: " + gone),
    ]
    for what, call, kind, text in calls:
        with pytest.raises(kind) as raised:
            call()
        assert str(raised.value) == text, what
