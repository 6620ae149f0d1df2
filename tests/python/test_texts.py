"""Texts the module shows a caller, one row each: log lines, error texts and docstrings."""
import os

import numpy as np
import pytest

import ombrixdb_vell as ombrix
from conftest import live_location, unique_name


def list_ids_log(tmp_path):
    log = tmp_path / "ombrix.log"
    logger = ombrix.Logger.instance()
    logger.configure("info", True, str(log))
    try:
        memory = ombrix.DBConfig("memory")
        index = ombrix.Client("k", memory, memory, memory).create_index(
            "texts", os.urandom(32), logger=logger)
        index.upsert(["a", "b", "c"], np.eye(3, dtype=np.float32))
        index.list_ids()
    finally:
        logger.configure("error")
    return log.read_text()


def tls_from_another_ca(_):
    tls_dir = live_location("OMBRIX_TEST_TLS_DIR")
    parts = live_location("OMBRIX_TEST_REDIS_TLS").split(",")
    location = ",".join(p for p in parts if not p.startswith("ca_cert:"))
    location += f",db:0,ca_cert:{tls_dir}/other-ca.crt"
    stores = ombrix.DBConfig("redis", unique_name("texts"), location)
    with pytest.raises(ValueError) as raised:
        ombrix.Client("k", stores, stores, stores).create_index("texts", os.urandom(32))
    return str(raised.value)


def load_with_a_key_element_that_does_not_convert(_):
    memory = ombrix.DBConfig("memory")
    with pytest.raises(Exception) as raised:
        ombrix.Client("k", memory, memory, memory).load_index("texts", [1.5] * 32)
    return type(raised.value).__name__


@pytest.mark.parametrize("text, expected", [
    (list_ids_log, "[INFO] Retrieved 3 embeddings\n"),
    (tls_from_another_ca, "Failed to create index: SSL configuration failed: Failed to initiate SSL "
                          "connection to Redis: self-signed certificate in certificate chain"),
    (lambda _: ombrix.Client.load_index.__doc__,
     "RuntimeError\n    If an element of the key does not convert to an integer 0-255"),
    (load_with_a_key_element_that_does_not_convert, "RuntimeError"),
    (lambda _: ombrix.EncryptedIndex.train.__doc__, "max_memory : int or None, optional\n"
                                                    "    Memory limit of the training, 0 = no limit"),
], ids=["list_ids", "tls_reason", "load_index_doc", "load_index_key", "train_doc"])
def test_text(tmp_path, text, expected):
    assert expected in text(tmp_path)
