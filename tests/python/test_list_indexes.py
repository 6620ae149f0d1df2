"""Client.list_indexes: only a PostgreSQL index location is listed; a failed listing raises
ValueError with its own reason."""
import os

import pytest

import ombrixdb_vell as ombrix

ONLY_POSTGRES = "Index listing is available only for a PostgreSQL index location."


class TestListIndexes:
    @pytest.mark.parametrize("index_location", [
        ombrix.DBConfig("memory"),
        ombrix.DBConfig("redis", "ombrix_unused", "host:127.0.0.1,port:1"),
    ])
    def test_other_locations_are_refused_without_looking(self, index_location, capfd):
        # The config location would fail if it were read: it names no table.
        postgres = ombrix.DBConfig("postgres", None, "host=127.0.0.1 port=1")
        client = ombrix.Client("k", index_location, postgres, index_location)
        with pytest.raises(ValueError, match=f"^{ONLY_POSTGRES}$"):
            client.list_indexes()
        assert capfd.readouterr() == ("", "")

    @pytest.mark.parametrize("config_location, reason", [
        (ombrix.DBConfig("postgres", None, "host=127.0.0.1 port=1"),
         "table_name is not set in DBConfig."),
        (ombrix.DBConfig("postgres", "ombrix_unused", None),
         "Database connection string is missing in the configuration."),
        (ombrix.DBConfig("postgres", "ombrix_unused", "host=127.0.0.1 port=1 connect_timeout=2"),
         "Failed to connect to PostgreSQL: "),
    ])
    def test_failed_listing_raises_its_reason(self, config_location, reason, capfd):
        postgres = ombrix.DBConfig("postgres", "ombrix_unused", "host=127.0.0.1 port=1")
        client = ombrix.Client("k", postgres, config_location, postgres)
        with pytest.raises(ValueError) as raised:
            client.list_indexes()
        assert str(raised.value).startswith(reason)
        out, err = capfd.readouterr()
        assert out == ""
        assert err.endswith("Error in ListIndexes for Postgres: " + str(raised.value) + "\n")

    def test_names_of_created_indexes(self, pg_tables):
        conninfo, table = pg_tables
        stores = ombrix.DBConfig("postgres", table("list_items"), conninfo)
        config = ombrix.DBConfig("postgres", table("list_cfg"), conninfo)
        client = ombrix.Client("k", stores, config, stores)
        # Listing a table that was never written is an error, not an empty list.
        with pytest.raises(ValueError, match="^Failed to execute query: .*does not exist"):
            client.list_indexes()
        names = ["first", "second", "ünïcode name"]
        indexes = [client.create_index(name, os.urandom(32)) for name in names]
        assert sorted(client.list_indexes()) == sorted(names)
        # Another client at the same config location sees the same indexes.
        other = ombrix.Client("k", stores, config, stores)
        assert sorted(other.list_indexes()) == sorted(names)
        del indexes
