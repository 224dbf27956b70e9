#!/usr/bin/env bash
# Sets everything up, then runs the quickstart demo.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
.venv/bin/python examples/quickstart.py
