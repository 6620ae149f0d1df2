import sys

import pytest


@pytest.fixture(scope="session", autouse=True)
def _python_313():
    assert sys.version_info[:2] == (3, 13), "the module is built for CPython 3.13"
