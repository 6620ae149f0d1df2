"""EncryptedIndex.query: argument forms, result shapes, distances against numpy."""
import gc
import threading

import numpy as np
import pytest

import ombrixdb_vell as ombrix

NOT_SET_UP = ("Index was not set up for automatic embedding generation. Provide `vector` explicitly or "
              "create a new index with an embedding model.")


@pytest.fixture
def filled(make_index, rng):
    """An untrained index of 50 random 8-d items with metadata, and their vectors."""
    index = make_index()
    vectors = rng.standard_normal((50, 8)).astype(np.float32)
    index.upsert([{"id": f"i{n}", "vector": v, "metadata": {"n": n}} for n, v in enumerate(vectors)])
    return index, vectors


def numpy_distances(metric, query, vectors):
    if metric == "cosine":
        return 1 - vectors @ query / (np.linalg.norm(vectors, axis=1) * np.linalg.norm(query))
    squared = ((vectors - query) ** 2).sum(axis=1)
    return squared if metric == "squared_euclidean" else np.sqrt(squared)


class TestShapes:
    def test_one_dimensional_is_flat_two_dimensional_nested(self, filled):
        index, vectors = filled
        flat = index.query(vectors[0], top_k=5)
        assert len(flat) == 5 and flat[0]["id"] == "i0" and flat[0]["metadata"] == {"n": 0}
        assert list(flat[0]) == ["id", "distance", "metadata"]
        nested = index.query(vectors[:1], top_k=5)
        assert nested == [flat]
        two = index.query(vectors[:2], top_k=3)
        assert [r[0]["id"] for r in two] == ["i0", "i1"]

    def test_lists_of_rows(self, filled):
        index, vectors = filled
        assert index.query([vectors[3].tolist()], top_k=2)[0]["id"] == "i3"
        assert [r[0]["id"] for r in index.query([vectors[3].tolist(), vectors[4].tolist()], top_k=2)] == ["i3", "i4"]
        for empty in ([], np.zeros((0, 8), dtype=np.float32)):
            with pytest.raises(ValueError, match=r"^Query vectors cannot be empty\.$"):
                index.query(empty, top_k=2)

    def test_top_k_defaults_to_100_and_is_capped_by_the_items(self, filled):
        index, vectors = filled
        assert len(index.query(vectors[0])) == 50

    def test_empty_index(self, make_index):
        assert make_index(index_config=ombrix.IndexIVFFlat(4)).query(np.ones(4, dtype=np.float32)) == []
        with pytest.raises(ValueError, match="^Index dimension is not set."):
            make_index().query(np.ones(4, dtype=np.float32))


class TestArguments:
    def test_refusals(self, filled):
        index, vectors = filled
        with pytest.raises(ValueError, match=r"^query_vector must be a 1D or 2D NumPy array or List\[List\[float\]\].$"):
            index.query(vectors[0].astype(np.float64))
        with pytest.raises(ValueError, match=r"^query_vector must be a 1D or 2D NumPy array or List\[List\[float\]\].$"):
            index.query((1.0, 2.0))
        with pytest.raises(TypeError, match="^query_vector must be a 1D or 2D NumPy array.$"):
            index.query(np.ones((2, 2, 2), dtype=np.float32))
        with pytest.raises(RuntimeError):
            index.query([1.0, 2.0])
        with pytest.raises(ValueError, match="^Provide at least one: query_vector or query_contents.$"):
            index.query()
        with pytest.raises(TypeError):
            index.query(vectors[0], top_k=-1)
        with pytest.raises(TypeError):
            index.query(vectors[0], n_probes=-1)
        with pytest.raises(ValueError, match="^top_k must be at most 4294967295.$"):
            index.query(vectors[0], top_k=2**32)
        with pytest.raises(ValueError, match="^Failed to serialize filters to JSON: TypeError"):
            index.query(vectors[0], filters={"a": object()})

    @pytest.mark.parametrize("bad", [np.nan, np.inf])
    def test_non_finite_refused(self, filled, bad):
        index, vectors = filled
        query = vectors[0].copy()
        query[1] = bad
        with pytest.raises(ValueError, match="^Vectors must contain only finite values.$"):
            index.query(query)
        with pytest.raises(ValueError, match="^Vectors must contain only finite values.$"):
            index.query([query.tolist()])

    def test_strided_query_array(self, filled):
        index, vectors = filled
        wide = np.repeat(vectors[:3], 2, axis=1)[:, ::2]
        assert [r[0]["id"] for r in index.query(wide[::-1], top_k=1)] == ["i2", "i1", "i0"]

    def test_include(self, filled):
        index, vectors = filled
        for include in (["distance"], [], ["vector"]):
            hits = index.query(vectors[0], top_k=2, include=include)
            assert hits[0]["metadata"] == {} and "distance" in hits[0]
        assert index.query(vectors[0], top_k=1, include=["metadata", "vector"])[0]["metadata"] == {"n": 0}

    def test_native_failure_is_a_value_error(self, filled, capfd):
        index, _ = filled
        with pytest.raises(ValueError) as err:
            index.query(np.ones(3, dtype=np.float32))
        stderr = capfd.readouterr().err
        assert stderr.count("Exception in Query") == 1
        assert stderr.endswith(f"[ERROR] Exception in Query: {err.value}\n")


