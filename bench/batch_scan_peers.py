"""The exact batch scan against faiss IndexFlatIP batch search, on the same data, interleaved.

Data: the peers benchmark's clustered vectors (mixture of 50 Gaussians, noise 0.35),
N rows and 1,000 queries drawn from the same mixture, at d = 768 and d = 384. Ours:
exact_top_k_many (the exact scan of FullVendrelDB, top 10, on the oneTBB pool) in the
C++ benchmark binary, fed the same rows through files and driven over a pipe, so that
its timing holds no Python conversion. faiss: IndexFlatIP over the unit-length rows,
search of the unit-length queries (its BLAS sgemm and its selection of the top 10), on
its OpenMP pool. Both use every core, or `--threads` threads each.

Each round times every batch size (1, 10, 100, 1,000 queries) for both systems, one
after the other, the order alternating by round; rounds repeat. Reported: per batch
size and system the median wall time with its range, the median processor time of the
process (every thread; on a shared machine it moves less than the wall time, but it
also counts threads that spin while they wait), queries per second and GFLOP/s
(2 x N x d flops per query, wall time), and the ratio ours / faiss in queries per
second, from wall and from processor time (median and range of the per-round ratios).
Recall@10 of both against exact cosine top 10 computed in float64 with numpy.

Usage (the benchmark environment, with faiss-cpu and numpy; build the binary first):
  cmake -S . -B build/bench -G Ninja -DVENDREL_BUILD_MODULE=OFF -DVENDREL_BUILD_BENCH=ON \\
    -DPython_EXECUTABLE=$PWD/.venv/bin/python && cmake --build build/bench -j2 --target vendrel_scan_bench
  bench/.venv/bin/python bench/batch_scan_peers.py            # N = 100,000, 5 rounds
  bench/.venv/bin/python bench/batch_scan_peers.py --n 20000 --rounds 3
  bench/.venv/bin/python bench/batch_scan_peers.py --threads 1   # one thread each
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from peers_bench import clustered  # noqa: E402

K = 10
BATCHES = [1, 10, 100, 1000]


class OurScan:
    """The C++ benchmark binary in serve mode, over a pipe."""

    def __init__(self, binary, rows, queries, work, threads):
        rows_path = os.path.join(work, "rows.f32")
        queries_path = os.path.join(work, "queries.f32")
        rows.tofile(rows_path)
        queries.tofile(queries_path)
        self.work = work
        self.process = subprocess.Popen([binary, "serve", rows_path, queries_path, str(rows.shape[1]), str(threads)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != "ready":
            raise RuntimeError("the benchmark binary did not start")

    def search_ms(self, batch):
        """(wall, processor) milliseconds of one batch search."""
        self.process.stdin.write(f"search {batch}\n")
        self.process.stdin.flush()
        wall, cpu = self.process.stdout.readline().split()
        return float(wall), float(cpu)

    def ids(self, batch):
        path = os.path.join(self.work, "ids.u32")
        self.process.stdin.write(f"ids {batch} {path}\n")
        self.process.stdin.flush()
        self.process.stdout.readline()
        return np.fromfile(path, dtype=np.uint32).reshape(batch, K)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def unit(vectors):
    return (vectors / np.linalg.norm(vectors, axis=1, keepdims=True)).astype(np.float32)


def exact_top_k(rows, queries):
    """Cosine top K in float64, 100 queries at a time."""
    rows64 = unit(rows).astype(np.float64)
    found = []
    for start in range(0, len(queries), 100):
        scores = unit(queries[start:start + 100]).astype(np.float64) @ rows64.T
        top = np.argpartition(-scores, K, axis=1)[:, :K]
        found.append(top)
    return np.vstack(found)


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / K for f, t in zip(found, truth)]))


def spread(values):
    return f"{statistics.median(values):.3g} ({min(values):.3g}-{max(values):.3g})"


def run_dimension(args, dim, work):
    allv = clustered(args.n + args.queries, dim, seed=dim + args.n)
    rows, queries = allv[:args.n], allv[args.n:]
    import faiss

    index = faiss.IndexFlatIP(dim)
    index.add(unit(rows))
    unit_queries = unit(queries)
    ours = OurScan(args.binary, rows, queries, work, args.threads)
    try:
        times = {(system, batch): [] for system in ("ours", "faiss") for batch in BATCHES}
        cpu_times = {(system, batch): [] for system in ("ours", "faiss") for batch in BATCHES}

        def time_faiss(batch):
            cpu_start = time.process_time()
            start = time.perf_counter()
            index.search(unit_queries[:batch], K)
            return (time.perf_counter() - start) * 1e3, (time.process_time() - cpu_start) * 1e3

        # One untimed pass each: page faults, thread pools and caches warm.
        ours.search_ms(BATCHES[-1])
        time_faiss(BATCHES[-1])
        for round_index in range(args.rounds):
            for batch in BATCHES:
                repeats = max(1, 100 // batch)  # small batches: the median of several calls
                pair = [("ours", lambda: ours.search_ms(batch)), ("faiss", lambda: time_faiss(batch))]
                if round_index % 2:
                    pair.reverse()
                for system, measure in pair:
                    samples = [measure() for _ in range(repeats)]
                    times[(system, batch)].append(statistics.median(wall for wall, _ in samples))
                    cpu_times[(system, batch)].append(statistics.median(cpu for _, cpu in samples))

        truth = exact_top_k(rows, queries)
        ours_recall = recall(ours.ids(len(queries)), truth)
        faiss_recall = recall(index.search(unit_queries, K)[1], truth)
    finally:
        ours.close()

    threads = f"{args.threads} thread(s) each" if args.threads else "every core"
    print(f"\n## {args.n:,} x {dim}, {args.rounds} rounds, {threads}\n")
    print("| queries | system | wall ms (median, range) | processor ms | queries/s | GFLOP/s "
          "| ours / faiss, queries/s: wall | processor |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|")
    for batch in BATCHES:
        ratios = [f / o for o, f in zip(times[("ours", batch)], times[("faiss", batch)])]
        cpu_ratios = [f / o for o, f in zip(cpu_times[("ours", batch)], cpu_times[("faiss", batch)])]
        for system in ("ours", "faiss"):
            ms = statistics.median(times[(system, batch)])
            gflops = 2.0 * args.n * dim * batch / ms / 1e6
            ratio = f"{spread(ratios)} | {spread(cpu_ratios)}" if system == "ours" else " | "
            print(f"| {batch:,} | {system} | {spread(times[(system, batch)])} | "
                  f"{statistics.median(cpu_times[(system, batch)]):.3g} | {batch / ms * 1e3:,.0f} | {gflops:.1f} | {ratio} |")
    print(f"\nrecall@10 against float64 cosine, {len(queries)} queries: ours {ours_recall:.4f}, "
          f"faiss {faiss_recall:.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--dims", default="768,384")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--threads", type=int, default=0, help="threads per system (0: every core)")
    parser.add_argument("--binary", default=os.path.join(HERE, "..", "build", "bench", "vendrel_scan_bench"))
    args = parser.parse_args()
    import faiss

    if args.threads:
        faiss.omp_set_num_threads(args.threads)
    print(f"faiss {faiss.__version__}, numpy {np.__version__}, {os.cpu_count()} cores")
    with tempfile.TemporaryDirectory(prefix="batch-scan-") as work:
        for dim in (int(d) for d in args.dims.split(",")):
            run_dimension(args, dim, work)


if __name__ == "__main__":
    main()
