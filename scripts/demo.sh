#!/usr/bin/env bash
# The main job: installs what is missing, builds the library and the PyTorch module, and runs the
# demo (a render of the shipped mesh and a sphere fitted to its silhouette, first through blurred
# signed distances, then exactly). Arguments are passed to the demo, e.g.
# `bash scripts/demo.sh --mesh my.ply --out /tmp/out`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release -DVREL_BUILD_TORCH=ON >/dev/null
cmake --build --preset release -j "$(nproc)" --target vrel_core _torch
PYTHONPATH="$PWD/python${PYTHONPATH:+:$PYTHONPATH}" exec python3 examples/demo/demo.py "$@"
