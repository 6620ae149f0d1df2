"""What the bindings raise: interrupts and exits unchanged, Python errors as causes, and
texts that name the item, the field and the types involved."""
import sys

import numpy as np
import pytest


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
