"""Typed use of vendrel with NumPy arrays. The test suite checks it with mypy --strict
and runs it; the calls in rejected_calls are there for the checker to refuse."""

import json
import sys

import numpy as np
import numpy.typing as npt

import vendrel


def nearest_ids(db: vendrel.VendrelDB, query: npt.NDArray[np.float32], k: int) -> list[int]:
    return [doc_id for doc_id, _score, _metadata in db.search(query, k, include_metadata=False)]


def main(directory: str) -> None:
    rng = np.random.default_rng(3)
    vectors: npt.NDArray[np.float32] = rng.standard_normal((20, 8)).astype(np.float32)
    db = vendrel.VendrelDB(directory)
    for doc_id, vector in enumerate(vectors):
        db.add(doc_id, vector, json.dumps({"even": doc_id % 2 == 0}), ttl=None if doc_id else 3600)
    db.add(20, vectors[0].astype(np.float64), "{}")  # float64 arrays too
    db.add(21, [0.5] * 8, "{}")  # and plain sequences of numbers
    db.add(22, (1, 2, 3, 4, 5, 6, 7, 8), "{}")

    assert nearest_ids(db, vectors[5], 1) == [5]
    hits: list[tuple[int, float, str]] = db.search(vectors[5], 3, '{"even": {"$eq": true}}')
    assert all(doc_id % 2 == 0 and json.loads(metadata)["even"] for doc_id, _, metadata in hits)
    selected: int = db.delete('{"even": {"$eq": false}}')
    live: int = db.count()
    assert (selected, live) == (10, 23 - 10)
    pairs = db.build_results([(1, 0.5), (2, 0.25)], include_metadata=True)
    assert [doc_id for doc_id, _, _ in pairs] == [1, 2]
    db.clean_expired()


def rejected_calls(db: vendrel.VendrelDB) -> None:
    db.add("7", [1.0], "{}")  # type: ignore[arg-type]
    db.add(7, [1.0], {"colour": "red"})  # type: ignore[arg-type]
    db.search("0.5 0.5", 3)  # type: ignore[arg-type]
    labels: npt.NDArray[np.str_] = np.array(["a", "b"])
    db.search(labels, 3)  # type: ignore[arg-type]
    db.search([1.0], 3, include_metadata=None)  # type: ignore[arg-type]
    db.count().bit_length() + db.search([1.0], 1)  # type: ignore[operator]


if __name__ == "__main__":
    main(sys.argv[1])
