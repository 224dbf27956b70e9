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
