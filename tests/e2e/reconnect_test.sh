#!/usr/bin/env bash
# End-to-end tests of the live program on a network camera that drops and
# returns: an HTTP Motion-JPEG stream served by ffmpeg on 127.0.0.1 (a port
# the kernel hands out), killed or stopped and started again by the test.
#   reconnect_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

command -v ffmpeg >/dev/null || missing_prerequisite "ffmpeg is not installed"

timeout_s=5  # the live program's source timeout
fps=25
server_pid=""
port="$(free_port)"
url="http://127.0.0.1:$port/cam.mjpg"

stop_server() {
  [ -n "$server_pid" ] || return 0
  kill -CONT "$server_pid" 2>/dev/null
  kill -9 "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=""
}
trap 'stop_server; cleanup' EXIT


# serve CLIP: the camera, looping CLIP at its rate to one client.
serve() {
  ffmpeg -nostdin -v quiet -re -stream_loop -1 -i "$1" -c:v copy -f mpjpeg -listen 1 "$url" &
  server_pid=$!
  wait_for 10 serving "$port" || fail "the camera serves on port $port"
}

lines_like() { grep -c "$1" "$dir/stdout" 2>/dev/null || true; }
said() { [ "$(lines_like "$1")" -ge "$2" ]; }  # said PATTERN COUNT
clips() { compgen -G "$dir/events/event_*.avi" | wc -l; }
has_clips() { [ "$(clips)" -ge "$1" ]; }
log_lines() { line_count "$dir/events/events.jsonl"; }
has_log_lines() { [ "$(log_lines)" -ge "$1" ]; }
first_frame() { ffmpeg -v error -y -i "$1" -vf "select=eq(n\,0)" -vframes 1 "$2"; }
size_of() { ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$1"; }

# A clip of squares moving on a dark background; with "still", the dark
# background alone.
make_camera_clip() {  # make_camera_clip OUT WIDTH HEIGHT [still]
  if [ "${4:-}" = still ]; then
    "$make_clip" "$1" "$2" "$3" "$fps" 100 1000-1000 || fail "make $1"
  else
    "$make_clip" "$1" "$2" "$3" "$fps" 100 || fail "make $1"
  fi
}
# The same scene in negative: a bright background.
negative_of() { ffmpeg -nostdin -v error -y -i "$1" -vf negate -c:v mjpeg -q:v 3 "$2" || fail "make $2"; }

# start_on_camera: the program in a fresh folder on the camera, events on;
# sets dir and input.
start_on_camera() {
  dir="$work/run"
  mkdir -p "$dir"
  write_config "$dir" "$url" 2
  sed -i '$d' "$dir/Tarvolen.json"
  printf '  ,"Event_Recording": {"enabled": true, "folder": "events", "pre_seconds": 0.4, "post_seconds": 1}\n}\n' \
    >>"$dir/Tarvolen.json"
  start_app "$dir"
  input="$(wait_window "INPUT VIDEO" 20)"
  [ -n "$input" ] || { fail "INPUT VIDEO appears"; return 1; }
}

# drop: the camera goes away; checks the one line within the timeout.
drop() {  # drop COUNT_OF_LOST_LINES_AFTER [kill signal]
  local t0 t1
  t0=$(now_ms)
  if [ "${2:-}" = stop ]; then kill -STOP "$server_pid"; else stop_server; fi
  wait_for 15 said "^Video source lost: $url\$" "$1" || { fail "the drop is said ($(cat "$dir/stdout"))"; return 1; }
  t1=$(now_ms)
  check "the drop is said once the source timeout passed ($((t1 - t0)) ms)" \
    [ $((t1 - t0)) -ge $((timeout_s * 1000 - 500)) -a $((t1 - t0)) -le $(scaled_ms $(((timeout_s + 3) * 1000))) ]
}

windows_up() { xdotool search --onlyvisible --name '^INPUT VIDEO$' >/dev/null && xdotool search --onlyvisible --name '^EVENT MASK$' >/dev/null; }

quit_with_escape() {
  local t0 t1
  t0=$(now_ms)
  press "$input" Escape
  wait_exit 15
  t1=$(now_ms)
  check "ESC during the drop ends the program with 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "promptly ($((t1 - t0)) ms)" [ $((t1 - t0)) -lt $(scaled_ms 6000) ]
}

case_drop_and_return() {
  make_camera_clip "$work/a.avi" "$clip_width" "$clip_height"
  negative_of "$work/a.avi" "$work/b.avi"
  serve "$work/a.avi"
  start_on_camera || return
  press "$input" r
  wait_for 20 has_clips 1 || { fail "an event opens before the drop"; return; }
  drop 1 || return
  check "the event open at the drop is finished and logged" wait_for 5 has_log_lines 1
  check "the windows stay up during the drop" windows_up
  import -window root "$work/lost.png"
  local red
  red="$("$inspect" red-pixels "$work/lost.png" 5 45 200 20)"
  check "INPUT VIDEO says the source is lost ($red red pixels)" [ "${red:-0}" -gt 30 ]
  serve "$work/b.avi"
  wait_for 20 said "^Video source back after [0-9]*\.[0-9] s\$" 1 || { fail "the return is said ($(cat "$dir/stdout"))"; return; }
  local outage
  outage="$(sed -n 's/^Video source back after \([0-9]*\)\.[0-9] s$/\1/p' "$dir/stdout")"
  check "the outage counts the timeout at least (${outage} s)" \
    [ "${outage:-0}" -ge $((timeout_s - 1)) -a "${outage:-999}" -lt "$(scaled 30)" ]
  wait_for 20 has_clips 2 || { fail "an event opens after the return"; return; }
  drop 2 || return
  check "the windows stay up during the second drop" windows_up
  quit_with_escape
  check "each drop ends its event with a log line ($(log_lines))" [ "$(log_lines)" -eq 2 ]
  local line1 line2 clip1 clip2
  line1="$(sed -n 1p "$dir/events/events.jsonl")"; line2="$(sed -n 2p "$dir/events/events.jsonl")"
  clip1="$dir/events/$(field "$line1" file)"; clip2="$dir/events/$(field "$line2" file)"
  for pair in "$line1|$clip1" "$line2|$clip2"; do
    local line="${pair%%|*}" clip="${pair#*|}"
    check_playable "$clip" "$(basename "$clip"), every frame of its event" \
      $(($(field "$line" end_frame) - $(field "$line" start_frame) + 1))
  done
  first_frame "$clip1" "$work/e1.png"; first_frame "$clip2" "$work/e2.png"
  local area=$((clip_width * clip_height)) b1 b2
  b1="$("$inspect" bright-pixels "$work/e1.png" 0 0 "$clip_width" "$clip_height")"
  b2="$("$inspect" bright-pixels "$work/e2.png" 0 0 "$clip_width" "$clip_height")"
  check "the first event is before the drop (dark scene: $b1 bright pixels)" [ "${b1:-$area}" -lt $((area / 4)) ]
  check "the second after the return (bright scene: $b2 bright pixels)" [ "${b2:-0}" -gt $((area / 2)) ]
  local records
  records=("$dir"/record_*.avi)
  check "the r recording is one file through the drop (${#records[@]})" [ "${#records[@]}" -eq 1 ]
  first_frame "${records[0]}" "$work/r1.png"
  local r1 r2 label
  r1="$("$inspect" bright-pixels "$work/r1.png" 0 0 "$clip_width" "$clip_height")"
  r2="$("$inspect" bright-pixels "${records[0]}" 0 0 "$clip_width" "$clip_height")"
  check "it starts before the drop ($r1 bright pixels)" [ "${r1:-$area}" -lt $((area / 4)) ]
  check "and goes on after the return ($r2 bright pixels in its last frame)" [ "${r2:-0}" -gt $((area / 2)) ]
  label="$("$inspect" red-pixels "${records[0]}" 0 40 200 20)"
  check "the lost label is not in the recording ($label red pixels)" [ "${label:-1}" -eq 0 ]
}

case_still_scene_returns() {
  # Squares stand still after the return where the scene before had none:
  # only a detector that kept its model across the drop would see objects.
  make_camera_clip "$work/empty.avi" "$clip_width" "$clip_height" still
  make_camera_clip "$work/moving.avi" "$clip_width" "$clip_height"
  ffmpeg -nostdin -v error -y -i "$work/moving.avi" -vframes 1 "$work/still.png" &&
    ffmpeg -nostdin -v error -y -loop 1 -framerate "$fps" -i "$work/still.png" -t 4 -c:v mjpeg -q:v 3 \
      "$work/squares.avi" || fail "make the still clip"
  serve "$work/empty.avi"
  start_on_camera || return
  wait_for 20 passes_past $((2 * fps)) || { fail "frames arrive"; return; }
  drop 1 || return
  serve "$work/squares.avi"
  wait_for 20 said "^Video source back after" 1 || { fail "the return is said"; return; }
  local back_at
  back_at="$(passes)"
  # Far more than the detector needs to confirm a square (a few frames).
  wait_for 20 passes_past $((back_at + 2 * fps)) || fail "frames arrive after the return"
  press "$input" Escape
  wait_exit 15
  check "ESC ends the program with 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "the return makes no event ($(clips) clips, $(log_lines) log lines)" [ "$(clips)" -eq 0 -a "$(log_lines)" -eq 0 ]
}

case_size_change() {
  make_camera_clip "$work/small.avi" "$clip_width" "$clip_height"
  make_camera_clip "$work/large.avi" 480 360
  serve "$work/small.avi"
  start_on_camera || return
  press "$input" r
  wait_for 20 has_clips 1 || { fail "an event opens before the drop"; return; }
  drop 1 || return
  serve "$work/large.avi"
  wait_for 20 said "^Video source back after" 1 || { fail "the return is said"; return; }
  wait_for 20 has_clips 2 || { fail "an event opens after the return"; return; }
  local geometry
  geometry="$(xdotool getwindowgeometry "$input" | awk '/Geometry/ {print $2}')"
  check "INPUT VIDEO follows the new size ($geometry)" [ "$geometry" = "480x360" ]
  press "$input" Escape
  wait_exit 15
  check "ESC ends the program with 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  local records sizes clip_sizes
  records=("$dir"/record_*.avi)
  check "the recording is finished and a new one started (${#records[@]} files)" [ "${#records[@]}" -eq 2 ]
  sizes="$(for f in "${records[@]}"; do size_of "$f"; done | sort | tr '\n' ' ')"
  check "at each size ($sizes)" [ "$sizes" = "320x240 480x360 " ]
  clip_sizes="$(for f in "$dir"/events/event_*.avi; do size_of "$f"; done | sort -u | tr '\n' ' ')"
  check "event clips at each size ($clip_sizes)" [ "$clip_sizes" = "320x240 480x360 " ]
  check "every event logged ($(log_lines) lines, $(clips) clips)" [ "$(log_lines)" -eq "$(clips)" ]
}

case_stalled_connection() {
  make_camera_clip "$work/a.avi" "$clip_width" "$clip_height"
  serve "$work/a.avi"
  start_on_camera || return
  wait_for 20 passes_past $((2 * fps)) || { fail "frames arrive"; return; }
  # The connection stays open; nothing comes over it.
  drop 1 stop || return
  check "the windows stay up" windows_up
  quit_with_escape
}

run_case
