import pytest

import ombrixdb_vell as ombrix


@pytest.mark.parametrize("location", ["redis", "postgres", "memory"])
def test_accepted_locations(location):
    assert isinstance(ombrix.DBConfig(location), ombrix.DBConfig)
    ombrix.DBConfig(location, "table", "host:127.0.0.1,port:6379")
    ombrix.DBConfig(location=location, table_name=None, connection_string=None)
    ombrix.DBConfig(location, connection_string="dbname=x")


@pytest.mark.parametrize("location", ["Memory", "REDIS", "postgresql", "", "memory "])
def test_any_other_location_is_a_value_error(location):
    with pytest.raises(ValueError) as raised:
        ombrix.DBConfig(location)
    assert str(raised.value) == "Unknown DB location: " + location


def test_arguments_of_other_types_are_refused():
    with pytest.raises(TypeError):
        ombrix.DBConfig(1)
    with pytest.raises(TypeError):
        ombrix.DBConfig("postgres", 5)
    with pytest.raises(TypeError):
        ombrix.DBConfig("redis", None, 6379)
    with pytest.raises(TypeError):
        ombrix.DBConfig()


def test_only_the_constructor_is_exposed():
    config = ombrix.DBConfig("postgres", "t", "dbname=x")
    public = {name for name in dir(config) if not name.startswith("_")}
    assert public == set()
    with pytest.raises(AttributeError):
        config.location = 1


def test_registered_right_after_set_working_dir():
    names = [n for n in vars(ombrix) if not n.startswith("_")]
    assert names.index("DBConfig") == names.index("set_working_dir") + 1
