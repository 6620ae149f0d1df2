"""Client construction and accessors, create_index and the index getters."""
import os
import subprocess
import sys

import numpy as np
import pytest

import ombrixdb_vell as ombrix

KEY = bytes(range(1, 33))


class TestClient:
    def test_memory_client_and_accessors(self, capfd):
        memory = ombrix.DBConfig("memory")
        client = ombrix.Client("k", memory, memory, memory)
        assert client.get_cpu_threads() == 0 and client.is_gpu_enabled() is False
        many = ombrix.Client("k", memory, memory, memory, cpu_threads=4096, gpu_accelerate=True)
        assert many.get_cpu_threads() == 4096 and many.is_gpu_enabled() is False
        assert capfd.readouterr() == ("", "")

    def test_constructors_refused(self):
        memory = ombrix.DBConfig("memory")
        for make in (lambda: ombrix.Client(), lambda: ombrix.Client("k", memory, memory),
                     lambda: ombrix.Client(3, memory, memory, memory), lambda: ombrix.EncryptedIndex()):
            with pytest.raises(TypeError):
                make()

    def test_member_order(self):
        client_members = [n for n in vars(ombrix.Client) if not n.startswith("_")]
        known = ("list_indexes", "create_index", "get_cpu_threads", "is_gpu_enabled")
        assert [n for n in client_members if n in known] == list(known)
        mine = ["is_trained", "index_name", "index_type", "index_config", "n_lists", "dimension", "metric",
                "train", "upsert", "query"]
        assert [n for n in vars(ombrix.EncryptedIndex) if n in mine] == mine

    def test_docstrings_name_the_product(self):
        assert "OmbrixDB" in ombrix.Client.__init__.__doc__
        assert "OmbrixDB" in ombrix.Client.create_index.__doc__


class TestCreateIndexKey:
    @pytest.mark.parametrize("key", [
        KEY, list(KEY), tuple(KEY), bytearray(KEY), np.arange(1, 33, dtype=np.uint8),
        np.arange(1, 33, dtype=np.int64)], ids=["bytes", "list", "tuple", "bytearray", "uint8", "int64"])
    def test_accepted_forms(self, client, key):
        assert client.create_index("k", key).index_name() == "k"

    @pytest.mark.parametrize("key, message", [
        (KEY[:31], "index_key must be exactly 32 bytes"),
        (list(KEY) + [1], "index_key must be exactly 32 elements"),
        (bytearray(33), "index_key must be exactly 32 elements"),
        (12345, "index_key must be bytes, list, tuple, or array-like object with 32 elements"),
        (bytes(32), "Index key cannot be an empty array."),
        ([0] * 32, "Index key cannot be an empty array."),
    ])
    def test_refused_forms(self, client, key, message):
        with pytest.raises(ValueError) as err:
            client.create_index("k", key)
        assert str(err.value) == message

    @pytest.mark.parametrize("bad", [256, -1, 1.5, "a"])
    def test_element_that_is_no_byte(self, client, bad):
        key = [171] * 31 + [bad]
        with pytest.raises(ValueError) as err:
            client.create_index("k", key)
        assert "171" not in str(err.value)

    def test_list_shrinking_while_read(self, client):
        key = [7] * 32

        class Shrinker:
            def __index__(self):
                del key[5:]
                return 1

        key[3] = Shrinker()
        with pytest.raises(ValueError, match="^index_key must be exactly 32 elements$"):
            client.create_index("k", key)

    def test_len_error_passes_through(self, client):
        class Broken:
            def __getitem__(self, i):
                return 1

            def __len__(self):
                raise KeyError("no length")

        with pytest.raises(KeyError):
            client.create_index("k", Broken())


