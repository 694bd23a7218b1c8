#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the Release and the sanitizer
# (AddressSanitizer + UndefinedBehaviorSanitizer) configurations, runs CTest in each, runs the
# short fuzz runs in the sanitizer build, installs the package into a fresh virtual environment
# and uses it from Python and C, then runs the Python tests against the Release build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
status=0

echo "== release build"
cmake --preset release -DVREL_BUILD_TORCH=ON >/dev/null
cmake --build --preset release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs" || status=1

echo "== sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset asan-ubsan >/dev/null
cmake --build --preset asan-ubsan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs" || status=1

echo "== thread sanitizer build (the concurrency tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target test_provider_discovery vrel_test_provider \
  vrel_test_no_handshake test_torch_cuda_scope
TSAN_OPTIONS=halt_on_error=1 \
  ctest --test-dir build/tsan --output-on-failure -R '^(provider_concurrent|torch_cuda_scope)$' || status=1

if [ -f tests/fuzz/run.sh ]; then
  echo "== fuzzing (short fixed runs)"
  bash tests/fuzz/run.sh || status=1
fi

if [ -f tests/packaging/run.sh ]; then
  echo "== packaged install (pip into a fresh virtual environment, find_package, pkg-config)"
  bash tests/packaging/run.sh || status=1
fi

if [ -d tests/python ] && ls tests/python/test_*.py >/dev/null 2>&1; then
  echo "== python tests"
  PYTHONPATH="$PWD/python${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest -q tests/python || status=1
fi

exit $status
