"""OmbrixDB quickstart: an encrypted index in process memory, from first upsert to query.

Run with `make demo`. Everything the index writes (here: to memory) is sealed under the
32-byte key; losing the key loses the data.
"""

import secrets
import time

import numpy as np

import ombrixdb_vell as ombrix

DIMENSION = 64
ITEMS = 12_000  # training needs at least 10,000 stored vectors
TOPICS = ["astronomy", "botany", "cooking", "databases", "economics", "finance", "geology", "history"]

# Every store of the index lives in this process's memory.
memory = ombrix.DBConfig("memory")
client = ombrix.Client("quickstart-api-key", memory, memory, memory)

# Keep this key safe: it is the only way to read the index back.
index_key = secrets.token_bytes(32)
index = client.create_index("quickstart", index_key, ombrix.IndexIVFFlat(DIMENSION), metric="cosine")
print(f"created index {index.index_name()!r}: {index.index_config()}")

# Synthetic embeddings: one cluster per topic.
rng = np.random.default_rng(42)
centres = rng.standard_normal((len(TOPICS), DIMENSION)).astype(np.float32)
topic_of = rng.integers(0, len(TOPICS), ITEMS)
vectors = centres[topic_of] + 0.3 * rng.standard_normal((ITEMS, DIMENSION)).astype(np.float32)

started = time.perf_counter()
batch = 2_000
for first in range(0, ITEMS, batch):
    index.upsert([
        {
            "id": f"doc-{n}",
            "vector": vectors[n],
            "contents": f"document {n} about {TOPICS[topic_of[n]]}",
            "metadata": {"topic": TOPICS[topic_of[n]], "year": 2000 + n % 25},
        }
        for n in range(first, min(first + batch, ITEMS))
    ])
print(f"upserted {ITEMS} items in {time.perf_counter() - started:.2f} s")

started = time.perf_counter()
index.train()  # n_lists chosen automatically: 8 for 10,000-15,999 vectors
print(f"trained in {time.perf_counter() - started:.2f} s: is_trained={index.is_trained()}, "
      f"n_lists={index.n_lists}")

# One query vector gives one list of results, nearest first.
query = centres[TOPICS.index("databases")]
print("\nnearest items to the 'databases' centre:")
for hit in index.query(query, top_k=5):
    print(f"  {hit['id']:>10}  distance={hit['distance']:.4f}  metadata={hit['metadata']}")

# Several query vectors give one list per query.
results = index.query(vectors[:3], top_k=3, n_probes=2, include=["distance"])
print("\nthree queries at once (distances only):")
for n, hits in enumerate(results):
    print(f"  doc-{n}: " + ", ".join(f"{h['id']} ({h['distance']:.4f})" for h in hits))

# Items by id: each field on request, deletion, listing.
item = index.get(["doc-0"], include=["contents", "metadata"])[0]
print(f"\ndoc-0: contents={item['contents']!r} metadata={item['metadata']}")
index.delete(["doc-0", "doc-1"])
print(f"after deleting two: {len(index.list_ids())} ids stored, {index.get_num_vectors()} vectors "
      f"ever added, get(['doc-0']) = {index.get(['doc-0'])}")

# On PostgreSQL or Redis, client.load_index("quickstart", index_key) opens the index again
# from any process; a memory index lives only as long as this object.
index.delete_index()
print(f"deleted the index: name now {index.index_name()!r}")
