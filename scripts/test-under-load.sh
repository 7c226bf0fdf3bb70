#!/usr/bin/env bash
# Runs the test command (scripts/test.sh) on a machine kept busy, as a shared
# build machine is: beside it, one busy-loop process pinned to each core.
# The tests' wall-clock bounds are written for an idle machine; here they are
# stretched by TARVOLEN_E2E_SLOWDOWN, 3 unless given (the sanitizer stages
# multiply it further, see scripts/test.sh).
#   bash scripts/test-under-load.sh [RUNS]
# RUNS (1 unless given) runs one after the other; the script stops at the
# first red run. Each run's time is printed; the status is the last run's.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

runs="${1:-1}"
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [RUNS]" >&2; exit 2; }
export TARVOLEN_E2E_SLOWDOWN="${TARVOLEN_E2E_SLOWDOWN:-3}"
command -v taskset >/dev/null || { echo "test-under-load: taskset (Debian package util-linux) is needed" >&2; exit 1; }

load_pids=()
stop_load() {
  local pid
  for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null || true
}
trap stop_load EXIT

cores="$(nproc)"
for ((core = 0; core < cores; core++)); do
  taskset -c "$core" bash -c 'while :; do :; done' &
  load_pids+=($!)
done
echo "test-under-load: $cores busy loops, one per core; TARVOLEN_E2E_SLOWDOWN=$TARVOLEN_E2E_SLOWDOWN"

for ((run = 1; run <= runs; run++)); do
  started=$SECONDS
  if bash scripts/test.sh; then
    echo "test-under-load: run $run of $runs green in $((SECONDS - started)) s"
  else
    echo "test-under-load: run $run of $runs red after $((SECONDS - started)) s"
    exit 1
  fi
done
