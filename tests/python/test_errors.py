"""What the bindings raise: interrupts and exits unchanged, Python errors as causes, and
texts that name the item, the field and the types involved."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import ombrixdb_vell as ombrix


class RaisingMetadata(dict):
    """A metadata dict whose serialisation raises `error` (json asks a subclass for items())."""

    def __init__(self, error):
        super().__init__(x=1)
        self.error = error

    def items(self):
        raise self.error


class RaisingFinder:
    """An import hook that raises `error` while sentence_transformers is imported."""

    def __init__(self, error):
        self.error = error

    def find_spec(self, name, path=None, target=None):
        if name == "sentence_transformers":
            raise self.error
        return None


def upsert_with_metadata(index, error):
    index.upsert([{"id": "a", "vector": [1.0, 0.0]},
                  {"id": "b", "vector": [0.0, 1.0], "metadata": RaisingMetadata(error)}])


def embed_while_importing(client, monkeypatch, error):
    monkeypatch.delitem(sys.modules, "sentence_transformers", raising=False)
    monkeypatch.setattr(sys, "meta_path", [RaisingFinder(error)] + sys.meta_path)
    client.create_index("e", bytes(32), embedding_model="fake-4")


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), MemoryError()],
                         ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("road", ["upsert", "import"])
def test_interrupts_and_exits_pass_unchanged(make_index, client, monkeypatch, road, error):
    index = make_index()
    with pytest.raises(type(error)) as raised:
        if road == "upsert":
            upsert_with_metadata(index, error)
        else:
            embed_while_importing(client, monkeypatch, error)
    assert raised.value is error
    assert index.dimension == 0, "nothing was stored"


def test_python_errors_keep_their_text_and_become_the_cause(make_index, client, monkeypatch):
    index = make_index()
    cause = LookupError("the metadata could not be read")
    with pytest.raises(ValueError) as raised:
        upsert_with_metadata(index, cause)
    assert str(raised.value) == "Item at index 1, field 'metadata': LookupError: the metadata could not be read"
    assert raised.value.__cause__ is cause

    # A failed import is reported as a missing package, with what failed as the cause.
    broken = ImportError("libtorch.so: cannot open shared object file")
    with pytest.raises(ValueError, match=r"pip install ombrixdb-core\[embeddings\]$") as raised:
        embed_while_importing(client, monkeypatch, broken)
    assert raised.value.__cause__ is broken


@pytest.mark.parametrize("item, field, words", [
    ({"id": "a", "vector": "1234"}, "vector", ["<class 'str'>", "std::vector<float"]),
    ({"id": 5, "vector": [1.0]}, "id", ["<class 'int'>", "std::"]),
    ({"id": "a", "vector": [1.0, "x"]}, "vector", ["<class 'list'>"]),
    ({"id": "a", "vector": [1.0], "contents": 7}, "contents", ["`bytes` or `str`"]),
])
def test_item_errors_name_position_field_and_types(make_index, item, field, words):
    index = make_index()
    with pytest.raises(ValueError) as raised:
        index.upsert([{"id": "ok", "vector": [1.0]}, item])
    text = str(raised.value)
    assert text.startswith(f"Item at index 1, field '{field}': "), text
    assert "At:" not in text and "C++ type '?'" not in text
    for word in words:
        assert word in text, text


def test_query_rows_are_named(make_index):
    index = make_index()
    index.upsert([{"id": "ok", "vector": [1.0]}])
    with pytest.raises(RuntimeError, match=r"^Query vector at index 1: .*<class 'str'>"):
        index.query([[1.0], "x"])


def pg_client(pg_tables, index=None, config=None, items=None):
    """A client on the shared PostgreSQL server; a location left out gets a table of its own."""
    conninfo, table = pg_tables
    index = index or ombrix.DBConfig("postgres", table("clear_items"), conninfo)
    config = config or ombrix.DBConfig("postgres", table("clear_cfg"), conninfo)
    return ombrix.Client("k", index, config, items or index)


def no_connection_string(pg_tables):
    return pg_client(pg_tables, index=ombrix.DBConfig("postgres", "t")).create_index("n", os.urandom(32))


def one_table_for_every_store(pg_tables):
    conninfo, table = pg_tables
    shared = ombrix.DBConfig("postgres", table("clear_shared"), conninfo)
    pg_client(pg_tables, shared, shared, shared).create_index("n", os.urandom(32))


def name_too_long_for_the_config_table(pg_tables):
    pg_client(pg_tables).create_index("n" * 252, os.urandom(32))


def listing_a_redis_config_location(pg_tables):
    redis = ombrix.DBConfig("redis", "ombrix_unused", "host:127.0.0.1,port:1,db:0")
    pg_client(pg_tables, config=redis).list_indexes()


PG_LOCATION = re.escape('use DBConfig("postgres", table_name, connection_string).')


@pytest.mark.parametrize("mistake, message", [
    (no_connection_string,
     "Failed to create index: The PostgreSQL index location has no connection string: " + PG_LOCATION),
    (one_table_for_every_store,
     "Failed to create index: Table ombrix_clear_shared_\\w+ exists but does not match the expected "
     "schema: a config location needs the columns index_name \\(text\\) and config \\(bytea\\); it has "
     "key character varying, value bytea, index_name bigint. It holds the rows of an index or items "
     "location: give the config location a table of its own."),
    (name_too_long_for_the_config_table,
     "Failed to create index: Index name of 252 characters is too long for a PostgreSQL config "
     "table: its records \"<name>.oei\" and \"<name>.ovs\" must fit 255 characters, so the name may "
     "have at most 251."),
    (listing_a_redis_config_location,
     "Index listing needs a PostgreSQL config location as well: the index names are read from its "
     "table."),
    (lambda _: ombrix.Logger.instance().configure(b"\x80"), r"Invalid log level: \\x80"),
    (lambda _: ombrix.DBConfig(b"caf\xc3\xa9\xff"), "Unknown DB location: caf\u00e9\\\\xFF"),
], ids=["no_connection_string", "one_table_for_every_store", "name_too_long", "listing_redis_config",
        "logger_level_bytes", "db_location_bytes"])
def test_mistakes_are_named_before_anything_is_written(pg_tables, mistake, message):
    conninfo, make_table = pg_tables
    made = []

    def table(stem):
        made.append(make_table(stem))
        return made[-1]

    with pytest.raises(ValueError) as raised:
        mistake((conninfo, table))
    assert re.fullmatch(message, str(raised.value)), str(raised.value)
    # The tables the stores opened before the refusal hold nothing.
    def psql(sql):
        return subprocess.run(["psql", conninfo, "-tAc", sql], check=True, capture_output=True,
                              text=True).stdout.strip()

    for name in made:
        if psql(f"SELECT to_regclass('{name}') IS NOT NULL") == "t":
            assert psql(f"SELECT count(*) FROM {name}") == "0", name


def test_the_longest_name_a_config_table_holds(pg_tables):
    index = pg_client(pg_tables).create_index("n" * 251, os.urandom(32))
    index.upsert(["a"], np.ones((1, 2), dtype=np.float32))
    assert index.list_ids() == ["a"]