class TestCreateIndexArguments:
    def test_name_limits(self, client):
        assert client.create_index("n" * 255, KEY).index_name() == "n" * 255
        for name in ("n" * 256, "é" * 128):
            with pytest.raises(ValueError, match="^Index name cannot be longer than 255 characters.$"):
                client.create_index(name, KEY)
        with pytest.raises(ValueError, match="^Index name cannot be an empty string.$"):
            client.create_index("", KEY)
        with pytest.raises(ValueError, match="^Index name cannot contain NUL characters.$"):
            client.create_index("a\x00b", KEY)

    def test_metric_override(self, client):
        with pytest.raises(ValueError, match="^Invalid distance metric: Cosine$"):
            client.create_index("m", KEY, metric="Cosine")
        index = client.create_index("m", KEY, ombrix.IndexIVFFlat(6), metric="cosine")
        assert (index.metric, index.dimension) == ("cosine", 6)
        assert client.create_index("m2", KEY, metric="squared_euclidean").metric == "squared_euclidean"

    def test_configuration_and_getters(self, client):
        config = ombrix.IndexIVFFlat(16)
        index = client.create_index("c", KEY, config, max_cache_size=None)
        assert index.index_config() == {"dimension": 16, "metric": "euclidean", "index_type": "ivfflat",
                                        "n_lists": 1, "pq_dim": 0, "pq_bits": 0}
        assert list(index.index_config()) == ["dimension", "metric", "index_type", "n_lists", "pq_dim", "pq_bits"]
        assert (index.index_type(), index.n_lists, index.is_trained()) == ("ivfflat", 1, False)
        assert client.create_index("d", KEY).index_config()["dimension"] == 0

    def test_argument_types(self, client):
        with pytest.raises(TypeError):
            client.create_index("t", KEY, max_cache_size=-1)
        with pytest.raises(TypeError):
            client.create_index("t", KEY, index_config="ivfflat")
        with pytest.raises(ValueError):
            client.create_index("t", KEY, logger="not a logger")
        assert client.create_index("t", KEY, logger=ombrix.Logger.instance()).index_name() == "t"

    def test_failure_inside_constructor_is_wrapped(self, capfd):
        unreachable = ombrix.DBConfig("postgres", "t", "host=127.0.0.1 port=1 dbname=x connect_timeout=2")
        memory = ombrix.DBConfig("memory")
        client = ombrix.Client("k", unreachable, memory, memory)
        with pytest.raises(ValueError) as err:
            client.create_index("p", KEY)
        assert str(err.value).startswith("Failed to create index: ")
        stderr = capfd.readouterr().err
        assert "[ERROR] Exception in EncryptedIndex: " in stderr
        assert f"[ERROR] Exception in CreateIndex: {err.value}\n" in stderr

    def test_refusals_are_reported_by_the_wrapper_only_once(self, client, capfd):
        with pytest.raises(ValueError):
            client.create_index("", KEY)
        assert capfd.readouterr().err == "[ERROR] Exception in CreateIndex: Index name cannot be an empty string.\n"
        with pytest.raises(ValueError):
            client.create_index("k", KEY[:3])
        assert capfd.readouterr().err == ""


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)


class TestCreateIndexLogger:
    def test_without_logger_resets_process_logger(self, tmp_path):
        path = tmp_path / "log.txt"
        run_python(
            "import os, ombrixdb_vell as o\n"
            f"o.Logger.instance().configure('info', True, {str(path)!r})\n"
            "o.Logger.instance().info('before')\n"
            "m = o.DBConfig('memory'); c = o.Client('k', m, m, m)\n"
            "c.create_index('a', os.urandom(32))\n"
            "o.Logger.instance().info('after')\n"
        )
        assert path.read_text().count("[INFO]") == 1

    def test_given_logger_keeps_its_configuration(self, tmp_path):
        path = tmp_path / "log.txt"
        run_python(
            "import os, ombrixdb_vell as o\n"
            f"o.Logger.instance().configure('info', True, {str(path)!r})\n"
            "m = o.DBConfig('memory'); c = o.Client('k', m, m, m)\n"
            "c.create_index('a', os.urandom(32), logger=o.Logger.instance())\n"
            "o.Logger.instance().info('after')\n"
        )
        assert path.read_text().rstrip().endswith("[INFO] after")


class TestCreateIndexEmbeddingModel:
    def test_dimension_comes_from_the_model(self, client, fake_embedder):
        config = ombrix.IndexIVFFlat(5)
        index = client.create_index("e", KEY, config, embedding_model="fake-12")
        assert index.dimension == 12 and config.dimension == 5
        assert fake_embedder.calls == [("load", "fake-12"), ("dimension", "fake-12")]

    @pytest.mark.parametrize("renamed, called", [(False, "dimension"), (True, "embedding_dimension")])
    def test_dimension_method_of_either_name(self, client, fake_embedder, renamed, called):
        fake_embedder.renamed_dimension = renamed
        assert client.create_index("e", KEY, embedding_model="fake-12").dimension == 12
        assert fake_embedder.calls == [("load", "fake-12"), (called, "fake-12")]

    def test_empty_model_name_loads_nothing(self, client, fake_embedder):
        assert client.create_index("e", KEY, embedding_model="").dimension == 0
        assert fake_embedder.calls == []

    @pytest.mark.parametrize("renamed", [False, True])
    @pytest.mark.parametrize("mode", ["no_dimension", "zero_dimension"])
    def test_model_without_dimension(self, client, fake_embedder, mode, renamed):
        fake_embedder.misbehave = mode
        fake_embedder.renamed_dimension = renamed
        with pytest.raises(ValueError, match="^Unable to determine embedding dimension for model: fake-4$"):
            client.create_index("e", KEY, embedding_model="fake-4")

    def test_model_that_fails_to_load(self, client, fake_embedder, capfd):
        with pytest.raises(ValueError, match="^Failed to load embedding model: OSError: no model named broken"):
            client.create_index("e", KEY, embedding_model="broken")
        assert capfd.readouterr().err.startswith("Python Exception: OSError: no model named broken")

    def test_package_missing(self, client, monkeypatch, capfd):
        monkeypatch.setitem(sys.modules, "sentence_transformers", None)
        with pytest.raises(ValueError) as err:
            client.create_index("e", KEY, embedding_model="fake-4")
        assert str(err.value) == ("To use automatic embedding functionality, please install the required "
                                  "dependency: pip install ombrixdb-core[embeddings]")
        assert capfd.readouterr().err == ""
