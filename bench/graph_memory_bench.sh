#!/usr/bin/env bash
# The graph mode's memory, speed and recall against an older revision of the same code,
# the exact mode and hnswlib alone (graph_memory_bench.cpp says what each run measures).
#
# Builds graph_memory_bench.cpp with the same compiler flags against this tree and
# against the revision REF (exported with git archive into build/), then runs, REPEATS
# times in this order so that slow spells of the shared machine fall on every
# configuration: REF's graph mode, this tree's graph mode, the exact mode, hnswlib
# alone (C++), and the hnswlib package (bench/graph_memory_hnswlib.py, when bench/.venv
# has it; ./bench/run.sh sets that environment up). One JSON line per run goes to
# build/graph-memory-bench/runs.jsonl; the medians, ranges and ratios are printed at
# the end. About 5 minutes per repeat at N = 100,000 on 2 cores.
#
# Usage: bench/graph_memory_bench.sh [N=100000] [REPEATS=3] [REF=main]
set -euo pipefail
cd "$(dirname "$0")/.."
n="${1:-100000}"
repeats="${2:-3}"
ref="${3:-main}"
out=build/graph-memory-bench
python="$PWD/.venv/bin/python"
[ -x "$python" ] || { echo "run scripts/setup.sh first" >&2; exit 1; }
export PATH="$PWD/.venv/bin:$PATH"
mkdir -p "$out"

# Builds the libraries of the tree in $1 (Release, as the module) into $2, and the
# benchmark against them with the flags of CMakeLists.txt's Release build.
build() {
  local tree="$1" dir="$2"
  shift 2
  cmake -S "$tree" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVENDREL_BUILD_MODULE=OFF \
    -DPython_EXECUTABLE="$python" >/dev/null
  cmake --build "$dir" -j 2 --target vendrel_full >/dev/null
  g++ -std=c++20 -O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra "$@" -I"$tree/src" \
    -isystem "$(ls -d "$dir"/_deps/hnswlib-*/)" bench/graph_memory_bench.cpp \
    "$dir/libvendrel_full.a" "$dir/libvendrel_core.a" "$dir/libsimsimd_dispatch.a" -lroaring -ltbb \
    -o "$dir/graph_memory_bench"
}

rm -rf "$out/ref-src" && mkdir -p "$out/ref-src"
git archive "$ref" | tar -x -C "$out/ref-src"
echo "building $ref and this tree"
build "$out/ref-src" "$out/ref"
build . "$out/new" -DVENDREL_GRAPH_FILE

runs="$out/runs.jsonl"
: >"$runs"
tag() { sed "s/^{/{\"build\": \"$1\", /" >>"$runs"; }
for repeat in $(seq "$repeats"); do
  echo "repeat $repeat of $repeats"
  "$out/ref/graph_memory_bench" graph "$n" | tag "$ref"
  "$out/new/graph_memory_bench" graph "$n" | tag new
  "$out/new/graph_memory_bench" exact "$n" | tag new
  "$out/new/graph_memory_bench" hnswlib "$n" | tag new
  if [ -x bench/.venv/bin/python ] && bench/.venv/bin/python -c "import hnswlib" 2>/dev/null; then
    bench/.venv/bin/python bench/graph_memory_hnswlib.py "$n" | tag package
  fi
done

"$python" - "$runs" "$ref" <<'PY'
import json, statistics, sys
runs = [json.loads(line) for line in open(sys.argv[1])]
ref = sys.argv[2]
def key(run): return f"{run['build']} {run['mode']}"
groups = {}
for run in runs: groups.setdefault(key(run), []).append(run)
def spread(values):
    return f"{statistics.median(values):.4g} ({min(values):.4g}-{max(values):.4g})"
for name, group in groups.items():
    print(f"\n{name}: {len(group)} runs")
    for field in ("build_s", "resident_per_doc", "graph_per_doc", "save_s", "saved_bytes", "load_s"):
        if field in group[0]: print(f"  {field}: {spread([g[field] for g in group])}")
    for i, row in enumerate(group[0].get("ef", [])):
        for field in ("p50_ms", "graph_p50_ms", "recall"):
            print(f"  ef {row['ef']} {field}: {spread([g['ef'][i][field] for g in group])}")
# Ratios run by run (each new graph run against the reference run just before it).
new, old = groups.get("new graph", []), groups.get(f"{ref} graph", [])
for field in ("build_s", "resident_per_doc", "graph_per_doc"):
    ratios = [a[field] / b[field] for a, b in zip(new, old) if b[field]]
    if ratios: print(f"new / {ref}, {field}: {spread(ratios)}")
for i in range(len(new[0]["ef"]) if new else 0):
    for field in ("p50_ms", "graph_p50_ms"):
        ratios = [a["ef"][i][field] / b["ef"][i][field] for a, b in zip(new, old)]
        print(f"new / {ref}, ef {new[0]['ef'][i]['ef']} {field}: {spread(ratios)}")
for other in ("new exact", "new hnswlib", "package hnswlib-python"):
    ratios = [a["resident_per_doc"] / b["resident_per_doc"] for a, b in zip(new, groups.get(other, []))]
    if ratios: print(f"new graph / {other}, resident_per_doc: {spread(ratios)}")
PY
