import os
import pathlib
import sys

import numpy as np
import pytest

import ombrixdb_vell as ombrix


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
