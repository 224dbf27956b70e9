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
[ ${#targets[@]} -eq 0 ] && targets=(json_fuzz filter_fuzz filter_reference_fuzz log_reader_fuzz checkpoint_fuzz strict_filter_reference_fuzz graph_load_fuzz)

# Debian's default clang, and the runtime package of that clang's major version, which
# holds libFuzzer (libclang-rt-14-dev on Debian 12, libclang-rt-19-dev on Debian 13).
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
apt_install() {
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "$@" >/dev/null
}
if ! command -v clang++ >/dev/null 2>&1; then
  echo "Installing clang"
  apt_install clang
fi
clang_major=$(clang++ -dumpversion | cut -d. -f1)
if ! dpkg -s "libclang-rt-$clang_major-dev" >/dev/null 2>&1; then
  echo "Installing libFuzzer (libclang-rt-$clang_major-dev)"
  apt_install "libclang-rt-$clang_major-dev"
fi

out=build/fuzz
mkdir -p "$out"
sources=(src/common.cpp src/json.cpp src/interval_tree.cpp src/filter.cpp src/filter_strict.cpp)
# The file readers' and the graph loader's targets need the whole core (SimSIMD and
# hnswlib included), so CMake builds them with clang into build/fuzz/cmake.
cmake_targets=" log_reader_fuzz checkpoint_fuzz graph_load_fuzz "
# pointer-overflow is left out: RapidJSON's parse stack adds to its null pointer before
# its first allocation (inside the library, harmless, and reported on every input).
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
  -fno-sanitize=pointer-overflow -fno-sanitize-recover=undefined -Isrc)
for target in "${targets[@]}"; do
  echo "== building $target"
  if [[ "$cmake_targets" == *" $target "* ]]; then
    python="${VENDREL_PYTHON:-$PWD/.venv/bin/python}"
    [ -x "$python" ] || { echo "run scripts/setup.sh first" >&2; exit 1; }
    CC=clang CXX=clang++ cmake -S . -B "$out/cmake" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVENDREL_BUILD_FUZZ=ON -DVENDREL_BUILD_MODULE=OFF -DPython_EXECUTABLE="$python" >/dev/null
    cmake --build "$out/cmake" -j "$(nproc)" --target "$target" >/dev/null
    cp "$out/cmake/$target" "$out/$target"
  else
    clang++ "${flags[@]}" "tests/fuzz/$target.cpp" "${sources[@]}" -lroaring -ltbb -o "$out/$target"
  fi
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
