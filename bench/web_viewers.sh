#!/usr/bin/env bash
# Ten viewers of the web view's /stream.mjpg at 1080p: the feeding loop's
# rate and publishFrame's cost with none and with ten, and the rate each
# viewer gets against the one it asked for. Runs the web harness (a 25 fps
# loop of the sample scaled to 1920 x 1080), not the watcher.
#   bash bench/web_viewers.sh [BUILD_DIR [SECONDS]]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
seconds="${2:-20}"
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=bench/viewers_lib.sh
source "$root/bench/viewers_lib.sh"
harness="$build/tests/web_harness"
work="$(mktemp -d /tmp/tarvolen-web-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/events"

cpu_seconds() { awk '{print ($14 + $15) / 100}' "/proc/$1/stat"; }

# run VIEWER_FPS...: one harness run with a viewer per argument ("-" for
# none); prints the harness's summary, its CPU use and each viewer's rate.
run() {
  local port=$((20000 + RANDOM % 40000))
  "$harness" --listen "127.0.0.1:$port" --folder "$work/events" --video "$root/samples/vtest.avi" \
    --width 1920 --height 1080 --fps 25 >"$work/harness.out" 2>&1 &
  local pid=$!
  until grep -q listening "$work/harness.out"; do sleep 0.1; done
  sleep 2  # the loop settles
  local cpu0
  cpu0=$(cpu_seconds "$pid")
  start_viewers "$work" "$port" "$seconds" "$@"
  sleep "$seconds"
  [ "${#viewer_pids[@]}" -eq 0 ] || wait "${viewer_pids[@]}" || true
  local cpu1
  cpu1=$(cpu_seconds "$pid")
  kill -TERM "$pid"
  wait "$pid" || true
  echo "  harness: $(tail -n1 "$work/harness.out")"
  echo "  harness CPU over the viewing: $(awk -v a="$cpu0" -v b="$cpu1" -v s="$seconds" 'BEGIN{printf "%.0f %%", 100*(b-a)/s}')"
  report_viewers "$work" "$seconds" "$@"
}

echo "no viewer, ${seconds} s:"
run -
echo "ten viewers at 1920 x 1080 (five asking 25 fps, five 5 fps), ${seconds} s:"
run 25 25 25 25 25 5 5 5 5 5
