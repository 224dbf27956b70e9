"""FullVendrelDB from several threads at once: the short version of the mixed load in
bench/full_load.py (search, search_many, add, add_many, delete, count, clean_expired),
whose checks catch half-stored documents, deleted ids seen after their delete returned,
unsorted lists and a final state that differs from the model."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
from full_load import run_load  # noqa: E402

from vendrel_plus import FullVendrelDB  # noqa: E402


@pytest.mark.parametrize("index", ["exact", "hnsw"])
def test_mixed_load_from_several_threads_keeps_every_invariant(tmp_path, index):
    db = FullVendrelDB(tmp_path / "db", index=index)
    model = run_load(db, seconds=3.0, threads=6, seed=1)
    assert model.failures[:10] == []
    assert sum(model.operations.values()) > 300, model.operations
