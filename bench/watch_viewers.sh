#!/usr/bin/env bash
# Ten viewers of the watcher's /stream.mjpg at 1080p against none: the real
# tarvolen-watch on a 1920 x 1080 25 fps file played at its own rate (as a
# camera delivers it), event recording on, its processed frame rate read
# from its status file; and the rate each viewer gets against the one it
# asked for.
#   bash bench/watch_viewers.sh [BUILD_DIR [SECONDS]]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
seconds="${2:-40}"
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=bench/viewers_lib.sh
source "$root/bench/viewers_lib.sh"
watcher="$build/watch/tarvolen-watch"
work="$(mktemp -d /tmp/tarvolen-watch-bench.XXXXXX)"
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

clip="$work/hd.avi"
# Long enough for the whole run: the sample looped, scaled to 1080p.
ffmpeg -v error -stream_loop 20 -i "$root/samples/vtest.avi" -t $((seconds + 30)) -vf scale=1920:1080,fps=25 \
  -c:v mjpeg -q:v 3 "$clip"

# run VIEWER_FPS...: one watch with a viewer per argument ("-" for none).
run() {
  local dir="$work/run$RANDOM" port=$((20000 + RANDOM % 40000))
  mkdir -p "$dir"
  cat >"$dir/Tarvolen.json" <<JSON
{"Config_Params": {"video_source_init_string": "$clip", "min_object_width": 2, "max_object_width": 400,
  "min_object_height": 2, "max_object_height": 400, "object_detection_criterion": 2, "pixel_deviation": 10,
  "alpha_coeff": 0.01, "num_threads": 2, "num_frames": 30},
 "Event_Recording": {"enabled": true, "folder": "events"},
 "Watch": {"status_file": "status.json", "status_interval_seconds": 1, "web": {"listen": "127.0.0.1:$port"}}}
JSON
  (cd "$dir" && exec "$watcher" >/dev/null 2>"$dir/stderr") &
  local pid=$!
  until grep -q "^Web view" "$dir/stderr" 2>/dev/null; do sleep 0.1; done
  sleep 5  # the loop settles
  local f0
  f0=$(jq .frames_read "$dir/status.json")
  start_viewers "$dir" "$port" "$seconds" "$@"
  sleep "$seconds"
  local f1
  f1=$(jq .frames_read "$dir/status.json")
  [ "${#viewer_pids[@]}" -eq 0 ] || wait "${viewer_pids[@]}" || true
  kill -TERM "$pid"
  wait "$pid" || true
  echo "  watcher: $(awk -v a="$f0" -v b="$f1" -v s="$seconds" 'BEGIN{printf "%.2f", (b-a)/s}') frames/s processed (source 25)"
  report_viewers "$dir" "$seconds" "$@"
}

echo "no viewer, ${seconds} s:"
run -
echo "ten viewers (five asking 25 fps, five 5 fps), ${seconds} s:"
run 25 25 25 25 25 5 5 5 5 5
