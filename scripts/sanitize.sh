#!/usr/bin/env bash
# Builds the C++ unit tests and the Python module with AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer (GCC, -DVENDREL_SANITIZE=ON) into
# build/asan, then runs
#   1. the C++ unit tests, with leak checking on: any leak, invalid access or
#      undefined behaviour fails the run;
#   2. the whole Python test suite against the sanitized module (skipped with
#      --cpp-only), the interpreter started with libasan preloaded.
#
# Leak checking in the interpreter run is off (detect_leaks=0): CPython keeps most of
# its objects alive until exit and frees nothing that lives in static storage, so a leak
# report for the interpreter lists thousands of allocations that are not ours, and
# suppressions would have to name the interpreter's internals version by version. The
# module's own leak checking is done by the C++ run above (same core code, leaks
# fatal) and by scripts/leak_check.py (resident memory per document over 10^6 adds).
# PYTHONMALLOC=malloc sends every Python allocation through ASan's allocator, so
# misuse of Python objects by the binding (use after free of a reference we do not
# own) is caught too.
#
# Usage: scripts/sanitize.sh [--cpp-only] [pytest arguments...]
# Expects the project environment from scripts/setup.sh (.venv).
set -euo pipefail
cd "$(dirname "$0")/.."

cpp_only=0
if [ "${1:-}" = "--cpp-only" ]; then
  cpp_only=1
  shift
fi

# VENDREL_PYTHON picks another environment's interpreter (one with pytest and numpy).
python="${VENDREL_PYTHON:-$PWD/.venv/bin/python}"
[ -x "$python" ] || { echo "run scripts/setup.sh first" >&2; exit 1; }
export PATH="$(dirname "$python"):$PATH"
build=build/asan

build_module=ON
[ "$cpp_only" -eq 1 ] && build_module=OFF
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDREL_SANITIZE=ON \
  -DVENDREL_BUILD_MODULE="$build_module" -DVENDREL_BUILD_TESTS=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$(nproc)"

# halt_on_error and -fno-sanitize-recover make every finding fatal.
common_options="abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== C++ unit tests under ASan+LSan+UBSan"
ASAN_OPTIONS="$common_options:detect_leaks=1" \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

[ "$cpp_only" -eq 1 ] && exit 0

echo "== Python test suite against the sanitized modules"
module=$(ls "$build"/vendrel*.so)
# The companion package, with its sanitized extension module, beside the sanitized vendrel.
rm -rf "$build/python" && mkdir -p "$build/python" && cp -r python/vendrel_plus "$build/python/"
cp "$build"/_native*.so "$build/python/vendrel_plus/"
native=$(ls "$build"/python/vendrel_plus/_native*.so)
libasan=$(g++ -print-file-name=libasan.so)
# The sanitized modules come before the installed ones on sys.path.
# detect_stack_use_after_return is off here: the interpreter's deep frames make the
# fake stacks costly and it finds nothing in extension code that the C++ run misses.
sanitized_path="$PWD/$build:$PWD/$build/python${PYTHONPATH:+:$PYTHONPATH}"
ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_leaks=0" \
  PYTHONMALLOC=malloc PYTHONPATH="$sanitized_path" LD_PRELOAD="$libasan" \
  "$python" -c "import sys, vendrel, vendrel_plus._native as n
assert vendrel.__file__ == sys.argv[1], vendrel.__file__
assert n.__file__ == sys.argv[2], n.__file__" "$PWD/$module" "$PWD/$native"
ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_leaks=0" \
  PYTHONMALLOC=malloc PYTHONPATH="$sanitized_path" LD_PRELOAD="$libasan" \
  "$python" -m pytest -q -p no:cacheprovider tests "$@"
