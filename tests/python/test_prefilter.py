"""Filtered queries on a trained index: the lists are narrowed by their metadata
summaries first, which must never lose a match. With n_probes equal to n_lists the
answer is the exact filtered answer."""
import os

import numpy as np
import pytest

import ombrixdb_vell as ombrix

DIM, CLUSTERS, ITEMS = 8, 8, 10_000


@pytest.fixture(scope="module")
def trained():
    memory = ombrix.DBConfig("memory")
    client = ombrix.Client("test-key", memory, memory, memory)
    index = client.create_index("prefilter", os.urandom(32), ombrix.IndexIVFFlat(DIM))
    rng = np.random.default_rng(7)
    centres = rng.uniform(-100, 100, (CLUSTERS, DIM)).astype(np.float32)
    cluster = np.arange(ITEMS) % CLUSTERS
    data = centres[cluster] + rng.standard_normal((ITEMS, DIM)).astype(np.float32)
    metadata = [{"team": f"t{c}", "score": int(s), "tags": ["a", "b"] if s % 2 else []}
                for c, s in zip(cluster, rng.integers(0, 1000, ITEMS))]
    index.upsert([{"id": str(i), "vector": data[i], "metadata": metadata[i]} for i in range(ITEMS)])
    index.train(n_lists=CLUSTERS)
    assert index.is_trained()
    return index, data, metadata


def exact(data, metadata, query, accept, k):
    rows = [i for i in range(len(data)) if accept(metadata[i])]
    rows.sort(key=lambda i: (float(((data[i] - query) ** 2).sum()), i))
    return [str(i) for i in rows[:k]]


@pytest.mark.parametrize("filters, accept", [
    ({"team": "t3"}, lambda m: m["team"] == "t3"),
    ({"team": {"$in": ["t1", "t6"]}}, lambda m: m["team"] in ("t1", "t6")),
    ({"score": {"$gte": 990}}, lambda m: m["score"] >= 990),
    ({"$not": {"team": "t0"}}, lambda m: m["team"] != "t0"),
    ({"tags": {"$exists": False}}, lambda m: False),
    ({"missing": {"$exists": False}}, lambda m: True),
    ({"$and": [{"team": "t2"}, {"score": {"$lt": 100}}]}, lambda m: m["team"] == "t2" and m["score"] < 100),
])
def test_filtered_query_probing_every_list_is_exact(trained, filters, accept):
    index, data, metadata = trained
    query = data[5] + np.float32(0.5)
    hits = index.query(query, top_k=20, n_probes=CLUSTERS, filters=filters)
    assert [h["id"] for h in hits] == exact(data, metadata, query, accept, 20)
