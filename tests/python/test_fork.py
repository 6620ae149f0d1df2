"""Processes forked while a Client and an index exist (fork is multiprocessing's default
start method on Linux): a child queries its copy of a memory index and exits."""
import gc
import multiprocessing
import os
import threading
import weakref

import numpy as np
import pytest

import ombrixdb_vell as ombrix

# The telemetry worker makes every such process multi-threaded; that is what is tested.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")

# Held here rather than in test locals: a forked child keeps the test's frame alive, and
# the child must be able to release the last references.
_state = {}


def _new_index(logger=None):
    memory = ombrix.DBConfig("memory")
    _state["client"] = ombrix.Client("test-key", memory, memory, memory)
    _state["index"] = _state["client"].create_index("forked", os.urandom(32), logger=logger)
    vectors = np.random.default_rng(5).standard_normal((3000, 16)).astype(np.float32)
    _state["index"].upsert([f"v{n}" for n in range(len(vectors))], vectors)
    return vectors


def _nearest(row):
    return [hit["id"] for hit in _state["index"].query(row, top_k=5)]


def _query_then_release(queries, expected, report):
    report.put([[hit["id"] for hit in row] for row in _state["index"].query(queries, top_k=5)] == expected)
    released = weakref.ref(_state["client"])
    _state.clear()
    gc.collect()
    report.put(released() is None)


def test_forked_pool_queries_its_copy_of_a_memory_index():
    vectors = _new_index()
    try:
        queries = vectors[:8] + 0.01
        expected = [_nearest(row) for row in queries]  # the parent's team has run
        with multiprocessing.get_context("fork").Pool(2) as pool:
            assert pool.map_async(_nearest, list(queries)).get(timeout=120) == expected
    finally:
        _state.clear()


def test_forked_child_releases_the_client_and_exits():
    vectors = _new_index()
    try:
        queries = vectors[:4]
        expected = [[hit["id"] for hit in row] for row in _state["index"].query(queries, top_k=5)]
        context = multiprocessing.get_context("fork")
        report = context.SimpleQueue()
        child = context.Process(target=_query_then_release, args=(queries, expected, report))
        child.start()
        child.join(timeout=120)
        if child.exitcode is None:
            child.kill()
        assert child.exitcode == 0
        assert report.get() is True, "the child's query matched the parent's"
        assert report.get() is True, "the child released its client"
    finally:
        _state.clear()


def test_children_forked_while_other_threads_query_and_log_finish(tmp_path):
    # Every query logs (INFO, to a file): at each fork some thread holds the index's
    # operation lock or the logger's lock, and the child needs both.
    logger = ombrix.Logger.instance()
    logger.configure("info", True, str(tmp_path / "queries.log"))
    stop = threading.Event()
    busy = []
    try:
        vectors = _new_index(logger)
        queries = vectors[:20] + 0.01
        expected = [_nearest(row) for row in queries]

        def keep_querying():
            while not stop.is_set():
                _state["index"].query(vectors[:50], top_k=5)

        for _ in range(8):
            busy.append(threading.Thread(target=keep_querying))
            busy[-1].start()
        # One fresh child per query: 20 forks while the threads run.
        with multiprocessing.get_context("fork").Pool(4, maxtasksperchild=1) as pool:
            assert pool.map_async(_nearest, list(queries), chunksize=1).get(timeout=120) == expected
    finally:
        stop.set()
        for thread in busy:
            thread.join()
        logger.configure("error")
        _state.clear()
