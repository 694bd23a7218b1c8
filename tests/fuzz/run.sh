#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer), replays
# the kept crashers, then fuzzes the PLY target for FUZZ_SECONDS (default 60) and the records
# target for FUZZ_RECORDS_SECONDS (default 20) from their seed corpora. Exits non-zero on a crash
# or a broken invariant. New inputs go to <build>/corpus*, not to the seeds.
# FUZZ_BUILD_DIR picks the build folder (default build/fuzz), FUZZ_JOBS the build parallelism.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}
jobs=${FUZZ_JOBS:-2}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVREL_BUILD_FUZZ=ON -DVREL_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" --target vrel_fuzz_ply vrel_fuzz_records -j "$jobs"

mkdir -p "$build/corpus" "$build/corpus_records" "$build/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if compgen -G "tests/fuzz/crashers/*" >/dev/null; then
  "$build/vrel_fuzz_ply" -runs=1 tests/fuzz/crashers/*
fi
"$build/vrel_fuzz_ply" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -dict=tests/fuzz/ply.dict -artifact_prefix="$build/artifacts/" "$build/corpus" tests/fuzz/corpus
"$build/vrel_fuzz_records" -max_total_time="${FUZZ_RECORDS_SECONDS:-20}" -max_len=256 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/records-" \
  "$build/corpus_records" tests/fuzz/records_corpus
