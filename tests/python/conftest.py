import os
import pathlib
import secrets
import subprocess
import sys

import numpy as np
import pytest

# The module defines its testing hooks only when imported under this variable; processes
# the tests start inherit it.
os.environ["OMBRIX_TESTING_HOOKS"] = "1"
import ombrixdb_vell as ombrix  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def _python_313():
    assert sys.version_info[:2] == (3, 13), "the module is built for CPython 3.13"


FAKES = pathlib.Path(__file__).parent / "fakes"


@pytest.fixture
def client():
    memory = ombrix.DBConfig("memory")
    return ombrix.Client("test-key", memory, memory, memory)


@pytest.fixture
def make_index(client):
    """create_index on the memory client with a fresh random key."""
    def make(name="idx", **kwargs):
        return client.create_index(name, os.urandom(32), **kwargs)
    return make


@pytest.fixture
def fake_embedder(monkeypatch):
    """The sentence_transformers test double, importable and reset for each test."""
    monkeypatch.syspath_prepend(str(FAKES))
    import sentence_transformers
    sentence_transformers.reset()
    yield sentence_transformers
    sentence_transformers.reset()


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def live_location(variable):
    """The value of a server variable from scripts/services.sh; unset skips, or fails under CI."""
    value = os.environ.get(variable)
    if value is None:
        message = f"{variable} is not set (source scripts/services.sh)"
        if os.environ.get("CI") == "true":
            pytest.fail(message)
        pytest.skip(message)
    return value


def unique_name(stem):
    """A lower-case identifier no other run or test uses."""
    return f"ombrix_{stem}_{os.getpid()}_{secrets.token_hex(5)}"


@pytest.fixture
def pg_tables():
    """The shared PostgreSQL server and a maker of unique table names, dropped afterwards."""
    conninfo = live_location("OMBRIX_TEST_PG")
    made = []

    def make(stem):
        made.append(unique_name(stem))
        return made[-1]

    yield conninfo, make
    if made:
        subprocess.run(["psql", conninfo, "-q", "-c", "DROP TABLE IF EXISTS " + ", ".join(made)],
                       check=True, capture_output=True)
