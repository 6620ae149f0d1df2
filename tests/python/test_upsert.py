"""EncryptedIndex.upsert: both call forms, their refusals, and automatic embedding."""
import json

import numpy as np
import pytest

LIST_FORM = "Invalid arguments. Expected a list of dicts when passing a single argument."
TWO_ARG_FORM = ("Invalid argument types. Expected a list of dicts for single arg mode, (list[str], float32 "
                "np.ndarray) or (int32/int64 np.ndarray, float32 np.ndarray) for two-arg mode.")
NOT_SET_UP = ("Index was not set up for automatic embedding generation. Provide `vector` explicitly or "
              "create a new index with an embedding model.")


def stored(index, dimension=4, **kwargs):
    """Every stored item as {id: result dict}, found by a query from the origin."""
    hits = index.query(np.zeros(dimension, dtype=np.float32), top_k=1000, **kwargs)
    return {hit["id"]: hit for hit in hits}


class TestIdsAndVectors:
    def test_list_of_ids(self, make_index, rng):
        index = make_index()
        vectors = rng.standard_normal((3, 4)).astype(np.float32)
        assert index.upsert(["a", b"b", bytearray(b"c")], vectors) is None
        assert set(stored(index)) == {"a", "b", "c"}
        assert index.dimension == 4

    def test_nothing_reaches_standard_output_with_the_cache_on(self, make_index, rng, capfd):
        index = make_index(max_cache_size=4)
        for _ in range(2):  # the second batch meets a cached list, then uncached ones
            index.upsert([f"i{n}" for n in range(50)], rng.standard_normal((50, 4)).astype(np.float32))
            assert len(index.query(np.zeros(4, dtype=np.float32), top_k=100)) == 50
        assert capfd.readouterr().out == ""

    def test_numpy_ids_become_their_text(self, make_index):
        index = make_index()
        index.upsert(np.array([7, 8], dtype=np.int64), np.ones((2, 4), dtype=np.float32))
        index.upsert(np.array([b"x"]), np.ones((1, 4), dtype=np.float32))
        assert set(stored(index)) == {"7", "8", "b'x'"}

    def test_strided_and_transposed_arrays(self, make_index, rng):
        index = make_index()
        base = rng.standard_normal((8, 6)).astype(np.float32)
        index.upsert(["t0", "t1", "t2", "t3"], base[::2, ::2].T.copy().T)  # positive strides, not contiguous
        index.upsert(["r0", "r1", "r2", "r3"], base[::-2, 1::2])          # negative row stride
        got = stored(index, 3, include=["distance"])
        for name, row in [("t0", base[0, ::2]), ("t3", base[6, ::2]), ("r0", base[7, 1::2]), ("r3", base[1, 1::2])]:
            assert got[name]["distance"] == pytest.approx(np.linalg.norm(row), rel=1e-5)

    def test_native_refusal_is_a_value_error(self, make_index, capfd):
        index = make_index()
        index.upsert(["a"], np.ones((1, 4), dtype=np.float32))
        with pytest.raises(ValueError) as err:
            index.upsert(["b"], np.ones((1, 5), dtype=np.float32))
        assert capfd.readouterr().err.endswith(f"[ERROR] Exception in Upsert: {err.value}\n")
        assert set(stored(index)) == {"a"}

    @pytest.mark.parametrize("vectors, message", [
        ([[1.0, 2.0]], "Second argument must be a numpy array for vectors."),
        (np.ones((1, 4)), "vectors must be float32."),
        (np.ones((1, 4), dtype=">f4"), "vectors must be float32."),
    ])
    def test_vectors_refused(self, make_index, vectors, message):
        with pytest.raises(TypeError) as err:
            make_index().upsert(["a"], vectors)
        assert str(err.value) == message

    def test_ids_refused(self, make_index):
        index = make_index()
        one = np.ones((1, 4), dtype=np.float32)
        with pytest.raises(TypeError, match="^ids array must be 1D.$"):
            index.upsert(np.array([[1]]), one)
        with pytest.raises(TypeError) as err:
            index.upsert(("a",), one)
        assert str(err.value) == TWO_ARG_FORM
        with pytest.raises(ValueError):
            index.upsert([1], one)
        with pytest.raises(ValueError, match=r"^Item at index 1, field 'id': not valid UTF-8.$"):
            index.upsert(["ok", b"\xff\xfe"], np.ones((2, 4), dtype=np.float32))

    @pytest.mark.parametrize("shape, message", [
        ((4,), "Expected a 2D array."), ((1, 2, 2), "Expected a 2D array."),
        ((2, 0), "Vectors must have at least one component.")])
    def test_shapes_refused(self, make_index, shape, message):
        ids = ["a", "b"][: shape[0] if len(shape) > 1 else 1]
        with pytest.raises(ValueError) as err:
            make_index().upsert(ids, np.ones(shape, dtype=np.float32))
        assert str(err.value) == message

    @pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
    def test_non_finite_refused(self, make_index, bad):
        vectors = np.ones((2, 4), dtype=np.float32)
        vectors[1, 2] = bad
        index = make_index()
        with pytest.raises(ValueError, match="^Vectors must contain only finite values.$"):
            index.upsert(["a", "b"], vectors)
        assert index.dimension == 0


