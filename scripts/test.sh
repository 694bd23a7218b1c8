#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the Release and the sanitizer
# (AddressSanitizer + UndefinedBehaviorSanitizer) configurations, runs CTest in each, runs the
# short fuzz runs in the sanitizer build, installs the package into a fresh virtual environment
# and uses it from Python and C, then runs the Python tests against the Release build.
# The fuzzer's progress goes to build/fuzz.log; the run ends with one line per stage and the total
# time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
status=0
# Compiles go through ccache when it is installed (a rerun then rebuilds only what changed);
# paths are taken relative to the checkout, so clones in other folders share the cache.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
fi
summary=()
started=$SECONDS

# stage NAME COMMAND...: runs one stage, records "NAME: passed|FAILED (N s)".
stage() {
  local name=$1 begin=$SECONDS result=passed
  shift
  echo "== $name"
  if ! "$@"; then
    result=FAILED
    status=1
  fi
  summary+=("$(printf '%-18s %s (%d s)' "$name:" "$result" $((SECONDS - begin)))")
}

# Each stage chains its steps with &&: errexit does not apply inside a tested function.
release() {
  cmake --preset release -DVREL_BUILD_TORCH=ON "${launcher[@]}" >/dev/null &&
  cmake --build --preset release -j "$jobs" &&
  ctest --test-dir build/release --output-on-failure -j "$jobs"
}

sanitizer() {
  cmake --preset asan-ubsan "${launcher[@]}" >/dev/null &&
  cmake --build --preset asan-ubsan -j "$jobs" &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"
}

# The concurrency tests only.
thread_sanitizer() {
  cmake --preset tsan "${launcher[@]}" >/dev/null &&
  cmake --build --preset tsan -j "$jobs" --target test_provider_discovery vrel_test_provider \
    vrel_test_no_handshake test_torch_cuda_scope &&
  TSAN_OPTIONS=halt_on_error=1 \
    ctest --test-dir build/tsan --output-on-failure -R '^(provider_concurrent|torch_cuda_scope)$'
}

# Short fixed runs; libFuzzer's progress lines go to the log, its last lines are shown on failure.
fuzz() {
  mkdir -p build
  if bash tests/fuzz/run.sh >build/fuzz.log 2>&1; then
    echo "fuzzer log: build/fuzz.log"
  else
    tail -n 40 build/fuzz.log
    return 1
  fi
}

# pip install into a fresh virtual environment, then Python and C programs against the install.
packaging() {
  bash tests/packaging/run.sh
}

python_tests() {
  PYTHONPATH="$PWD/python${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest -q tests/python
}

stage release release
stage sanitizer sanitizer
stage "thread sanitizer" thread_sanitizer
if [ -f tests/fuzz/run.sh ]; then stage fuzz fuzz; fi
if [ -f tests/packaging/run.sh ]; then stage packaging packaging; fi
if ls tests/python/test_*.py >/dev/null 2>&1; then stage python python_tests; fi

echo "== summary"
printf '%s\n' "${summary[@]}"
echo "total: $((SECONDS - started)) s"
exit $status
