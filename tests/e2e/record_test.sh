#!/usr/bin/env bash
# End-to-end tests of tarvolen-watch recording what a camera sends: the test
# camera (tests/camera) serves a 1920x1080 main stream with sound and a
# 640x360 sub stream of one scene on 127.0.0.1; the watcher detects on the
# sub stream and copies the main stream's packets into its clips. No display
# is used.
#   record_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=tests/camera/camera_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../camera/camera_lib.sh"

why="$(camera_missing)"
[ -z "$why" ] || missing_prerequisite "$why"
command -v jq >/dev/null || missing_prerequisite "jq is not installed"

watcher="$build/watch/tarvolen-watch"
hashes="$camera_dir/h264_hashes.py"
# The scene, looped by the camera: a box crosses it from 3 s to 6 s of every
# 12 s, so that an event ends (its tracks fade, post-capture passes) well
# before the next crossing. A keyframe every second in both streams.
scene_seconds=12
crossing=3-6
gop=15
watch_pid=""
trap 'kill -9 $watch_pid 2>/dev/null; stop_cameras; cleanup' EXIT

# make_scene [SECONDS CROSSING]: the scene, or a longer one.
make_scene() {
  make_streams walk "$work/streams" --seconds "${1:-$scene_seconds}" --walk "${2:-$crossing}" --main-gop "$gop" \
    --sub-gop "$gop" >"$work/streams.log" 2>&1 || { echo "cannot make the streams: $(tail -3 "$work/streams.log")"; exit 1; }
}

# record_config DIR SOURCE RECORD_SOURCE: copied clips of the box, which is
# 27 x 72 pixels on the sub stream, from a second of pre-capture on.
record_config() {
  mkdir -p "$1"
  write_config "$1" "$2" 2
  jq --arg record "$3" '.Config_Params.max_object_width = 128 | .Config_Params.max_object_height = 128
    | .Event_Recording = {enabled: true, folder: "events", format: "copy", pre_seconds: 1, post_seconds: 1,
                          snapshot: true}
    | .Watch = ({source_timeout_seconds: 3, reconnect_max_seconds: 2}
                + if $record == "" then {} else {record_source: $record} end)' \
    "$1/Tarvolen.json" >"$1/config.json" && mv "$1/config.json" "$1/Tarvolen.json"
}

start_watch() {
  (cd "$1" && exec "$watcher" >"$1/stdout" 2>"$1/stderr" </dev/null) &
  watch_pid=$!
  app_pid=$watch_pid
}

# logged DIR COUNT: the log has COUNT lines.
logged() { has_lines "$1/events/events.jsonl" "$2"; }
line_of() { sed -n "${2}p" "$1/events/events.jsonl"; }
stop_watch() {
  kill -TERM "$watch_pid" 2>/dev/null
  wait_exit 30
  watch_pid=""
  check "SIGTERM ends the watch with status 0 (got $app_rc)" [ "$app_rc" -eq 0 ]
}

# check_copied DIR LINE WIDTH HEIGHT [SOUND]: the clip of the log line is the
# stream's own packets: its codec and size, its sound, a keyframe first, the
# event's frames covered, every frame decoding; the boxes beside it in its
# pixels.
check_copied() {
  local dir="$1" line="$2" width="$3" height="$4" sound="${5:-}" file clip
  file="$(jq -r .file <<<"$line")"
  clip="$dir/events/$file"
  check "$file: MP4, as H.264 and AAC fit it" [ "${file##*.}" = mp4 ]
  local video
  video="$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height -of csv=p=0 "$clip")"
  check "$file: H.264 at ${width}x$height ($video)" [ "$video" = "h264,$width,$height" ]
  if [ -n "$sound" ]; then
    check "$file: the sound is kept" [ "$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name \
      -of csv=p=0 "$clip")" = aac ]
  fi
  check "$file: it starts on a keyframe" [ "$(ffprobe -v error -select_streams v:0 -show_entries packet=flags \
    -read_intervals '%+#1' -of csv=p=0 "$clip" | head -c 1)" = K ]
  local errors
  errors="$(ffmpeg -nostdin -v error -i "$clip" -f null - 2>&1 | head -n 3)"
  check "$file: every frame decodes ('$errors')" [ -z "$errors" ]
  # The clip runs from clip_start for its duration; the event lies within.
  local start end clip_start duration
  start="$(date -d "$(jq -r .start <<<"$line")" +%s%3N)"
  end="$(date -d "$(jq -r .end <<<"$line")" +%s%3N)"
  clip_start="$(date -d "$(jq -r .clip_start <<<"$line")" +%s%3N)"
  duration="$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$clip" | awk '{printf "%d", $1 * 1000}')"
  check "$file: it starts at or before the event ($clip_start <= $start)" [ "$clip_start" -le "$start" ]
  check "$file: less than two keyframe periods before it" [ $((start - clip_start)) -lt 2000 ]
  check "$file: it lasts to the event's end ($clip_start + $duration >= $end)" \
    [ $((clip_start + duration + 1000 / 15)) -ge "$end" ]
  local boxes="${clip%.mp4}.boxes.json"
  check "$file: its boxes are beside it, in its pixels" \
    jq -e --argjson w "$width" --argjson h "$height" '.width == $w and .height == $h and (.frames | length) > 10
      and ([.frames[].boxes[] | select(.[0] + .[2] > $w or .[1] + .[3] > $h)] | length) == 0
      and ([.frames[].boxes[]] | length) > 0' "$boxes"
}

