#!/usr/bin/env bash
# Builds the libFuzzer targets in tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, starting from its
# seeds in tests/fuzz/corpus/<target>. New inputs go to build/fuzz/corpus/<target>, so
# the committed seeds stay as they are; crashing inputs are written to build/fuzz.
#
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target...]
# Installs clang and its libFuzzer runtime from Debian when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(json_fuzz filter_fuzz filter_reference_fuzz graph_load_fuzz)

if ! command -v clang++ >/dev/null 2>&1 || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  echo "Installing clang and libFuzzer"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi

out=build/fuzz
mkdir -p "$out"
sources=(src/common.cpp src/json.cpp src/interval_tree.cpp src/filter.cpp)
# pointer-overflow is left out: RapidJSON's parse stack adds to its null pointer before
# its first allocation (inside the library, harmless, and reported on every input).
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
  -fno-sanitize=pointer-overflow -fno-sanitize-recover=undefined -Isrc)
# The graph target also links the storage and the graph index, which need hnswlib's
# headers and SimSIMD's dispatch library: a CMake configure run (nothing is built there)
# fetches their pinned sources as the module's build does. As in the sanitizer build,
# hnswlib goes without its prefetches (they read past a link list) and UBSan without its
# nonnull check (hnswlib's memcpy of an empty list from a null pointer). SimSIMD's
# AVX-512 FP16 kernels are left out: clang 14 does not know their intrinsics.
graph_extra=()
if printf '%s\n' "${targets[@]}" | grep -qx graph_load_fuzz; then
  [ -x .venv/bin/python ] && export PATH="$PWD/.venv/bin:$PATH"
  cmake -S . -B "$out/deps" -DVENDREL_BUILD_MODULE=OFF -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
  hnswlib_root=$(ls -d "$out"/deps/_deps/hnswlib-*/)
  simsimd_root=$(ls -d "$out"/deps/_deps/simsimd-*/)
  simsimd_defines=(-DSIMSIMD_DYNAMIC_DISPATCH=1 -DSIMSIMD_NATIVE_F16=0 -DSIMSIMD_NATIVE_BF16=0 -DSIMSIMD_TARGET_SAPPHIRE=0)
  clang -c -O1 -w -fsanitize=address "${simsimd_defines[@]}" -I"$simsimd_root/include" \
    "$simsimd_root/c/lib.c" -o "$out/simsimd.o"
  graph_extra=(-isystem "$hnswlib_root" -isystem "$simsimd_root/include" "${simsimd_defines[@]}"
    -DNO_MANUAL_VECTORIZATION -fno-sanitize=nonnull-attribute
    src/storage.cpp src/quantize.cpp src/graph_index.cpp src/graph_file.cpp "$out/simsimd.o")
fi

for target in "${targets[@]}"; do
  echo "== building $target"
  extra=()
  [ "$target" = graph_load_fuzz ] && extra=("${graph_extra[@]}")
  clang++ "${flags[@]}" "${extra[@]}" "tests/fuzz/$target.cpp" "${sources[@]}" -lroaring -ltbb -o "$out/$target"
done

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for target in "${targets[@]}"; do
  echo "== running $target for ${seconds}s"
  mkdir -p "$out/corpus/$target"
  if ! "$out/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$out/$target-" \
      "$out/corpus/$target" "tests/fuzz/corpus/$target" 2>"$out/$target.log"; then
    status=1
    tail -40 "$out/$target.log"
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$out/$target.log" | sed "s/^/$target /"
done
exit "$status"
