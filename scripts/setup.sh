#!/usr/bin/env bash
# Sets up a fresh Debian machine for vendrel: the system libraries, a project
# virtual environment in .venv, and the module built and installed into it.
set -euo pipefail
cd "$(dirname "$0")/.."

system_packages=(g++ libroaring-dev rapidjson-dev libtbb-dev libgtest-dev)
missing=()
for package in "${system_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  echo "Installing system packages: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install --quiet --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.20" ninja setuptools pytest numpy
# The cluster extra (Ray) is what the sharded layer's tests run on.
.venv/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation ".[cluster]"
