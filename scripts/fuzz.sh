#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) in build-fuzz/ and runs each for a while.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   SECONDS per target (default 600);
#                                           TARGET: config, detector (default: both)
#   scripts/fuzz.sh --available             exit status 0 when clang can build them
# Each target starts from its committed seed corpus fuzz/corpus/TARGET and
# from what earlier runs found (build-fuzz/corpus/TARGET, kept between runs).
# A crash, a leak, undefined behaviour or a failed property check stops that
# target: its input is saved in build-fuzz/artifacts/ and the script exits
# with status 1 after the other targets. Logs: build-fuzz/logs/TARGET.log.
# Replay one input: build-fuzz/fuzz/fuzz_TARGET FILE
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
out="$root/build-fuzz"

# Whether clang++ can link a libFuzzer program with OpenMP (clang,
# libclang-rt-14-dev, libomp-dev).
fuzzer_available() {
  command -v clang++ >/dev/null 2>&1 || { echo "fuzz: clang++ not found"; return 1; }
  mkdir -p "$out"
  printf '%s\n' '#include <omp.h>' \
    'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return omp_get_max_threads() < 0; }' \
    >"$out/probe.cpp"
  clang++ -fopenmp -fsanitize=fuzzer,address,undefined "$out/probe.cpp" -o "$out/probe" >/dev/null 2>&1 ||
    { echo "fuzz: clang++ cannot link libFuzzer programs with OpenMP (libclang-rt-14-dev or libomp-dev missing?)"; return 1; }
}

if [ "${1:-}" = "--available" ]; then
  fuzzer_available
  exit
fi

seconds="${1:-600}"
[ $# -gt 0 ] && shift
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(config detector)
case "$seconds" in '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS] [config|detector...]"; exit 2 ;; esac

fuzzer_available || exit 1
jobs="$(nproc 2>/dev/null || echo 2)"
cmake -S . -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOLEN_BUILD_FUZZ=ON \
  -DTARVOLEN_BUILD_APP=OFF -DTARVOLEN_BUILD_TESTS=OFF -DTARVOLEN_BUILD_BENCH=OFF >/dev/null
cmake --build "$out" -j"$jobs" --target "${targets[@]/#/fuzz_}"

# Inputs longer than this are not generated: the configuration seeds include
# deeply nested documents; a detector input of 4 KiB is hundreds of calls.
declare -A max_len=([config]=16384 [detector]=4096)
# fuzz_target TARGET: runs one target for SECONDS and reports it in one line;
# status 1 when it found a failure.
fuzz_target() {
  local t="$1" corpus="$out/corpus/$1" log="$out/logs/$1.log" rc=0 runs units extra=()
  mkdir -p "$corpus" "$out/artifacts" "$out/logs"
  [ -f "fuzz/$t.dict" ] && extra+=("-dict=fuzz/$t.dict")
  UBSAN_OPTIONS=print_stacktrace=1 "$out/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=30 \
    -rss_limit_mb=2560 -max_len="${max_len[$t]:-4096}" -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$t-" "${extra[@]}" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)"
  units="$(ls "$corpus" | wc -l)"
  if [ "$rc" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz: $t FAILED (exit status $rc); input saved as $(ls -t "$out/artifacts/$t-"* 2>/dev/null | head -n1)"
    return 1
  fi
  echo "fuzz: $t: ${runs:-?} executions in ${seconds} s, no failure ($units new corpus inputs kept)"
}

# The targets run side by side, as many at once as there are cores: the
# run takes SECONDS per batch of targets rather than per target.
echo "fuzz: ${targets[*]} for ${seconds} s each, $jobs at a time"
failed=0
running=()
for t in "${targets[@]}"; do
  fuzz_target "$t" &
  running+=($!)
  if [ "${#running[@]}" -ge "$jobs" ]; then
    wait "${running[0]}" || failed=1
    running=("${running[@]:1}")
  fi
done
for pid in "${running[@]}"; do wait "$pid" || failed=1; done
exit "$failed"
