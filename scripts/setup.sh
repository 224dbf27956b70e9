#!/usr/bin/env bash
# Sets up a Debian machine for vendrel: the Debian packages that the build and the tests
# need, a project virtual environment in .venv, and the module built and installed into
# it. Installing Debian packages needs root: the script runs apt-get directly as root,
# through sudo otherwise, and stops with a message when it can do neither. Running it
# again only rebuilds what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "setup: $*"; }
fail() {
  echo "setup: $*" >&2
  exit 1
}

# ---- Debian packages ---------------------------------------------------------------
missing=()
need() {
  local package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
}

has_dpkg=0
command -v dpkg >/dev/null 2>&1 && has_dpkg=1

if [ "$has_dpkg" -eq 1 ]; then
  # The compiler, the libraries the modules link, and GoogleTest for the C++ tests.
  need g++ libroaring-dev rapidjson-dev libtbb-dev libisal-dev libgtest-dev
fi

# Python needs its venv module (with ensurepip) and its C headers. Debian ships both
# apart from the interpreter; another interpreter (pyenv, a source build) has to bring
# its own, which apt-get cannot add.
if ! command -v python3 >/dev/null 2>&1; then
  [ "$has_dpkg" -eq 1 ] || fail "python3 not found: install Python 3 (with its venv module and headers) first"
  need python3 python3-venv python3-dev
else
  python_prefix=$(python3 -c 'import sys; print(sys.base_prefix)')
  python_lacks=()
  python3 -c 'import ensurepip, venv' >/dev/null 2>&1 || python_lacks+=(venv)
  python3 -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' || python_lacks+=(dev)
  if [ ${#python_lacks[@]} -gt 0 ]; then
    if [ "$python_prefix" = /usr ] && [ "$has_dpkg" -eq 1 ]; then
      for part in "${python_lacks[@]}"; do need "python3-$part"; done
    else
      fail "$(command -v python3) (prefix $python_prefix) lacks: ${python_lacks[*]} (venv = the venv module with ensurepip, dev = the C headers); install them for that Python, or put Debian's /usr/bin/python3 first on PATH"
    fi
  fi
fi

if [ ${#missing[@]} -gt 0 ]; then
  command -v apt-get >/dev/null 2>&1 ||
    fail "not a Debian system: install the equivalents of these Debian packages yourself: ${missing[*]}"
  as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 ||
      fail "these Debian packages are missing: ${missing[*]}. Installing them needs root, and this user is not root and has no sudo. Run this script as root, or have an administrator run: apt-get install ${missing[*]}"
    as_root=(sudo)
    say "not root: using sudo for apt-get (it may ask for your password)"
  fi
  say "installing Debian packages: ${missing[*]}"
  # env passes the variable through sudo, which would otherwise drop it.
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
    fail "apt-get update failed; install these Debian packages as root: ${missing[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
    fail "apt-get install failed; install these Debian packages as root: ${missing[*]}"
elif [ "$has_dpkg" -eq 1 ]; then
  say "Debian packages: all present"
else
  say "no dpkg: not checking system packages (needed: a C++20 compiler, CRoaring, RapidJSON, oneTBB, ISA-L, GoogleTest)"
fi

# ---- Virtual environment -------------------------------------------------------------
if [ ! -x .venv/bin/python ]; then
  say "creating the virtual environment .venv with $(python3 --version)"
  python3 -m venv .venv
fi

# CMake 3.20 or later and Ninja: the system's when it has them, else from the package index.
tools=()
cmake_version=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9]*\.[0-9]*\).*/\1/p' || true)
if [ -z "$cmake_version" ] || ! printf '3.20\n%s\n' "$cmake_version" | sort -V -C; then
  tools+=("cmake>=3.20")
fi
command -v ninja >/dev/null 2>&1 || tools+=(ninja)

# Build tools for the module, and pytest, numpy and mypy for the tests.
say "installing into .venv: scikit-build-core setuptools pytest numpy mypy${tools[*]:+ ${tools[*]}}"
.venv/bin/python -m pip install --quiet --disable-pip-version-check \
  "scikit-build-core>=0.10" setuptools pytest numpy mypy "${tools[@]}"

# The cluster extra (Ray, for the sharded layer and its tests) comes with the module.
say "building vendrel and installing it with its cluster extra (Ray) into .venv (a few minutes the first time)"
.venv/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation ".[cluster]"
say "done: .venv/bin/python -c 'import vendrel, vendrel_plus' works"
