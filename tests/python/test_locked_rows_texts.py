"""A delete or an upsert on PostgreSQL whose rows another transaction keeps locked past the
session's statement_timeout fails with a text that names the index and says what to do,
and quotes none of the server's internals (its CONTEXT line, a tuple's place)."""
import os

import numpy as np
import pytest

import ombrixdb_vell as ombrix  # noqa: F401  (the module under test)
from conftest import live_location, unique_name
from live_stores import DATA, Location, Psql, store_id

VECTORS = np.random.default_rng(3).standard_normal((2, 16)).astype(np.float32)


@pytest.mark.parametrize("call, advice", [
    (lambda index: index.delete(["a"]), "nothing was deleted, try again"),
    (lambda index: index.upsert(["a"], VECTORS[:1]), "upsert the same items again"),
], ids=["delete", "upsert"])
def test_a_call_held_up_by_locked_rows_names_the_index_and_what_to_do(call, advice):
    base = live_location("OMBRIX_TEST_PG")
    place = Location("postgres", base + " options='-c statement_timeout=1500'", unique_name("locked_items"),
                     unique_name("locked_cfg"))
    name, key = unique_name("locked"), os.urandom(32)
    holder = Psql(base)
    try:
        index = place.client().create_index(name, key)
        index.upsert(["a", "b"], VECTORS)
        holder(f"BEGIN; SELECT key FROM {place.items_table} WHERE index_name = {store_id(name, key, DATA, True)} "
               "FOR UPDATE")
        with pytest.raises(Exception) as failed:
            call(index)
        text = str(failed.value)
        assert f"index '{name}'" in text and advice in text, text
        assert "CONTEXT" not in text and "tuple" not in text, text
    finally:
        holder("ROLLBACK")
        holder.close()
        place.drop([(name, key)])
