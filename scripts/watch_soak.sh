#!/usr/bin/env bash
# Soak test of tarvolen-watch (not part of the test run). A 1920 x 1080
# 30 fps HTTP Motion-JPEG camera on 127.0.0.1 (ffmpeg serving the sample clip,
# scaled and looped) is watched for MINUTES with event recording on; the
# camera drops for DROP seconds every 2 minutes. Every 10 s the watcher's
# resident memory (VmRSS) and its status file are sampled. At the end SIGTERM
# stops it and the report gives: the frames the server sent (ffmpeg's own
# count) against those the watcher read, every clip checked with ffprobe
# against its event's span, the drops said and the returns, and the memory
# after the first minute (lowest, highest, last). Exit status 0 when nothing
# was lost and memory stayed within 10 % of its level after the first minute.
#   scripts/watch_soak.sh [MINUTES [DROP_SECONDS]]    default 30 minutes, 12 s drops
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
minutes="${1:-30}"
drop="${2:-12}"
case "$minutes$drop" in *[!0-9]*) echo "usage: scripts/watch_soak.sh [MINUTES [DROP_SECONDS]]"; exit 2 ;; esac
scripts/fetch-sample.sh >/dev/null
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tarvolen-watch >/dev/null

work="$(mktemp -d /tmp/tarvolen-watch-soak.XXXXXX)"
server=""
watcher_pid=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  [ -n "$watcher_pid" ] && kill -9 "$watcher_pid" 2>/dev/null
  true
}
trap cleanup EXIT

clip="$work/hd.avi"
ffmpeg -v error -stream_loop 3 -i samples/vtest.avi -vf scale=1920:1080,fps=30 -c:v mjpeg -q:v 4 "$clip"
port=$((20000 + RANDOM % 40000))
url="http://127.0.0.1:$port/cam.mjpg"
sent=0

# serve: the camera, until it is stopped; its frames counted from ffmpeg's progress.
serve() {
  ffmpeg -v error -progress "$work/progress.$1" -re -stream_loop -1 -i "$clip" -c copy -f mpjpeg -listen 1 "$url" \
    </dev/null >/dev/null 2>&1 &
  server=$!
}
frames_sent_by() { grep '^frame=' "$work/progress.$1" 2>/dev/null | tail -n1 | cut -d= -f2; }

mkdir -p "$work/watch"
cat >"$work/watch/Tarvolen.json" <<JSON
{"Config_Params": {"video_source_init_string": "$url", "min_object_width": 2, "max_object_width": 400,
  "min_object_height": 2, "max_object_height": 400, "object_detection_criterion": 2, "pixel_deviation": 10,
  "alpha_coeff": 0.01, "num_threads": 2, "num_frames": 30},
 "Event_Recording": {"enabled": true, "folder": "events", "post_seconds": 2},
 "Watch": {"status_file": "status.json", "status_interval_seconds": 1, "source_timeout_seconds": 5,
           "reconnect_max_seconds": 2}}
JSON
serve 0
sleep 1
(cd "$work/watch" && exec "$root/build/watch/tarvolen-watch" >/dev/null 2>"$work/watch/stderr") &
watcher_pid=$!

start=$SECONDS
serving=0
next_drop=$((start + 120))
rss=()
while [ $((SECONDS - start)) -lt $((minutes * 60)) ]; do
  sleep 10
  rss+=("$(awk '/VmRSS/ {print $2}' "/proc/$watcher_pid/status")")
  if [ "$SECONDS" -ge "$next_drop" ]; then
    kill "$server"; wait "$server" 2>/dev/null || true
    sent=$((sent + $(frames_sent_by "$serving")))
    sleep "$drop"
    serving=$((serving + 1))
    serve "$serving"
    next_drop=$((SECONDS + 120))
  fi
done
sleep 3
kill "$server"; wait "$server" 2>/dev/null || true
server=""
sent=$((sent + $(frames_sent_by "$serving")))
sleep 7  # the loss is noticed and the open clip finished
read_frames=$(jq .frames_read "$work/watch/status.json")
kill -TERM "$watcher_pid"; wait "$watcher_pid" || true
watcher_pid=""

bad=0
while IFS= read -r line; do
  file=$(jq -r .file <<<"$line")
  span=$(($(jq .end_frame <<<"$line") - $(jq .start_frame <<<"$line") + 1))
  got=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 \
        "$work/watch/events/$file")
  [ "$got" = "$span" ] || { echo "clip $file: $got frames, event span $span"; bad=$((bad + 1)); }
done <"$work/watch/events/events.jsonl"
events=$(wc -l <"$work/watch/events/events.jsonl")
after_first=("${rss[@]:6}")
low=$(printf '%s\n' "${after_first[@]}" | sort -n | head -n1)
high=$(printf '%s\n' "${after_first[@]}" | sort -n | tail -n1)
last="${rss[-1]}"
base="${after_first[0]}"
echo "minutes: $minutes, drops of ${drop} s: $serving"
echo "frames sent: $sent, read by the watcher: $read_frames ($(awk -v r="$read_frames" -v s="$sent" 'BEGIN{printf "%.2f %%", 100*r/s}'))"
echo "lost said: $(grep -c '^Video source lost' "$work/watch/stderr"), back said: $(grep -c '^Video source back' "$work/watch/stderr")"
echo "events: $events, clips not matching their span: $bad"
echo "VmRSS after the first minute: first ${base} kB, lowest ${low} kB, highest ${high} kB, last ${last} kB"
ok=1
[ "$bad" -eq 0 ] || ok=0
awk -v b="$base" -v l="$low" -v h="$high" 'BEGIN{exit !(l >= 0.9*b && h <= 1.1*b)}' || { echo "memory moved by more than 10 %"; ok=0; }
[ "$ok" -eq 1 ] && { rm -rf "$work"; echo "soak: passed"; } || { echo "soak: FAILED; kept $work"; exit 1; }
