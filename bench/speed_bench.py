"""Ingest, activation and filtered-search figures, each beside a reference measured in
the same run on the same data (the data and metadata of peers_bench.py: a mixture of 50
Gaussians at d = 768, metadata with category, price uniform in [0, 100), year, tags and
user.age, about 100 bytes of JSON per document).

- add, one call per document (a float32 numpy row and its metadata text):
  vendrel in the quantized regime (after activation) against vendrel in the full-vector
  regime (below 5,000 documents) and against faiss IndexFlatIP.add of one row at a time
  (when faiss-cpu is installed, as in bench/.venv). Rounds alternate between the three;
  each figure is the best round.
- activation: the add that finds 5,000 stored vectors (training and encoding 5,000 x 768),
  minus the median of the adds around it; median of several fresh databases.
- search at N documents (default 100,000), k = 10, no metadata: p50 of the unfiltered
  search and of the filtered ones (price range, ~50 %; category equality and price range,
  ~0.5 %), queries interleaved so that the ratios share the machine's noise.

Usage: python bench/speed_bench.py [--n 100000] [--queries 300] [--json out.json]
       python bench/speed_bench.py --smoke     # seconds: tiny sizes, checks it runs
"""

import argparse
import json
import os
import platform
import statistics
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peers_bench import clustered, make_columns, metadata_dict  # noqa: E402

import vendrel  # noqa: E402

DIMENSION = 768
THRESHOLD = 5000
FILTERS = [
    ("price range, ~50 %", {"price": {"$gte": 0, "$lt": 50}}),
    ("category and price, ~0.5 %", {"$and": [{"category": {"$eq": "c3"}}, {"price": {"$gte": 0, "$lt": 10}}]}),
]


def metadata_texts(count, seed):
    cols = make_columns(count, seed)
    return [json.dumps(metadata_dict(cols, i)) for i in range(count)]


