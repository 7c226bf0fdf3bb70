#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors, and runs every
# test: in a release build (with the Python module's tests in a fresh virtual
# environment and tarvolen-scan on a one-node Slurm cluster the test starts),
# under AddressSanitizer/UndefinedBehaviorSanitizer,
# and the threaded parts under ThreadSanitizer; then a bounded fuzzing run.
# The end-to-end tests drive the real programs on Xvfb displays that they
# start themselves. Under CI=true a missing prerequisite fails the run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/install-deps.sh
if ! scripts/fetch-sample.sh; then
  [ "${CI:-}" = "true" ] && { echo "test: the sample clip is needed (CI=true)"; exit 1; }
  echo "test: sample clip unavailable; the tests that need it will be skipped"
fi

jobs="$(nproc 2>/dev/null || echo 2)"
# Every wall-clock bound of the tests is written for an idle machine and
# stretched by TARVOLEN_E2E_SLOWDOWN (a whole number): 1 unless given; a busy
# machine sets more (scripts/test-under-load.sh). The sanitizer stages
# multiply it by how many times slower their builds run.
slowdown="${TARVOLEN_E2E_SLOWDOWN:-1}"
export TARVOLEN_E2E_SLOWDOWN="$slowdown"
# The end-to-end cases mostly wait on their programs' clocks and servers.
e2e_jobs=$((jobs * 2))

echo "== release build"
# With the Python module (Debian's interpreter, the one that sees Debian's
# NumPy): its tests install it into a fresh virtual environment from here.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARVOLEN_WERROR=ON -DTARVOLEN_BUILD_PYTHON=ON \
  -DPython3_EXECUTABLE=/usr/bin/python3 -DTARVOLEN_E2E_SLOWDOWN="$slowdown" >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" -LE gui)
(cd build && ctest --output-on-failure -j"$e2e_jobs" -L gui)

echo "== sanitizer build"
# Assertions on, lightly optimised: -O0 under AddressSanitizer makes the
# detector's whole-clip tests several times slower and finds nothing more.
# Line tables (-g1) are all a sanitizer's report needs, and build faster.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" -DTARVOLEN_SANITIZE=ON \
  -DTARVOLEN_BUILD_BENCH=OFF -DTARVOLEN_WERROR=ON -DTARVOLEN_E2E_SLOWDOWN=$((slowdown * 2)) >/dev/null
cmake --build build-asan -j"$jobs"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# allocator_may_return_null: the out-of-memory tests need failed allocations
# reported to the program rather than aborting it.
# OpenCV's gPhoto2 camera back end, probed when a path opens with no other,
# leaks libusb's device list; the leak checker would take it for ours.
(cd build-asan && ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 OPENCV_VIDEOIO_PRIORITY_GPHOTO2=0 \
  TARVOLEN_E2E_SLOWDOWN=$((slowdown * 2)) ctest --output-on-failure -j"$jobs" -L 'unit|detector')
# The GUI toolkit keeps process-lifetime allocations that the leak checker
# would report; memory errors and undefined behaviour still fail these runs.
# The desktop program's key, window and configuration cases run its Qt
# front end, and the camera cases run only the test camera: the release
# stage has run them; here they would find nothing new.
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 TARVOLEN_E2E_SLOWDOWN=$((slowdown * 2)) \
  ctest --output-on-failure -j"$e2e_jobs" -L gui -E '^(operator|gui|no_display|config|camera)\.')

echo "== thread sanitizer build"
# Lightly optimised with line tables only, as the sanitizer build: the
# reports need no more, and it builds faster.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g1 -O1" -DTARVOLEN_TSAN=ON \
  -DTARVOLEN_BUILD_BENCH=OFF -DTARVOLEN_WERROR=ON -DTARVOLEN_E2E_SLOWDOWN=$((slowdown * 4)) >/dev/null
# The detector's threads are OpenMP's, whose runtime is not instrumented: its
# tests prove the parallel results bit-identical instead (this build runs
# its teams on one thread). Everything else that runs threads is checked
# here: the queue, the reader, the writers, the clip channel, event
# recording, the scan, the watcher, its web view, and the signals.
# Only those tests and programs are built.
cmake --build build-tsan -j"$jobs" --target tarvolen_platform_tests tarvolen_media_tests tarvolen_events_tests \
  tarvolen_app_tests tarvolen_scan_tests tarvolen tarvolen-scan make_clip inspect_image \
  tarvolen_watch_tests tarvolen_web_tests tarvolen-watch free_port
export TSAN_OPTIONS="halt_on_error=1 allocator_may_return_null=1 suppressions=$root/tests/tsan.supp"
(cd build-tsan && TARVOLEN_E2E_SLOWDOWN=$((slowdown * 4)) ctest --output-on-failure -j"$jobs" \
  -R '^tarvolen_(platform|media|events|app|scan|watch|web)_tests$')
(cd build-tsan && TARVOLEN_E2E_SLOWDOWN=$((slowdown * 4)) ctest --output-on-failure -j"$jobs" \
  -R '^(scan\.(events|sigint|parallel|damaged_stream)|event_recording\.(two_bursts|signals_mid_event)|reliability\.sigterm_recording|watch\.(file_once|sigterm_mid_event|mqtt_broker_gone|home_assistant))$')
unset TSAN_OPTIONS

echo "== fuzz targets"
# A bounded run of each libFuzzer target over its seed corpus and beyond;
# scripts/fuzz.sh SECONDS runs them for longer.
if bash scripts/fuzz.sh --available; then
  bash scripts/fuzz.sh 20
else
  [ "${CI:-}" = "true" ] && { echo "test: clang with libFuzzer is needed (CI=true)"; exit 1; }
  echo "test: fuzz targets skipped: clang with libFuzzer is not available"
fi