class TestDistances:
    @pytest.mark.parametrize("metric", ["cosine", "euclidean", "squared_euclidean"])
    def test_against_numpy(self, make_index, rng, metric):
        index = make_index(metric=metric)
        vectors = rng.standard_normal((40, 16)).astype(np.float32)
        index.upsert([f"v{n}" for n in range(40)], vectors)
        queries = rng.standard_normal((3, 16)).astype(np.float32)
        for query, hits in zip(queries, index.query(queries, top_k=10)):
            expected = numpy_distances(metric, query.astype(np.float64), vectors.astype(np.float64))
            order = np.argsort(expected)[:10]
            assert [h["id"] for h in hits] == [f"v{n}" for n in order]
            np.testing.assert_allclose([h["distance"] for h in hits], expected[order], rtol=1e-4, atol=1e-5)


    @pytest.mark.parametrize("metric", ["euclidean", "squared_euclidean"])
    @pytest.mark.parametrize("scale", [1e19, 3e30, 1e-38])
    def test_extreme_magnitudes(self, make_index, rng, metric, scale):
        # Squares of such vectors overflow or vanish in single precision; the order must
        # still be that of the true distances, reported where a float holds them.
        index = make_index(metric=metric)
        vectors = (rng.standard_normal((50, 16)) * scale).astype(np.float32)
        index.upsert([f"v{n}" for n in range(50)], vectors)
        queries = (rng.standard_normal((50, 16)) * scale).astype(np.float32)
        for query, hits in zip(queries, index.query(queries, top_k=5)):
            expected = numpy_distances(metric, query.astype(np.float64), vectors.astype(np.float64))
            order = np.argsort(expected)[:5]
            assert [h["id"] for h in hits] == [f"v{n}" for n in order]
            with np.errstate(over="ignore"):
                reported = expected[order].astype(np.float32)
            np.testing.assert_allclose([h["distance"] for h in hits], reported, rtol=1e-5, atol=1e-44)


class TestQueryContents:
    def test_text_query(self, make_index, fake_embedder):
        index = make_index(embedding_model="fake-6")
        index.upsert([{"id": "a", "contents": "alpha"}, {"id": "b", "contents": "beta"}])
        fake_embedder.calls.clear()
        hits = index.query(query_contents="beta", top_k=2)
        assert hits[0]["id"] == "b" and hits[0]["distance"] == pytest.approx(0.0, abs=1e-5)
        assert fake_embedder.calls == [("load", "fake-6"), ("encode", "beta", False)]
        assert index.query(np.zeros(6, dtype=np.float32), query_contents=5, top_k=1)[0]["id"] in ("a", "b")

    def test_model_kept_with_the_index_object(self, make_index, fake_embedder):
        index = make_index(embedding_model="fake-6")
        index.upsert([{"id": "a", "contents": "alpha"}, {"id": "b", "contents": "beta"}])
        other = make_index("other", embedding_model="fake-6")
        other.upsert([{"id": "c", "contents": "gamma"}])
        fake_embedder.calls.clear()
        fake_embedder.misbehave = "raise"
        with pytest.raises(RuntimeError, match="encoder exploded"):
            index.query(query_contents="alpha", top_k=1)
        fake_embedder.misbehave = None
        assert [index.query(query_contents=t, top_k=1)[0]["id"] for t in ("beta", "alpha")] == ["b", "a"]
        assert other.query(query_contents="gamma", top_k=1)[0]["id"] == "c"
        assert [c for c in fake_embedder.calls if c[0] == "load"] == [("load", "fake-6")] * 2

        def alive():
            gc.collect()
            return sum(ref() is not None for ref in fake_embedder.models)
        assert alive() == 2
        del index
        assert alive() == 1
        del other
        assert alive() == 0

    @pytest.mark.parametrize("round_", range(5))  # each round is a new race
    def test_threads_share_one_load(self, make_index, fake_embedder, round_):
        index = make_index(embedding_model="fake-6")
        index.upsert([{"id": "a", "contents": "alpha"}])
        fake_embedder.calls.clear()
        start = threading.Barrier(8)
        found, failures = [], []

        def query():
            try:
                start.wait()
                found.append(index.query(query_contents="alpha", top_k=1)[0]["id"])
            except BaseException as e:
                failures.append(e)
        threads = [threading.Thread(target=query) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == [] and found == ["a"] * 8
        assert [c for c in fake_embedder.calls if c[0] == "load"] == [("load", "fake-6")]

    def test_refusals(self, make_index, fake_embedder):
        with pytest.raises(ValueError) as err:
            make_index().query(query_contents="x")
        assert str(err.value) == NOT_SET_UP
        index = make_index(embedding_model="fake-6")
        with pytest.raises(ValueError, match="^'query_contents' must be of type `str` for auto-embedding.$"):
            index.query(query_contents=b"x")
        fake_embedder.misbehave = "raise"
        with pytest.raises(RuntimeError, match="^Failed to encode query_contents: RuntimeError: encoder exploded"):
            index.query(query_contents="x")
