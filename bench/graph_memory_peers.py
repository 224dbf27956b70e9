"""Memory per document of FullVendrelDB's graph mode against the hnswlib package and
the exact mode, each built alone in a fresh process (peers_bench.py --memory, the
measurement of the peers benchmark) from the synth-768 set of that benchmark:
100,000 x 768, a mixture of 50 Gaussians. Rounds alternate the systems; prints one
line per build and the medians, and writes them as JSON.

    bench/.venv/bin/python bench/graph_memory_peers.py [--n 100000] [--rounds 2] [--out F]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from peers_bench import clustered  # noqa: E402

SYSTEMS = ["vendrel-hnsw", "hnswlib", "vendrel-exact"]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=100000)
    p.add_argument("--rounds", type=int, default=2)
    p.add_argument("--out", default=None)
    args = p.parse_args()
    measured = {system: [] for system in SYSTEMS}
    with tempfile.TemporaryDirectory(prefix="graph-memory-") as data_dir:
        vectors = clustered(args.n, 768, seed=768 + args.n)
        np.savez(os.path.join(data_dir, "data.npz"), vectors=np.ascontiguousarray(vectors, dtype=np.float32))
        for round_ in range(args.rounds):
            for system in SYSTEMS:
                out = os.path.join(data_dir, f"{system}.json")
                subprocess.run([sys.executable, os.path.join(HERE, "peers_bench.py"), "--memory", system, data_dir, out],
                               check=True)
                with open(out) as handle:
                    measured[system].append(json.load(handle)["bytes_per_doc"])
                print(f"round {round_}: {system} {measured[system][-1]:,.1f} bytes per document", flush=True)
    medians = {system: statistics.median(values) for system, values in measured.items()}
    report = {"n": args.n, "d": 768, "bytes_per_doc": measured, "median": medians,
              "graph_over_hnswlib": medians["vendrel-hnsw"] / medians["hnswlib"],
              "graph_over_exact": medians["vendrel-hnsw"] / medians["vendrel-exact"]}
    print(f"graph / hnswlib {report['graph_over_hnswlib']:.4f}, graph / exact {report['graph_over_exact']:.4f}")
    if args.out:
        with open(args.out, "w") as handle:
            json.dump(report, handle, indent=1)


if __name__ == "__main__":
    main()
