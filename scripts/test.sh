#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite: the C++ unit tests through CTest
# and the Python tests through pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVENDREL_BUILD_MODULE=OFF -DVENDREL_BUILD_TESTS=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/cpp -j "$(nproc)"
ctest --test-dir build/cpp --output-on-failure -j "$(nproc)"

.venv/bin/python -m pytest -q tests "$@"

# The same C++ tests and Python suite again against an AddressSanitizer, LeakSanitizer
# and UndefinedBehaviorSanitizer build (about 3 minutes on 2 cores, mostly the build).
./scripts/sanitize.sh "$@"

# The concurrency tests again under ThreadSanitizer (about 2 minutes, mostly the build).
./scripts/tsan.sh

# Each fuzz target for a bounded time (clang and libFuzzer are installed when missing).
./scripts/fuzz.sh 20