def silenced(function):
    """Runs function with file descriptor 1 on /dev/null (the activation notice)."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as sink:
        os.dup2(sink.fileno(), 1)
        try:
            return function()
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def add_rate(db, vectors, texts, first_id, count):
    start = time.perf_counter()
    for i in range(count):
        db.add(first_id + i, vectors[i], texts[i])
    return count / (time.perf_counter() - start)


def measure_adds(vectors, texts, rounds, per_round):
    """Best-of-rounds docs/s for the three add paths, rounds interleaved."""
    quantized_db = vendrel.VendrelDB(tempfile.mkdtemp(prefix="vendrel-pq-"))
    silenced(lambda: [quantized_db.add(i, vectors[i], texts[i]) for i in range(THRESHOLD + 1)])
    try:
        import faiss

        flat = faiss.IndexFlatIP(DIMENSION)
        faiss.omp_set_num_threads(1)
    except ImportError:
        flat = None
    best = {"full": 0.0, "quantized": 0.0, "faiss": 0.0}
    # Full-vector regime: ids stay below the threshold, in a fresh database each round.
    per_full = min(per_round, THRESHOLD - 1)
    next_quantized = THRESHOLD + 1
    for _ in range(rounds):
        full_db = vendrel.VendrelDB(tempfile.mkdtemp(prefix="vendrel-full-"))
        best["full"] = max(best["full"], add_rate(full_db, vectors, texts, 0, per_full))
        rate = add_rate(quantized_db, vectors[next_quantized:], texts[next_quantized:], next_quantized, per_round)
        next_quantized += per_round
        best["quantized"] = max(best["quantized"], rate)
        if flat is not None:
            rows = [vectors[i : i + 1] for i in range(per_round)]
            start = time.perf_counter()
            for row in rows:
                flat.add(row)
            best["faiss"] = max(best["faiss"], per_round / (time.perf_counter() - start))
    if flat is None:
        best["faiss"] = None
    return best


def measure_activation(vectors, texts, repeats):
    """Milliseconds of the activating add, less the median neighbouring add."""
    results = []
    for _ in range(repeats):
        db = vendrel.VendrelDB(tempfile.mkdtemp(prefix="vendrel-act-"))
        times = []
        def run():
            for i in range(THRESHOLD + 50):
                start = time.perf_counter()
                db.add(i, vectors[i], texts[i])
                times.append(time.perf_counter() - start)
        silenced(run)
        neighbours = times[THRESHOLD - 50 : THRESHOLD] + times[THRESHOLD + 1 :]
        results.append((times[THRESHOLD] - statistics.median(neighbours)) * 1e3)
    return statistics.median(results), results


def measure_search(count, query_count):
    vectors = clustered(count, DIMENSION, seed=1)
    texts = metadata_texts(count, seed=2)
    db = vendrel.VendrelDB(tempfile.mkdtemp(prefix="vendrel-search-"))
    start = time.perf_counter()
    silenced(lambda: [db.add(i, vectors[i], texts[i]) for i in range(count)])
    build_seconds = time.perf_counter() - start
    queries = clustered(query_count, DIMENSION, seed=3)
    filter_texts = [json.dumps(f) for _, f in FILTERS]
    for q in queries[:20]:  # warm-up: first flush of the numeric index, caches
        db.search(q, 10, None, False)
        for text in filter_texts:
            db.search(q, 10, text, False)
    samples = {"unfiltered": []}
    samples.update({label: [] for label, _ in FILTERS})
    for q in queries:
        start = time.perf_counter()
        db.search(q, 10, None, False)
        samples["unfiltered"].append(time.perf_counter() - start)
        for (label, _), text in zip(FILTERS, filter_texts):
            start = time.perf_counter()
            db.search(q, 10, text, False)
            samples[label].append(time.perf_counter() - start)
    p50 = {label: statistics.median(values) * 1e3 for label, values in samples.items()}
    return p50, build_seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--per-round", type=int, default=4000)
    parser.add_argument("--activations", type=int, default=5)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--json")
    args = parser.parse_args()
    if args.smoke:
        args.n, args.queries, args.rounds, args.per_round, args.activations = 6000, 20, 1, 200, 1

    add_count = THRESHOLD + 1 + args.rounds * args.per_round
    vectors = clustered(max(add_count, THRESHOLD + 50), DIMENSION, seed=4)
    texts = metadata_texts(len(vectors), seed=5)
    adds = measure_adds(vectors, texts, args.rounds, args.per_round)
    activation_ms, activation_all = measure_activation(vectors, texts, args.activations)
    p50, build_seconds = measure_search(args.n, args.queries)

    lines = [
        f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} logical CPUs, "
        f"Python {platform.python_version()}, numpy {np.__version__}",
        f"settings: d = {DIMENSION}, add rounds {args.rounds} x {args.per_round} docs (best round), "
        f"activation repeats {args.activations}, search N = {args.n}, {args.queries} queries, k = 10",
        "",
        "add, one call per document (docs/s):",
        f"  vendrel quantized regime     {adds['quantized']:10.0f}",
        f"  vendrel full-vector regime   {adds['full']:10.0f}   quantized / full = {adds['quantized'] / adds['full']:.2f}",
    ]
    if adds["faiss"]:
        lines.append(f"  faiss IndexFlatIP, one row   {adds['faiss']:10.0f}   quantized / faiss = "
                     f"{adds['quantized'] / adds['faiss']:.2f}")
    else:
        lines.append("  faiss IndexFlatIP            not installed (run inside bench/.venv)")
    lines += [
        "",
        f"activation at {THRESHOLD} x {DIMENSION}: {activation_ms:.1f} ms (median; all: "
        + ", ".join(f"{v:.1f}" for v in activation_all) + ")",
        "",
        f"search p50 at {args.n} documents (ms; built in {build_seconds:.1f} s):",
        f"  unfiltered                   {p50['unfiltered']:.3f}",
    ]
    for label, _ in FILTERS:
        lines.append(f"  {label:<28} {p50[label]:.3f}   / unfiltered = {p50[label] / p50['unfiltered']:.2f}")
    print("\n".join(lines))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"adds": adds, "activation_ms": activation_ms, "activation_all_ms": activation_all,
                       "search_p50_ms": p50, "settings": vars(args)}, out, indent=2)


if __name__ == "__main__":
    main()