class TestListOfDicts:
    @pytest.mark.parametrize("arg", [[], {"id": "a", "vector": [1.0]}, ["a"], "abc"])
    def test_form_refused(self, make_index, arg):
        with pytest.raises(TypeError) as err:
            make_index().upsert(arg)
        assert str(err.value) == LIST_FORM

    def test_metadata_entries_and_round_trip(self, make_index):
        index = make_index()
        index.upsert([{"id": "a", "vector": [1, 0, 0, 0]},
                      {"id": "b", "vector": (0, 2, 0, 0), "metadata": {"z": 1, "a": "é", "n": [1, None]}},
                      {"id": "c", "vector": np.array([0, 0, 3, 0], dtype=np.float64), "metadata": None}])
        got = stored(index)
        assert got["a"]["metadata"] == {} and got["c"]["metadata"] == {}
        assert got["b"]["metadata"] == {"z": 1, "a": "é", "n": [1, None]}
        assert list(got["b"]["metadata"]) == ["z", "a", "n"]
        assert got["b"]["distance"] == pytest.approx(2.0)

    def test_metadata_from_pairs_and_mapping(self, make_index):
        index = make_index()
        index.upsert([{"id": "a", "vector": [1, 0, 0, 0], "metadata": [("k", 1)]}])
        assert stored(index)["a"]["metadata"] == {"k": 1}

    @pytest.mark.parametrize("metadata, message", [
        ({"x": float("nan")}, "^Item at index 1, field 'metadata': ValueError: Out of range float values are not JSON compliant"),
        ({"x": float("inf")}, "^Item at index 1, field 'metadata': ValueError: Out of range float values are not JSON compliant"),
        ({"x": "\ud800"}, "^Invalid metadata JSON at index 1: "),
        ({"x": 10**400}, "^Invalid metadata JSON at index 1: "),
        ({"x": object()}, "^Item at index 1, field 'metadata': TypeError: Object of type object is not JSON serializable"),
        (5, "^Item at index 1, field 'metadata': TypeError: "),
    ])
    def test_metadata_refused(self, make_index, metadata, message):
        index = make_index()
        with pytest.raises(ValueError, match=message):
            index.upsert([{"id": "ok", "vector": [1, 0, 0, 0]}, {"id": "a", "vector": [1, 0, 0, 0], "metadata": metadata}])
        assert index.dimension == 0

    def test_item_refusals(self, make_index):
        index = make_index()
        with pytest.raises(ValueError, match="^Each dictionary must contain an 'id' key.$"):
            index.upsert([{"vector": [1.0]}])
        with pytest.raises(ValueError):
            index.upsert([{"id": 5, "vector": [1.0]}])
        with pytest.raises(ValueError, match="^Item at index 0, field 'id': not valid UTF-8.$"):
            index.upsert([{"id": b"\xc3", "vector": [1.0]}])
        with pytest.raises(ValueError, match="^Item at index 0, field 'contents': 'contents' must be of type `bytes` or `str`.$"):
            index.upsert([{"id": "a", "vector": [1.0], "contents": None}])
        with pytest.raises(ValueError, match="^'contents' must be of `str` type for auto-embedding.$"):
            index.upsert([{"id": "a", "contents": b"raw"}])
        with pytest.raises(ValueError, match="^Vectors must have at least one component.$"):
            index.upsert([{"id": "a", "vector": []}])
        with pytest.raises(ValueError, match="^Vectors must contain only finite values.$"):
            index.upsert([{"id": "a", "vector": [1.0, float("nan")]}])
        with pytest.raises(ValueError):
            index.upsert([{"id": "a", "vector": "1234"}])
        assert index.dimension == 0

    def test_missing_vector_and_contents_found_after_first_pass(self, make_index):
        items = [{"id": "a", "vector": [1.0]}, {"id": "b", "vector": [1.0]}, {"id": "c"},
                 {"vector": [1.0]}]
        with pytest.raises(ValueError, match="^Each dictionary must contain an 'id' key.$"):
            make_index().upsert(items)
        with pytest.raises(ValueError, match="^Item at index 2 is missing both 'vector' and 'contents' fields.$"):
            make_index().upsert(items[:3])

    def test_ragged_vectors_refused(self, make_index):
        with pytest.raises(ValueError) as err:
            make_index().upsert([{"id": "a", "vector": [1, 2, 3]}, {"id": "b", "vector": [1, 2]}])
        assert str(err.value) == "All vectors must have the same length (row 1 has 2 values, expected 3)."

    def test_contents_with_vector_not_embedded(self, make_index, fake_embedder):
        index = make_index(embedding_model="fake-4")
        fake_embedder.calls.clear()
        index.upsert([{"id": "a", "vector": [1, 2, 3, 4], "contents": "text"}])
        assert fake_embedder.calls == []

    def test_item_list_changed_by_dict_conversion(self, make_index):
        items = []

        class Sneaky(dict):
            def keys(self):
                items.clear()
                return super().keys()

        items.extend([{"id": "a", "vector": [1.0, 0.0]}, Sneaky(id="b", vector=[0.0, 1.0])])
        index = make_index()
        index.upsert(items)
        assert set(stored(index, 2)) == {"a", "b"}


