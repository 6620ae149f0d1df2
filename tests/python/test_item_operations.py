"""get, delete, list_ids, get_num_vectors, delete_index and the refusals of load_index, on
memory stores."""
import os

import numpy as np
import pytest

import ombrixdb_vell as ombrix

NOT_CONNECTED = (r"^Not connected to any index\. Please call `CreateIndex\(\)` or `LoadIndex\(\)` "
                 r"before calling this function\.$")


@pytest.fixture
def stored(make_index):
    index = make_index()
    index.upsert([{"id": "a", "vector": [1.0, 2.5], "contents": b"\x00raw", "metadata": {"k": [1, "x"]}},
                  {"id": "b", "vector": [3.0, 4.0]}])
    return index


@pytest.mark.parametrize("include, keys", [
    (None, ["id", "vector", "contents", "metadata"]),
    (["metadata"], ["id", "metadata"]),
    (["contents", "vector"], ["id", "contents", "vector"]),
    (["metadata", "metadata"], ["id", "metadata"]),
    ([], ["id"]),
    (["Vector", "distance"], ["id"]),
])
def test_get_returns_the_fields_of_include_in_its_order(stored, include, keys):
    got = stored.get(["missing", "a", "a"]) if include is None else stored.get(["missing", "a", "a"], include)
    assert [list(item) for item in got] == [keys, keys]
    expected = {"id": "a", "vector": [1.0, 2.5], "contents": b"\x00raw", "metadata": {"k": [1, "x"]}}
    assert got[0] == {k: expected[k] for k in keys}


def test_an_item_without_contents_or_metadata_gets_empty_ones(stored):
    assert stored.get(["b"]) == [{"id": "b", "vector": [3.0, 4.0], "contents": b"", "metadata": {}}]


def test_delete_list_ids_and_the_count_of_vectors(stored):
    stored.upsert([{"id": "b", "vector": [5.0, 6.0]}])
    assert (sorted(stored.list_ids()), stored.get_num_vectors()) == (["a", "b"], 3)
    stored.delete(["a", "never-stored"])
    assert (stored.list_ids(), stored.get(["a"]), stored.get_num_vectors()) == (["b"], [], 3)
    assert [r["id"] for r in stored.query(np.array([1.0, 2.5], dtype=np.float32), top_k=5)] == ["b"]
    stored.delete(["b"])
    assert stored.list_ids() == []
    stored.delete([])


def test_after_delete_index_every_operation_refuses(stored):
    assert stored.delete_index() is None
    assert (stored.index_name(), stored.is_trained()) == ("", False)
    for operation, error in [(stored.list_ids, ValueError), (stored.get_num_vectors, RuntimeError),
                             (lambda: stored.delete(["a"]), RuntimeError),
                             (lambda: stored.get(["a"]), RuntimeError), (stored.delete_index, RuntimeError),
                             (stored.index_config, RuntimeError)]:
        with pytest.raises(error, match=NOT_CONNECTED):
            operation()


@pytest.mark.parametrize("key, error, message", [
    (os.urandom(31), ValueError, "^index_key must be exactly 32 bytes$"),
    ([1] * 33, ValueError, "^index_key must be exactly 32 elements$"),
    (7, ValueError, "^index_key must be bytes, list, tuple, or array-like object with 32 elements$"),
    (os.urandom(32), ValueError, "^Memory location is not supported for loading an existing index\\.$"),
])
def test_load_index_refusals(client, key, error, message):
    with pytest.raises(error, match=message):
        client.load_index("idx", key)


def test_load_index_refuses_a_memory_location_among_others(pg_tables):
    conninfo, table = pg_tables
    postgres = ombrix.DBConfig("postgres", table("mixed"), conninfo)
    memory = ombrix.DBConfig("memory")
    for locations in [(postgres, postgres, memory), (postgres, memory, postgres), (memory, postgres, postgres)]:
        with pytest.raises(ValueError, match="^Memory location is not supported"):
            ombrix.Client("k", *locations).load_index("idx", os.urandom(32))
    with pytest.raises(ValueError, match="^Index name cannot be an empty string\\.$"):
        ombrix.Client("k", postgres, postgres, postgres).load_index("", os.urandom(32))
