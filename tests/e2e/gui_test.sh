#!/usr/bin/env bash
# End-to-end tests of the tarvolen program on a private Xvfb display, driven
# with xdotool and checked through its output, exit status, recordings and
# screenshots.
#   gui_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"


case_start_failures() {
  local dir
  dir="$work/noconfig"; mkdir -p "$dir"
  check_refuses_to_start "missing configuration" "Configuration params not read"
  dir="$work/badjson"; mkdir -p "$dir"; printf '{"Config_Params": {' >"$dir/Tarvolen.json"
  check_refuses_to_start "malformed configuration" "Configuration params not read"
  dir="$work/nofile"; mkdir -p "$dir"; write_config "$dir" "$work/no-such-video.avi"
  check_refuses_to_start "missing video file" "Video file not open"
  dir="$work/nocamera"; mkdir -p "$dir"; write_config "$dir" "63"
  check_refuses_to_start "absent camera" "Camera not open"
  dir="$work/notanumber"; mkdir -p "$dir"; write_config "$dir" "ab"
  check_refuses_to_start "camera source that is not a number" "Camera not open"
}

case_windows() {
  local dir input mask
  start_on_clip || return
  mask="$(wait_window "EVENT MASK" 10)" || { fail "EVENT MASK appears"; return; }
  wait_passes 10 || fail "the loop runs"
  check "INPUT VIDEO at 5,5 ($(window_position "$input"))" [ "$(window_position "$input")" = "5,5" ]
  check "EVENT MASK at $((clip_width + 10)),5 ($(window_position "$mask"))" \
    [ "$(window_position "$mask")" = "$((clip_width + 10)),5" ]
  import -window root "$work/shot.png"
  local origin
  origin="$("$inspect" find-cyan "$work/shot.png")"
  check "one cyan pixel marks the image origin at 5,5 (found '$origin')" [ "$origin" = "5 5" ]
  local text_red
  text_red="$("$inspect" red-pixels "$work/shot.png" $((5 + clip_width - 200)) 5 190 12)"
  check "processing time drawn in red at the top right ($text_red red pixels)" [ "$text_red" -gt 20 ]
  press "$input" space
  wait_passes 3
  check "space does not record" [ -z "$(ls "$dir"/record_*.avi 2>/dev/null)" ]
  press "$input" Escape
  wait_exit 10
  check "ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  [ -n "${TARVOLEN_SHOT_DIR:-}" ] && cp "$work/shot.png" "$TARVOLEN_SHOT_DIR/windows.png"
  return 0
}

case_recording() {
  local dir input
  start_on_clip || return
  wait_passes 5
  press "$input" r
  local started_ms passes_at_start
  started_ms="$(now_ms)"
  passes_at_start="$(passes)"
  wait_for 10 has_files "$dir/record_*.avi" || fail "r starts a recording"
  wait_passes 10
  import -window root "$work/recording.png"
  local live_red
  live_red="$("$inspect" red-pixels "$work/recording.png" 10 8 90 12)"
  check "the live view shows RECORDING ($live_red red pixels)" [ "$live_red" -gt 20 ]
  wait_passes 25
  press "$input" r
  local recorded_ms passes_recorded
  recorded_ms=$(($(now_ms) - started_ms))
  passes_recorded=$(($(passes) - passes_at_start))
  wait_passes 2
  press "$input" Escape
  wait_exit 10
  check "ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  local files=("$dir"/record_*.avi)
  check "one recording (${#files[@]})" [ "${#files[@]}" -eq 1 -a -f "${files[0]}" ]
  local f="${files[0]}"
  check "name is record_DD_MM_YYYY_HH_MM_SS.avi ($(basename "$f"))" \
    bash -c "[[ '$(basename "$f")' =~ ^record_[0-9]{2}_[0-9]{2}_[0-9]{4}_[0-9]{2}_[0-9]{2}_[0-9]{2}\.avi$ ]]"
  check "Motion-JPEG" [ "$(probe "$f" codec_name)" = "mjpeg" ]
  check "30 frames per second" [ "$(probe "$f" r_frame_rate)" = "30/1" ]
  check "frame size of the source" [ "$(probe "$f" width)x$(probe "$f" height)" = "${clip_width}x${clip_height}" ]
  local frames
  frames="$(probe "$f" nb_read_frames)"
  # One frame per pass: the passes between the two presses, give or take the
  # few before each key was acted on.
  check "one frame per pass ($frames frames, $passes_recorded passes)" \
    [ "${frames:-0}" -ge $((passes_recorded - 4)) -a "${frames:-0}" -le $((passes_recorded + 4)) ]
  # A pass lasts at least one period of the 25 fps clip, however idle the machine.
  local most=$((recorded_ms * 25 / 1000))
  check "no faster than 25 passes a second ($frames frames in $recorded_ms ms)" \
    [ "${frames:-0}" -le $((most * 5 / 4 + 3)) ]
  local file_red
  file_red="$("$inspect" red-pixels "$f" 5 3 90 12)"
  check "the recording does not carry RECORDING ($file_red red pixels)" [ "$file_red" -lt 5 ]
  check "the recording carries the processing time" \
    [ "$("$inspect" red-pixels "$f" $((clip_width - 200)) 3 190 12)" -gt 10 ]
  check "nothing but the recording on standard output" [ ! -s "$dir/stdout" ]
}

