#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine. Safe to run again: it
# installs only what is missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          pkgconf)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON=${PYTHON:-python3}
if ! "$PYTHON" -c "import torch" >/dev/null 2>&1; then
  echo "setup: installing torch 2.13.0"
  "$PYTHON" -m pip install -q torch==2.13.0
fi
"$PYTHON" -m pip install -q pytest numpy scikit-build-core pillow mpmath modepy hypothesis shapely >/dev/null
