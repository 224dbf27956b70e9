#!/usr/bin/env bash
# Builds and runs the graph library comparison (bench/graph_library_bench.cpp):
#   ./bench/graph_library_bench.sh           # 100,000 and 4,000 documents, about 15 minutes here
#   ./bench/graph_library_bench.sh --quick   # 4,000 documents only, seconds
# Needs the project's setup (./scripts/setup.sh) for .venv; prints markdown tables.
set -euo pipefail
cd "$(dirname "$0")/.."
python="$PWD/.venv/bin/python"
[ -x "$python" ] || python="$(command -v python3)"
cmake -S . -B build/bench -G Ninja -DVENDREL_BUILD_MODULE=OFF -DVENDREL_BUILD_BENCH=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build/bench -j2 --target vendrel_graph_library_bench >/dev/null
exec build/bench/vendrel_graph_library_bench "$@"