case_escape_while_recording() {
  local dir input
  start_on_clip || return
  wait_passes 3
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi" || fail "r starts a recording"
  # Two more recordings in quick succession: none may replace another.
  press "$input" r
  press "$input" r
  wait_passes 15
  press "$input" Escape
  wait_exit 10
  check "ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  local files=("$dir"/record_*.avi)
  check "two separate recordings (${files[*]##*/})" [ "${#files[@]}" -eq 2 ]
  local last
  last="$(ls -t "$dir"/record_*.avi | head -n1)"
  check_playable "$last" "the recording cut short by ESC"
  check "it holds the passes before ESC ($(probe "$last" nb_read_frames) frames)" \
    [ "$(probe "$last" nb_read_frames)" -ge 10 ]
}

# mask_counts SHOT X0 Y0 X1 Y1: takes a screenshot into SHOT and prints the
# event pixels of the shown EVENT MASK outside and inside the region, as
# "OUTSIDE INSIDE".
mask_counts() {
  import -window root "$1"
  "$inspect" mask-outside "$1" $((clip_width + 10)) 5 "$clip_width" "$clip_height" "$2" "$3" "$4" "$5"
}
# events_outside SHOT X0 Y0 X1 Y1: the screenshot in SHOT shows events outside
# the region.
events_outside() { local counts; counts="$(mask_counts "$@")"; [ "${counts%% *}" -gt 0 ]; }
# events_only_inside SHOT X0 Y0 X1 Y1: the screenshot in SHOT shows events
# inside the region and none outside it.
events_only_inside() {
  local counts
  counts="$(mask_counts "$@")"
  [ "${counts%% *}" -eq 0 ] && [ "${counts##* }" -gt 0 ]
}

case_roi_drag() {
  local dir input mask
  start_on_clip 2 || return
  mask="$(wait_window "EVENT MASK" 10)" || { fail "EVENT MASK appears"; return; }
  # Once the detector has learnt the scene, events in the right half too.
  wait_for 20 events_outside "$work/before.png" 0 0 159 239
  local before
  before="$("$inspect" mask-outside "$work/before.png" $((clip_width + 10)) 5 "$clip_width" "$clip_height" 0 0 159 239)"
  check "without a region events show in both halves ($before)" [ "${before%% *}" -gt 0 ]
  # Select the left half, x 20..140 and y 30..220 in image pixels.
  local rx0=20 ry0=30 rx1=140 ry1=220
  xdotool mousemove $((5 + rx0)) $((5 + ry0)) mousedown 1 \
    mousemove $((5 + 80)) $((5 + 100)) mousemove $((5 + rx1)) $((5 + ry1)) mouseup 1
  # The model starts afresh on the drag: events show again inside once it
  # has learnt the scene, and never again outside.
  wait_passes 3
  wait_for 20 events_only_inside "$work/after.png" "$rx0" "$ry0" "$rx1" "$ry1"
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi" || fail "r starts a recording"
  wait_passes 10
  press "$input" r
  wait_passes 2
  press "$input" Escape
  wait_exit 10
  check "ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  local counts
  counts="$("$inspect" mask-outside "$work/after.png" $((clip_width + 10)) 5 "$clip_width" "$clip_height" \
    "$rx0" "$ry0" "$rx1" "$ry1")"
  check "the event mask is black outside the region (outside, inside: $counts)" [ "${counts%% *}" -eq 0 ]
  check "events still show inside the region ($counts)" [ "${counts##* }" -gt 0 ]
  local f
  f="$(ls "$dir"/record_*.avi 2>/dev/null | head -n1)"
  check "recorded after the drag" [ -n "$f" ]
  [ -n "$f" ] && check "the recorded frames carry the cyan region outline" \
    "$inspect" cyan-outline "$f" "$rx0" "$ry0" "$rx1" "$ry1"
  [ -n "${TARVOLEN_SHOT_DIR:-}" ] && cp "$work/after.png" "$TARVOLEN_SHOT_DIR/roi.png"
  return 0
}

case_file_chooser() {
  make_test_clip
  local dir="$work/pick"; mkdir -p "$dir"; write_config "$dir" "open file dialog"
  start_app "$dir"
  local dialog
  dialog="$(wait_window "OPEN VIDEO FILE" 20)" || { fail "a chooser titled OPEN VIDEO FILE appears"; return; }
  pass "a chooser titled OPEN VIDEO FILE appears"
  focus "$dialog"
  xdotool type --delay 5 "$clip"
  xdotool key Return
  local input
  input="$(wait_window "INPUT VIDEO" 20)" || fail "the chosen clip plays"
  check "the chosen path is echoed on its own line" [ "$(head -n1 "$dir/stdout")" = "$clip" ]
  [ -n "$input" ] && press "$input" Escape
  wait_exit 10
  check "ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]

  dir="$work/cancel"; mkdir -p "$dir"; write_config "$dir" "open file dialog"
  start_app "$dir"
  dialog="$(wait_window "OPEN VIDEO FILE" 20)" || { fail "the chooser appears again"; return; }
  focus "$dialog"
  xdotool key Escape
  wait_exit 10
  check "cancel: exit status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "cancel: only 'Video file not open' is printed" [ "$(cat "$dir/stdout")" = "Video file not open" ]
}

case_stalled_source() {
  # A clip of one frame: the loop's rewind to frame index 1 never succeeds.
  "$make_clip" "$work/one.avi" 64 48 25 1 || { fail "make one-frame clip"; return; }
  local dir="$work/stall"; mkdir -p "$dir"; write_config "$dir" "$work/one.avi"
  start_app "$dir"
  wait_exit 30
  check "a source without frames ends with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "and says so" [ "$(cat "$dir/stdout")" = "Video source stopped delivering frames" ]
}

run_case
