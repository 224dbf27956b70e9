#!/usr/bin/env bash
# Builds the C++ tests with ThreadSanitizer (GCC, -DVENDREL_THREAD_SANITIZE=ON) into
# build/tsan and runs the concurrency tests: threads reading and writing one database at
# once. Any data race fails the run, even when the test's own checks pass.
#
# oneTBB comes from Debian without the sanitizer, so ThreadSanitizer cannot see how its
# pool hands work between its threads; the pool is therefore held to the calling thread
# here (VENDREL_TEST_POOL_THREADS=1), and the races looked for are those between the
# threads that call the database, which is where the database's own locks work.
#
# Usage: scripts/tsan.sh [ctest -R pattern, default: FullThreadsTest, the concurrency tests]
# Expects the project environment from scripts/setup.sh (.venv).
set -euo pipefail
cd "$(dirname "$0")/.."

python="${VENDREL_PYTHON:-$PWD/.venv/bin/python}"
[ -x "$python" ] || { echo "run scripts/setup.sh first" >&2; exit 1; }
export PATH="$(dirname "$python"):$PATH"
build=build/tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDREL_THREAD_SANITIZE=ON \
  -DVENDREL_BUILD_MODULE=OFF -DVENDREL_BUILD_TESTS=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j "$(nproc)" --target vendrel_cpp_tests

echo "== C++ concurrency tests under ThreadSanitizer"
# One process per test (ctest): std::mutex ends without telling the sanitizer, so a
# mutex of one test's database could share an address with one of the next and make up
# a lock cycle between them.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/cpp/tsan.supp" VENDREL_TEST_POOL_THREADS=1 \
  ctest --test-dir "$build" --output-on-failure -R "${1:-FullThreadsTest}"
