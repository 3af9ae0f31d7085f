import os

import pytest

import _kesp


def pytest_report_header(config):
    return f"_kesp: {_kesp.__file__}"


@pytest.fixture(scope="session", autouse=True)
def _module_is_the_build_under_test():
    # tools/check says which build it means; a stale module elsewhere on the
    # path would make every result meaningless.
    expected = os.environ.get("KESP_EXPECT_BUILD")
    if expected:
        assert os.path.dirname(os.path.realpath(_kesp.__file__)) == os.path.realpath(expected)
