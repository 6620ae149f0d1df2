"""Ctrl-C during EncryptedIndex.train: KeyboardInterrupt at once, and the index as it was."""
import os
import signal
import threading
import time

import numpy as np
import pytest

import ombrixdb_vell as ombrix


def test_ctrl_c_stops_a_training_and_leaves_the_index_as_it_was(client, tmp_path):
    log = tmp_path / "train.log"
    logger = ombrix.Logger.instance()
    logger.configure("info", True, str(log))
    try:
        index = client.create_index("interrupted", os.urandom(32), logger=logger)
        vectors = np.random.default_rng(11).standard_normal((10_000, 16)).astype(np.float32)
        index.upsert([f"v{n}" for n in range(len(vectors))], vectors)
        queries = vectors[:5] + 0.01
        before = index.query(queries, top_k=5)

        def press_ctrl_c_once_training_runs():
            while "Training quantizers" not in log.read_text():
                time.sleep(0.005)
            os.kill(os.getpid(), signal.SIGINT)

        presser = threading.Thread(target=press_ctrl_c_once_training_runs)
        presser.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                # A minute of iterations unless stopped.
                index.train(n_lists=2, batch_size=1, max_iters=100_000_000)
        finally:
            presser.join()
        assert not index.is_trained()
        assert index.query(queries, top_k=5) == before
        index.train(n_lists=2, max_iters=2)  # the operation lock was given back
        assert index.is_trained()
    finally:
        logger.configure("error")
