import pytest

import ombrixdb_vell as ombrix

CONFIG_DOC = (
    "Abstract base class for index configurations. This class provides the core properties "
    "of an index configuration, including dimension, distance metric and index type")
IVFFLAT_DOC = ("Configuration for an IVFFlat index, which uses flat quantization for "
               "coarse clustering.")


def values(config):
    return (config.dimension, config.metric, config.index_type, config.n_lists,
            config.pq_dim(), config.pq_bits())


def test_registration_order_and_docstrings():
    names = [n for n in vars(ombrix) if not n.startswith("__")]
    public = ["set_working_dir", "DBConfig", "Logger", "IndexConfig", "IndexIVFFlat", "Client", "EncryptedIndex"]
    assert [n for n in names if n in public] == public
    assert issubclass(ombrix.IndexIVFFlat, ombrix.IndexConfig)
    assert ombrix.IndexConfig.__doc__ == CONFIG_DOC
    assert ombrix.IndexIVFFlat.__doc__ == IVFFLAT_DOC


def test_default_ivfflat():
    config = ombrix.IndexIVFFlat()
    assert values(config) == (0, "euclidean", "ivfflat", 1, 0, 0)
    assert values(ombrix.IndexIVFFlat(None)) == values(config)
    assert ombrix.IndexIVFFlat(dimension=384).dimension == 384
    assert ombrix.IndexIVFFlat(2**64 - 1).dimension == 2**64 - 1


def test_properties_are_read_only():
    config = ombrix.IndexIVFFlat(8)
    for name in ("dimension", "metric", "index_type", "n_lists"):
        with pytest.raises(AttributeError):
            setattr(config, name, 1)


def test_clone_is_a_new_object_of_the_same_class():
    source = ombrix.IndexIVFFlat(128)
    copy = source.clone()
    assert type(copy) is ombrix.IndexIVFFlat
    assert copy is not source
    assert values(copy) == values(source)
    del source
    assert copy.dimension == 128, "the clone outlives its source"


@pytest.mark.parametrize("bad", [-1, 1.5, "8", 2**64, [8]])
def test_bad_dimension_is_a_type_error(bad):
    with pytest.raises(TypeError):
        ombrix.IndexIVFFlat(bad)


def test_abstract_base_has_no_constructor():
    with pytest.raises(TypeError):
        ombrix.IndexConfig()
