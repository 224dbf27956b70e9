import json

import pytest

import vendrel


@pytest.fixture
def db(tmp_path):
    return vendrel.VendrelDB(str(tmp_path / "db"))


@pytest.fixture
def db_path(tmp_path):
    return tmp_path / "db"


def meta(**fields):
    return json.dumps(fields, separators=(",", ":"))
