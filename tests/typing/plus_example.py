"""Typed use of vendrel_plus with NumPy arrays and mappings. The test suite checks it
with mypy --strict and runs its FullVendrelDB part; the calls in rejected_calls are
there for the checker to refuse (a misspelt method included)."""

import pathlib
import sys

import numpy as np
import numpy.typing as npt

from vendrel_plus import FullVendrelDB, ShardedVendrelDB


def nearest(db: FullVendrelDB | ShardedVendrelDB, query: npt.NDArray[np.float32]) -> list[int]:
    return [doc_id for doc_id, _score, _metadata in db.search(query, 3, {"even": True}, include_metadata=False)]


def main(directory: str) -> None:
    rng = np.random.default_rng(3)
    vectors: npt.NDArray[np.float32] = rng.standard_normal((20, 8)).astype(np.float32)
    db = FullVendrelDB(pathlib.Path(directory), "hnsw", ef_search=64, durability="power")
    db.add_many(np.arange(20), vectors, [{"even": i % 2 == 0} for i in range(20)])
    db.add(20, vectors[0].astype(np.float64), '{"even": true}', ttl=60)
    assert nearest(db, vectors[4])[0] == 4
    lists: list[list[tuple[int, float, str]]] = db.search_many(vectors[1:3], 1, ef=32)
    assert [hits[0][0] for hits in lists] == [1, 2]
    assert db.delete({"even": False}) == 10 and db.count() == 21 - 10
    db.close()
    with FullVendrelDB(directory) as reopened:
        assert reopened.count() == 11


def sharded_use(db: ShardedVendrelDB, vectors: npt.NDArray[np.float32]) -> int:
    db.add(1, vectors[0], {"colour": "red"})
    db.add_many(np.arange(2, 4), vectors[1:3], ['{"colour": "blue"}', {"colour": "red"}])
    hits = db.search_many(vectors, 2, {"colour": "red"})
    return len(hits) + db.count()


def rejected_calls(db: FullVendrelDB, sharded: ShardedVendrelDB) -> None:
    sharded.serch([1.0], 3)  # type: ignore[attr-defined]
    sharded.add("7", [1.0], "{}")  # type: ignore[arg-type]
    sharded.search([1.0], "3")  # type: ignore[arg-type]
    db.search_many([[1.0, 2.0]], 3, 5)  # type: ignore[arg-type]
    db.add(7, [1.0], 5)  # type: ignore[arg-type]
    FullVendrelDB("db", durability="disk")  # type: ignore[arg-type]
    db.count().bit_length() + db.search([1.0], 1)  # type: ignore[operator]


if __name__ == "__main__":
    main(sys.argv[1])
