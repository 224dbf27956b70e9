"""Adds many documents with metadata to one database in one process and reports the
resident memory per document after a warm-up, to show that memory grows steadily with
the data and nothing leaks per call. Not part of CI.

Usage: python scripts/leak_check.py [documents, default 1000000] [dimension, default 16]

The vectors are quantized after 5000 documents, so each later document costs a code of a
few bytes plus its index entries; a leak per add (a lost Python reference, a C++
allocation never freed) shows as a per-document cost that climbs from window to window
instead of staying flat. Searches, deletes and failed adds are mixed in to exercise
their paths too.
"""

import os
import sys
import tempfile

import numpy as np

import vendrel


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def main():
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    dimension = int(sys.argv[2]) if len(sys.argv) > 2 else 16
    windows = 10
    warm_up = total // windows
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as directory:
        db = vendrel.VendrelDB(os.path.join(directory, "db"))
        saved = os.dup(1)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)  # the quantization notice
        try:
            vectors = rng.standard_normal((4096, dimension)).astype(np.float32)
            marks = []
            for doc_id in range(total):
                text = '{"group": %d, "name": "doc-%d", "score": %d.5}' % (doc_id % 100, doc_id, doc_id % 1000)
                db.add(doc_id, vectors[doc_id % 4096], text)
                if doc_id % 1000 == 999:
                    db.search(vectors[doc_id % 4096], 10, '{"group": {"$eq": 7}}')
                    try:
                        db.add(doc_id, [1.0], "{}")  # refused: dimension mismatch
                    except ValueError:
                        pass
                if (doc_id + 1) % warm_up == 0:
                    marks.append((doc_id + 1, resident_kib()))
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            os.close(devnull)
        print(f"{total} documents, dimension {dimension}")
        print(f"{'documents':>10} {'RSS MiB':>9} {'bytes/doc in window':>20}")
        previous = None
        per_document = []
        for documents, kib in marks:
            line = f"{documents:>10} {kib / 1024:>9.1f}"
            if previous is not None:
                cost = (kib - previous[1]) * 1024 / (documents - previous[0])
                per_document.append(cost)
                line += f" {cost:>20.1f}"
            print(line)
            previous = (documents, kib)
        steady = per_document[1:] or per_document
        print(f"steady state after warm-up: {sum(steady) / len(steady):.1f} bytes per document "
              f"(min {min(steady):.1f}, max {max(steady):.1f})")


if __name__ == "__main__":
    main()
