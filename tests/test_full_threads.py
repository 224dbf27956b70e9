"""FullVendrelDB from several threads at once: the short version of the mixed load in
bench/full_load.py (search, search_many, add, add_many, delete, count, clean_expired),
whose checks catch half-stored documents, deleted ids seen after their delete returned,
unsorted lists and a final state that differs from the model."""

import itertools
import pathlib
import sys
import threading
import time

import numpy as np
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


@pytest.mark.parametrize("index", ["exact", "hnsw"])
def test_close_while_other_threads_work_refuses_later_calls_and_keeps_every_acknowledged_add(tmp_path, index):
    path = tmp_path / "db"
    db = FullVendrelDB(path, index=index)
    acknowledged, unexpected = [], []
    started = threading.Barrier(4)

    def work(thread):
        rng = np.random.default_rng(thread)
        started.wait()
        for n in itertools.count():
            doc_id = thread * 1_000_000 + n
            try:
                db.add(doc_id, rng.standard_normal(16), '{"t": %d}' % thread)
                acknowledged.append(doc_id)
                db.search_many(rng.standard_normal((4, 16)).astype(np.float32), 3, '{"t": 1}')
                db.delete('{"t": 99}')
            except ValueError as error:
                if str(error) != "operation on a closed FullVendrelDB":
                    unexpected.append(error)
                return
            except BaseException as error:  # anything else is a fault
                unexpected.append(error)
                return

    threads = [threading.Thread(target=work, args=(thread,)) for thread in range(3)]
    for thread in threads:
        thread.start()
    started.wait()
    time.sleep(0.2)
    db.close()
    for thread in threads:
        thread.join()
    assert unexpected == [] and acknowledged
    reopened = FullVendrelDB(path, index=index)
    found = {hit[0] for hit in reopened.build_results([(doc_id, 0.0) for doc_id in acknowledged], True)}
    assert found == set(acknowledged)
