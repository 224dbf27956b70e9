"""Resident memory per document of the hnswlib package alone (its `cosine` index,
M = 16, ef_construction = 100), the reference of graph_memory_bench.sh: N vectors of
d = 768 from a mixture of 50 Gaussians (centres N(0, 1), noise 0.35), added in one
batch on 2 threads. Prints one JSON line. Runs in the benchmark environment
(bench/.venv, see run.sh), which has the package; vendrel never depends on it.

    python bench/graph_memory_hnswlib.py N
"""

import gc
import json
import os
import sys
import time

import hnswlib
import numpy as np


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main() -> None:
    count = int(sys.argv[1])
    generator = np.random.default_rng(7)
    centres = generator.standard_normal((50, 768), dtype=np.float32)
    rows = centres[generator.integers(0, 50, count)] + 0.35 * generator.standard_normal((count, 768), dtype=np.float32)
    gc.collect()
    before = resident_bytes()
    start = time.perf_counter()
    index = hnswlib.Index(space="cosine", dim=768)
    index.init_index(max_elements=count, M=16, ef_construction=100)
    index.add_items(rows, np.arange(count), num_threads=2)
    build_s = time.perf_counter() - start
    gc.collect()
    print(json.dumps({"mode": "hnswlib-python", "n": count, "build_s": round(build_s, 2),
                      "resident_per_doc": round((resident_bytes() - before) / count, 1),
                      "version": getattr(hnswlib, "__version__", "unknown")}))


if __name__ == "__main__":
    main()
