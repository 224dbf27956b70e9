"""End-to-end figures for vendrel's own paths, each beside a reference measured in the
same run on the same data.

Data: a mixture of 50 Gaussian clusters in d = 768 (float32), metadata of about 100
bytes per document (category, price, year, tags). Two regimes:
  - full vectors: 4,000 documents (below the quantization threshold of 5,000);
  - quantized: 100,000 documents.
Workloads: add (one call per document, numpy vector), search in LSH mode and in scan
mode (k chosen so each mode runs; the mode is printed), filtered search, delete of 10 %
by filter, count. References: numpy's matrix-vector product over the same float32
matrix (the memory floor of a full scan), and faiss IndexPQ (64 sub-quantizers of 8
bits) exhaustive search when faiss-cpu is installed.

Usage: python bench/whole_job_bench.py [--quick] [--json out.json]
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import vendrel

DIMENSION = 768
CATEGORIES = [f"category-{i:02d}" for i in range(20)]


def clustered_vectors(count, dimension, seed, clusters=50):
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(clusters, dimension)).astype(np.float32)
    labels = rng.integers(0, clusters, size=count)
    noise = rng.normal(scale=0.35, size=(count, dimension)).astype(np.float32)
    return (centres[labels] + noise).astype(np.float32)


def metadata_for(doc_id):
    text = json.dumps({
        "category": CATEGORIES[doc_id % 20],
        "price": round((doc_id * 7919 % 10000) / 100.0, 2),
        "year": 1990 + doc_id % 35,
        "tags": ["alpha", "beta"][: doc_id % 3],
    })
    return text + " " * max(0, 100 - len(text))


def timed(function, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        samples.append(time.perf_counter() - start)
    return samples


def describe(samples):
    ordered = sorted(samples)
    return {
        "median_ms": statistics.median(ordered) * 1e3,
        "p99_ms": ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] * 1e3,
    }


def run_regime(name, count, repeat, faiss):
    vectors = clustered_vectors(count, DIMENSION, seed=count)
    queries = clustered_vectors(repeat, DIMENSION, seed=count + 1)
    metadata = [metadata_for(i) for i in range(count)]
    figures = {"documents": count}
    with tempfile.TemporaryDirectory() as directory:
        db = vendrel.VendrelDB(directory)
        start = time.perf_counter()
        for doc_id in range(count):
            db.add(doc_id, vectors[doc_id], metadata[doc_id])
        elapsed = time.perf_counter() - start
        figures["add_docs_per_s"] = count / elapsed

        # Reference: the memory floor of reading every stored vector once.
        matrix = vectors if count <= 5000 else None
        if matrix is not None:
            figures["reference_numpy_matvec"] = describe(timed(lambda: matrix @ queries[0], repeat))

        lsh_k, scan_k = 10, count  # k = count forces the scan: LSH gathers fewer than 2k
        for mode, k in (("lsh", lsh_k), ("scan", scan_k)):
            samples = []
            for query in queries:
                start = time.perf_counter()
                db.search(query, k, None, False)
                samples.append(time.perf_counter() - start)
            figures[f"search_{mode}_k{k}"] = describe(samples)

        category = json.dumps({"category": {"$eq": "category-03"}})
        both = json.dumps({"$and": [{"category": {"$eq": "category-03"}}, {"price": {"$lt": 10}}]})
        for label, text in (("category_5pct", category), ("category_and_price_0.5pct", both)):
            samples = []
            for query in queries:
                start = time.perf_counter()
                db.search(query, 10, text, False)
                samples.append(time.perf_counter() - start)
            figures[f"filtered_{label}"] = describe(samples)

        if faiss is not None and count > 5000:
            index = faiss.IndexPQ(DIMENSION, 64, 8)
            index.train(vectors[:20000])
            index.add(vectors)
            figures["reference_faiss_pq_search"] = describe(timed(lambda: index.search(queries[:1], 10), repeat))

        start = time.perf_counter()
        removed = db.delete(json.dumps({"$or": [{"category": {"$eq": "category-00"}},
                                                 {"category": {"$eq": "category-01"}}]}))
        figures["delete_10pct_ms"] = (time.perf_counter() - start) * 1e3
        figures["deleted"] = removed
        figures["count_after_delete"] = db.count()
        figures["search_after_delete"] = describe(timed(lambda: db.search(queries[0], 10), repeat))
    print(f"\n== {name}: {count} documents, d = {DIMENSION}")
    for key, value in figures.items():
        print(f"  {key}: {value}")
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args()
    try:
        import faiss  # noqa: F401
    except ImportError:
        faiss = None
    machine = f"{os.cpu_count()} logical cores, {sys.platform}, numpy {np.__version__}"
    print(f"Machine: {machine}; faiss: {'yes' if faiss else 'not installed'}")
    sizes = [("full vectors", 400), ("quantized", 6000)] if args.quick else [("full vectors", 4000), ("quantized", 100000)]
    repeat = 20 if args.quick else 200
    results = {"machine": machine, "regimes": [run_regime(name, count, repeat, faiss) for name, count in sizes]}
    if args.json:
        with open(args.json, "w") as handle:
            json.dump(results, handle, indent=2)


if __name__ == "__main__":
    main()