class TestAutomaticEmbedding:
    def test_without_model(self, make_index):
        with pytest.raises(ValueError) as err:
            make_index().upsert([{"id": "a", "contents": "hello"}])
        assert str(err.value) == NOT_SET_UP

    def test_single_text_encoded_alone(self, make_index, fake_embedder):
        index = make_index(embedding_model="fake-6")
        fake_embedder.calls.clear()
        index.upsert([{"id": "a", "contents": "hello"}])
        assert fake_embedder.calls == [("load", "fake-6"), ("encode", "hello", True)]
        hit = index.query(fake_embedder.embed("hello", 6), top_k=1)[0]
        assert hit["id"] == "a" and hit["distance"] == pytest.approx(0.0, abs=1e-5)

    @pytest.mark.parametrize("mode", [None, "float64", "fortran"])
    def test_batch_rows_matched_to_items(self, make_index, fake_embedder, mode):
        index = make_index(embedding_model="fake-6")
        fake_embedder.calls.clear()
        fake_embedder.misbehave = mode
        given = np.full(6, 9.0, dtype=np.float32)
        index.upsert([{"id": "t1", "contents": "one"}, {"id": "v", "vector": given},
                      {"id": "t2", "contents": "two"}, {"id": "t3", "contents": "three"}])
        assert [c for c in fake_embedder.calls if c[0] == "encode"] == [("encode", ["one", "two", "three"], True)]
        for name, text in [("t1", "one"), ("t2", "two"), ("t3", "three")]:
            hit = index.query(fake_embedder.embed(text, 6), top_k=1)[0]
            assert hit["id"] == name and hit["distance"] == pytest.approx(0.0, abs=1e-4)

    @pytest.mark.parametrize("mode, message", [
        ("fewer_rows", "^Mismatch between number of embeddings returned and texts provided.$"),
        ("3d", "^Expected 2D array from batch encoding, got 3D$"),
        ("not_array", "^Expected 2D array from batch encoding, got 0D$"),
        ("raise", "^Failed to process batch embeddings: RuntimeError: encoder exploded"),
    ])
    def test_batch_misbehaviour(self, make_index, fake_embedder, mode, message):
        index = make_index(embedding_model="fake-6")
        fake_embedder.misbehave = mode
        with pytest.raises(ValueError, match=message):
            index.upsert([{"id": "a", "contents": "x"}, {"id": "b", "contents": "y"}])
        assert index.query(np.zeros(6, dtype=np.float32)) == []

    def test_embedded_and_given_lengths_differ(self, make_index, fake_embedder):
        index = make_index(embedding_model="fake-6")
        with pytest.raises(ValueError, match="^All vectors must have the same length"):
            index.upsert([{"id": "a", "vector": [1.0, 2.0]}, {"id": "b", "contents": "y"}])

    def test_model_missing_or_broken(self, client, fake_embedder, monkeypatch):
        index = client.create_index("e", bytes(range(32)), embedding_model="fake-4")
        monkeypatch.setitem(__import__("sys").modules, "sentence_transformers", None)
        with pytest.raises(ValueError, match="pip install ombrixdb-core\\[embeddings\\]$"):
            index.upsert([{"id": "a", "contents": "x"}])
