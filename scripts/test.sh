#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test, twice: in a release
# build and under AddressSanitizer/UndefinedBehaviorSanitizer. The end-to-end
# tests drive the real program on Xvfb displays that they start themselves.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/install-deps.sh
scripts/fetch-sample.sh || echo "test: sample clip unavailable; the real-footage test will be skipped"

jobs="$(nproc 2>/dev/null || echo 2)"

echo "== release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== sanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVOLEN_SANITIZE=ON -DTARVOLEN_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# allocator_may_return_null: the out-of-memory tests need failed allocations
# reported to the program rather than aborting it.
(cd build-asan && ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
  ctest --output-on-failure -j"$jobs" -L unit)
# The GUI toolkit keeps process-lifetime allocations that the leak checker
# would report; memory errors and undefined behaviour still fail these runs.
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j"$jobs" -L gui)

echo "== fuzz targets"
# A bounded run of each libFuzzer target over its seed corpus and beyond;
# scripts/fuzz.sh SECONDS runs them for longer.
if bash scripts/fuzz.sh --available; then
  bash scripts/fuzz.sh 30
else
  echo "test: fuzz targets skipped: clang with libFuzzer is not available"
fi
