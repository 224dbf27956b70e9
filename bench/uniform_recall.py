"""recall@10 of the graph at ef 64, 128 (the default) and 256 on 20,000 uniform random
384-d vectors (i.i.d. normal), FullVendrelDB against hnswlib with the same settings
(M = 16, ef_construction = 100), and what target_recall=0.95 chooses there; 200 fresh
queries, truth by numpy. About a minute; needs hnswlib (bench/.venv has it).

    bench/.venv/bin/python bench/uniform_recall.py
"""

import os
import tempfile

import hnswlib
import numpy as np

from vendrel_plus import FullVendrelDB

N, DIM, QUERIES, K, EFS = 20_000, 384, 200, 10, (64, 128, 256)


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / K for f, t in zip(found, truth)]))


def main():
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((N, DIM)).astype(np.float32)
    queries = rng.standard_normal((QUERIES, DIM)).astype(np.float32)
    unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    truth = np.argsort(-(queries / np.linalg.norm(queries, axis=1, keepdims=True)) @ unit.T, axis=1)[:, :K]

    def ids(lists):
        return [[hit[0] for hit in hits] for hits in lists]

    with tempfile.TemporaryDirectory() as directory:
        db = FullVendrelDB(os.path.join(directory, "graph"), "hnsw", durability="memory")
        db.add_many(np.arange(N), vectors, ["{}"] * N)
        ours = {ef: recall(ids(db.search_many(queries, K, None, False, ef=ef)), truth) for ef in EFS}
        targeted = FullVendrelDB(os.path.join(directory, "target"), "hnsw", durability="memory", target_recall=0.95)
        targeted.add_many(np.arange(N), vectors, ["{}"] * N)
        target_recall = recall(ids(targeted.search_many(queries, K, None, False)), truth)
        chosen = targeted.calibration(K)
    index = hnswlib.Index(space="cosine", dim=DIM)
    index.init_index(max_elements=N, ef_construction=100, M=16)
    index.add_items(vectors, np.arange(N))
    theirs = {}
    for ef in EFS:
        index.set_ef(ef)
        theirs[ef] = recall(index.knn_query(queries, k=K)[0], truth)
    for ef in EFS:
        print(f"ef {ef}: FullVendrelDB {ours[ef]:.3f}, hnswlib {theirs[ef]:.3f}")
    print(f"target_recall=0.95: {chosen['method']} (ef {chosen['ef']}), recall {target_recall:.3f}")


if __name__ == "__main__":
    main()
