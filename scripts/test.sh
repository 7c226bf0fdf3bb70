#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the unit tests in a
# release build and again under AddressSanitizer/UndefinedBehaviorSanitizer,
# and the end-to-end tests of the real program under Xvfb (started by the
# tests themselves).
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

echo "== sanitizer build (unit tests)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVOLEN_SANITIZE=ON -DTARVOLEN_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$jobs" -L unit)
