#!/usr/bin/env bash
# The main job: installs what is missing, builds the library, and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release -DVREL_BUILD_TORCH=ON >/dev/null
cmake --build --preset release -j "$(nproc)" --target vrel_capabilities
./build/release/vrel_capabilities
