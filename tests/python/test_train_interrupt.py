"""Ctrl-C during EncryptedIndex.train: KeyboardInterrupt at once, and the index as it was."""
import os
import signal
import threading
import time

import numpy as np
import pytest

import ombrixdb_vell as ombrix


# About four minutes of k-means here: far past any press, yet an end should one go unheard.
ITERATIONS_PAST_ANY_PRESS = 500_000_000


def test_ctrl_c_stops_a_training_and_leaves_the_index_as_it_was(client, tmp_path):
    # A run started with Ctrl-C ignored (`make test &` from a script) would never hear the
    # press: take it as an interactive session does for this test alone.
    previous_handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        run_interrupted_training(client, tmp_path)
    finally:
        signal.signal(signal.SIGINT, previous_handler)


def run_interrupted_training(client, tmp_path):
    log = tmp_path / "train.log"
    logger = ombrix.Logger.instance()
    logger.configure("info", True, str(log))
    try:
        index = client.create_index("interrupted", os.urandom(32), logger=logger)
        vectors = np.random.default_rng(11).standard_normal((10_000, 16)).astype(np.float32)
        index.upsert([f"v{n}" for n in range(len(vectors))], vectors)
        queries = vectors[:5] + 0.01
        before = index.query(queries, top_k=5)

        returned = threading.Event()
        presses = []

        def press_ctrl_c_once_training_runs():
            while "Training quantizers" not in log.read_text():
                if returned.wait(0.005):
                    return  # the training never reached its centroids: the test fails below
            # Past that line only k-means runs, and it asks for pending signals before its
            # first step: a press however late is heard, and a training that goes on past
            # a minute lost it (pressed again; a training that hears none ends by itself and
            # fails the test).
            while not returned.is_set():
                presses.append(time.monotonic())
                os.kill(os.getpid(), signal.SIGINT)
                returned.wait(60)

        presser = threading.Thread(target=press_ctrl_c_once_training_runs)
        presser.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                # Without the press k-means runs every one of its iterations.
                index.train(n_lists=2, batch_size=1, max_iters=ITERATIONS_PAST_ANY_PRESS)
        finally:
            returned.set()
            presser.join()
        assert len(presses) == 1, "the training went on after Ctrl-C"
        assert not index.is_trained()
        assert index.query(queries, top_k=5) == before
        index.train(n_lists=2, max_iters=2)  # the operation lock was given back
        assert index.is_trained()
    finally:
        logger.configure("error")