# The box is a fifth of the frame's height, its middle at three fifths: the
# event's box, in the clip's pixels, holds its rows (a pixel of slack at a
# side, as the detector's erosion takes).
check_bbox() {
  local line="$1" width="$2" height="$3" x y w h slack=$(($3 / 100 + 1))
  read -r x y w h < <(jq -r '.bbox | @tsv' <<<"$line")
  check "bbox $x $y $w $h in the clip's ${width}x$height pixels" [ "$x" -ge 0 -a $((x + w)) -le "$width" ]
  check "bbox $x $y $w $h holds the box's rows" \
    [ "$y" -le $((height / 2 + slack)) -a $((y + h)) -ge $((height * 7 / 10 - slack)) -a $((y + h)) -le "$height" ]
}

case_copied_from_main() {
  make_scene
  start_camera "$work" "/main=$work/streams/main.mp4" "/sub=$work/streams/sub.mp4" || { fail "the camera starts"; return; }
  local dir="$work/cam"
  record_config "$dir" "$camera_url/sub" "$camera_url/main"
  start_watch "$dir"
  wait_for $((3 * scene_seconds)) logged "$dir" 1 || fail "an event is logged ($(cat "$dir/stderr"))"
  stop_watch
  local line
  line="$(line_of "$dir" 1)"
  check "copied from the record stream ($line)" [ "$(jq -r .clip_stream <<<"$line")" = record ]
  check_copied "$dir" "$line" 1920 1080 sound
  check_bbox "$line" 1920 1080
  check "the clip's pictures are the main stream's own ($(/usr/bin/python3 "$hashes" --within \
    "$work/streams/main.mp4" "$dir/events/$(jq -r .file <<<"$line")" 2>&1 | tail -1))" \
    /usr/bin/python3 "$hashes" --within "$work/streams/main.mp4" "$dir/events/$(jq -r .file <<<"$line")"
  check "a snapshot beside it" [ -s "$dir/events/$(jq -r '.file | sub("\\.mp4$"; ".jpg")' <<<"$line")" ]
}

# SIGKILL in the middle of an event, then a restart: the clip plays up to
# its last fragment and gets its line, interrupted. The box takes 24 s to
# cross, so that a slow machine still kills the watcher while the event is
# open.
case_killed_mid_event() {
  make_scene 30 3-27
  start_camera "$work" "/main=$work/streams/main.mp4" "/sub=$work/streams/sub.mp4" || { fail "the camera starts"; return; }
  local dir="$work/cam"
  record_config "$dir" "$camera_url/sub" "$camera_url/main"
  start_watch "$dir"
  # Two seconds of fragments once the event's clip is there.
  clip_grown() { local c=("$dir"/events/event_*.mp4); [ -f "${c[0]}" ] && [ "$(stat -c %s "${c[0]}")" -gt 1000000 ]; }
  wait_for 90 clip_grown || fail "an event's clip is being written"
  kill -KILL "$watch_pid"
  wait "$watch_pid" 2>/dev/null
  watch_pid=""
  check "nothing logged before the restart" [ "$(line_count "$dir/events/events.jsonl")" -eq 0 ]
  start_watch "$dir"
  wait_for 20 logged "$dir" 1 || fail "the restart logs the clip"
  stop_watch
  local line clip
  line="$(line_of "$dir" 1)"
  clip="$dir/events/$(jq -r .file <<<"$line")"
  check "its line says interrupted ($line)" jq -e '.interrupted == true and (.start | length) > 0' <<<"$line"
  local errors frames
  errors="$(ffmpeg -nostdin -v error -i "$clip" -f null - 2>&1 | head -n 3)"
  frames="$(probe "$clip" nb_read_frames)"
  check "the clip plays to its end ('$errors')" [ -z "$errors" ]
  check "with the seconds written before the kill ($frames frames)" [ "${frames:-0}" -ge 15 ]
  check "and no clip is left unnamed" [ "$(find "$dir/events" -name 'event_*.mp4' | wc -l)" -eq \
    "$(jq -r .file "$dir/events/events.jsonl" | sort -u | wc -l)" ]
}

# The main stream drops while the sub stream stays: events go on, their
# clips copied from the sub stream, and the main stream is back on its own.
case_main_drops() {
  make_scene
  start_camera "$work" "/sub=$work/streams/sub.mp4" || { fail "the sub camera starts"; return; }
  local sub_url="$camera_url" origin="$camera_origin"
  mkdir -p "$work/main"
  start_camera "$work/main" --origin "$origin" "/main=$work/streams/main.mp4" || { fail "the main camera starts"; return; }
  local main_pid="$camera_pid" main_port="$camera_port" dir="$work/cam"
  record_config "$dir" "$sub_url/sub" "rtsp://127.0.0.1:$main_port/main"
  start_watch "$dir"
  wait_for 20 grep -q '^Watching' "$dir/stderr" || fail "the watch starts"
  stop_camera "$main_pid"
  wait_for 20 grep -qx "Record source lost: rtsp://127.0.0.1:$main_port/main" "$dir/stderr" ||
    fail "the main stream's loss is said"
  wait_for $((3 * scene_seconds)) logged "$dir" 1 || fail "an event is logged meanwhile"
  local line
  line="$(line_of "$dir" 1)"
  check "its clip is copied from the detected stream ($line)" [ "$(jq -r .clip_stream <<<"$line")" = detect ]
  check_copied "$dir" "$line" 640 360
  check_bbox "$line" 640 360
  start_camera "$work/main" --port "$main_port" --origin "$origin" "/main=$work/streams/main.mp4" ||
    fail "the main camera comes back"
  wait_for 20 grep -qE '^Record source back after [0-9]+\.[0-9] s$' "$dir/stderr" || fail "its return is said"
  stop_watch
  check "the detected stream was never lost" bash -c "! grep -q '^Video source lost' '$dir/stderr'"
}

run_case_without_display "$watcher"
