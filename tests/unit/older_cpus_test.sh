#!/usr/bin/env bash
# The detector on emulated CPUs without AVX-512 and without AVX2: the
# dispatcher must pick what the CPU has (no illegal instruction), skip the
# kernels it lacks, and give the results the tests expect.
# Usage: older_cpus_test.sh DETECTOR_TEST_BINARY
set -euo pipefail
binary="$1"
if ! command -v qemu-x86_64 >/dev/null; then
  echo "qemu-x86_64 is missing (scripts/install-deps.sh installs qemu-user)"
  # Under CI the case must run; elsewhere it is skipped.
  [ "${CI:-}" = "true" ] && exit 1
  exit 77
fi
tests='ForcedKernels*:Kernels/KernelOnHostileRecords*:Kernels/SimdKernel.MatchesTheReferenceOnUniform*:DetectorProcess*:DetectorPrepare*:PixelUpdate*'
check() {  # cpu, kernel it must lack
  local out
  out=$(qemu-x86_64 -cpu "$1" "$binary" --gtest_filter="$tests" 2>&1) || { echo "$out"; echo "FAIL on $1"; exit 1; }
  grep -q "cannot run the $2 kernel" <<<"$out" || { echo "$out"; echo "FAIL: $1 should lack $2"; exit 1; }
  echo "$1: $(grep -E '^\[  PASSED  \]' <<<"$out")"
}
check Nehalem AVX2
check Haswell AVX-512
