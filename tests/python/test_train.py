"""EncryptedIndex.train from Python, and the interpreter lock around train and query."""
import threading
import time

import numpy as np
import pytest


def clustered(rng, n, dimension, clusters=8):
    centres = rng.standard_normal((clusters, dimension)).astype(np.float32) * 10
    labels = rng.integers(0, clusters, n)
    return (centres[labels] + rng.standard_normal((n, dimension)).astype(np.float32)).astype(np.float32)


@pytest.fixture(scope="module")
def data():
    return clustered(np.random.default_rng(7), 10_000, 16)


def fill(index, vectors):
    index.upsert([f"v{n}" for n in range(len(vectors))], vectors)


class TestTrain:
    def test_automatic_lists_and_recall(self, make_index, data):
        index = make_index()
        fill(index, data)
        assert index.train() is None
        assert index.is_trained() and index.n_lists == 8 and index.index_config()["n_lists"] == 8
        queries = data[:50] + 0.01
        truth = np.argsort(((data[None, :, :] - queries[:, None, :]) ** 2).sum(-1), axis=1)[:, :10]
        # k-means is seeded at random; two probes keep the recall check independent of it.
        hits = index.query(queries, top_k=10, n_probes=2)
        recall = np.mean([len({h["id"] for h in row} & {f"v{n}" for n in t}) / 10 for row, t in zip(hits, truth)])
        assert recall >= 0.95

    def test_too_few_items_is_not_an_error(self, make_index, data):
        index = make_index()
        fill(index, data[:9_999])
        # create_index leaves the process-wide logger at ERROR: the warning must still reach
        # the caller, as a Python warning.
        with pytest.warns(UserWarning, match=r"^Not enough vectors to train\. At least 10000 vectors are required\.$"):
            assert index.train() is None
        assert not index.is_trained()

    def test_refusals(self, make_index, data):
        index = make_index()
        fill(index, data)
        with pytest.raises(ValueError, match=r"^Number of embeddings is less than the 2 \* n_lists"):
            index.train(n_lists=5001)
        assert not index.is_trained()
        for bad in ({"n_lists": -1}, {"batch_size": "x"}, {"tolerance": "x"}):
            with pytest.raises(TypeError):
                index.train(**bad)
        index.train(n_lists=4, batch_size=512, max_iters=5, tolerance=None, max_memory=12345)
        assert index.n_lists == 4

    def test_gil_released_during_train_and_query(self, make_index, data):
        index = make_index()
        fill(index, data)
        ticks = []
        stop = threading.Event()

        def tick():
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.001)

        thread = threading.Thread(target=tick)
        thread.start()
        try:
            before = len(ticks)
            index.train()
            during_train = len(ticks) - before
            before = len(ticks)
            for _ in range(5):
                index.query(data[:500], top_k=10, n_probes=8)
            during_query = len(ticks) - before
        finally:
            stop.set()
            thread.join()
        assert during_train > 5 and during_query > 5


class TestThreads:
    def test_two_threads_on_one_index(self, make_index, rng):
        index = make_index()
        index.upsert(["seed"], np.zeros((1, 8), dtype=np.float32))
        errors = []

        def writer(prefix):
            try:
                for batch in range(20):
                    ids = [f"{prefix}{batch}-{n}" for n in range(50)]
                    index.upsert(ids, np.random.default_rng(batch).standard_normal((50, 8)).astype(np.float32))
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        def reader():
            try:
                for _ in range(40):
                    assert len(index.query(np.zeros(8, dtype=np.float32), top_k=5)) >= 1
            except Exception as e:  # noqa: BLE001
                errors.append(e)

        threads = [threading.Thread(target=writer, args=("a",)), threading.Thread(target=writer, args=("b",)),
                   threading.Thread(target=reader)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert len(index.query(np.zeros(8, dtype=np.float32), top_k=5000)) == 2001

    def test_deleting_the_last_reference_in_another_thread(self, make_index, rng):
        index = make_index()
        index.upsert(["a"], np.ones((1, 4), dtype=np.float32))
        holder = [index]
        del index
        thread = threading.Thread(target=holder.clear)
        thread.start()
        thread.join(timeout=30)
        assert not thread.is_alive()
