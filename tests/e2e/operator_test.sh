#!/usr/bin/env bash
# End-to-end tests of how the operator works the program: keys as typed
# (Shift+R, several keys within one pass), closing a window with and without
# a window manager, losing the display, sources larger than the screen, and
# what reaches the terminal.
#   operator_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

close_window="$build/tests/close_window"
live_windows='^(INPUT VIDEO|EVENT MASK)$'

window_size() { xdotool getwindowgeometry "$1" | awk '/Geometry/ {print $2}'; }
recordings() { ls "$dir"/record_*.avi 2>/dev/null; }
recording_count() { recordings | wc -l; }
no_recording_label() {  # the "RECORDING" label at the top left of INPUT VIDEO
  import -window root "$work/label.png"
  [ "$("$inspect" red-pixels "$work/label.png" 10 8 90 12)" -lt 5 ]
}

start_window_manager() {
  openbox --sm-disable >/dev/null 2>&1 &
  wm_pid=$!
  wait_for 10 wmctrl -m >/dev/null 2>&1 && return 0
  fail "openbox starts"
  return 1
}
stop_window_manager() { [ -n "${wm_pid:-}" ] && kill "$wm_pid" 2>/dev/null; wm_pid=""; }

# wait_exit_watching KNOWN_IDS SECONDS: like wait_exit, and fails when a live window
# shows up under an id it did not have before (a window coming back).
wait_exit_watching() {
  local known="$1" seconds="$2" deadline id reappeared=""
  deadline="$(deadline_in "$seconds")"
  while kill -0 "$app_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
    for id in $(xdotool search --onlyvisible --name "$live_windows" 2>/dev/null); do
      grep -qx "$id" <<<"$known" || reappeared="$id"
    done
    sleep 0.05
  done
  wait_exit 1
  check "no window comes back after the close${reappeared:+ (new window $reappeared)}" [ -z "$reappeared" ]
}

# A recording cut short must still be a finished, playable file.
check_finished_recording() {
  local f
  f="$(recordings | head -n1)"
  check "$1: a recording was made" [ -n "$f" ]
  [ -n "$f" ] || return
  check_playable "$f" "$1: the recording"
  check "$1: it holds frames ($(probe "$f" nb_read_frames))" [ "$(probe "$f" nb_read_frames)" -ge 5 ]
}

case_shift_r() {
  local dir input
  start_on_clip || return
  wait_passes 5
  # Three ways of typing an upper-case R; each reaches Qt as Shift + R.
  press "$input" shift+r
  xdotool key R type R 2>/dev/null
  wait_passes 5
  check "Shift+R starts no recording ($(recording_count) files)" [ "$(recording_count)" -eq 0 ]
  check "and the live view shows no RECORDING" no_recording_label
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi"
  check "lower-case r still records ($(recording_count) file)" [ "$(recording_count)" -eq 1 ]
  press "$input" shift+r
  wait_passes 3
  press "$input" r
  wait_passes 2
  press "$input" Escape
  wait_exit 10
  check "ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "Shift+R neither stopped nor restarted it: one recording" [ "$(recording_count)" -eq 1 ]
  check "nothing on standard output" [ ! -s "$dir/stdout" ]
}

case_keys_in_one_pass() {
  # At 2 frames per second a pass lasts 500 ms, nearly all of it in the frame
  # pacing, so keys typed 30 ms apart arrive within the same pass (or, on a
  # busy machine, at most one pass apart).
  "$make_clip" "$work/slow.avi" 320 240 2 20 || { fail "make slow clip"; return; }
  dir="$work/slow"; mkdir -p "$dir"; write_config "$dir" "$work/slow.avi"
  start_app "$dir"
  local input
  input="$(wait_window "INPUT VIDEO" 20)" || { fail "INPUT VIDEO appears"; return; }
  wait_passes 2
  focus "$input"
  xdotool key --delay 30 r r
  wait_passes 2
  local size1 size2
  size1="$(stat -c %s "$(recordings | head -n1)" 2>/dev/null)"
  wait_passes 3
  size2="$(stat -c %s "$(recordings | head -n1)" 2>/dev/null)"
  check "r typed twice: one recording, started and stopped ($(recording_count) file)" \
    [ "$(recording_count)" -eq 1 ]
  check "no frames are added afterwards (size $size1 then $size2)" [ -n "$size1" -a "$size1" = "$size2" ]
  check "the live view shows no RECORDING" no_recording_label
  # A reset and a recording in one pass: both act.
  xdotool key --delay 30 space r
  wait_passes 3
  check "space then r in one pass: the r still records ($(recording_count) files)" [ "$(recording_count)" -eq 2 ]
  xdotool key --delay 30 r Escape r
  wait_exit 10
  check "keys after ESC in the same pass are not acted on: exit 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "and no third recording ($(recording_count) files)" [ "$(recording_count)" -eq 2 ]
  local first second
  first="$(recordings | head -n1)"
  second="$(recordings | tail -n1)"
  local between
  between="$(probe "$first" nb_read_frames)"
  [ "$between" = N/A ] && between=0  # ffprobe's count of a file without frames
  check "r twice records at most the one pass between the keys ($between frames)" [ "$between" -le 1 ]
  check_playable "$second" "the recording ended by r before ESC"
  check "it holds the passes it was open for ($(probe "$second" nb_read_frames) frames)" \
    [ "$(probe "$second" nb_read_frames)" -ge 3 ]
}

# close_case HOW WINDOW: closes one live window while recording and expects
# the program to end like ESC.
close_case() {
  local how="$1" name="$2" dir input target known
  start_on_clip || return
  wait_passes 3
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi" || fail "r starts a recording"
  wait_passes 10
  target="$(wait_window "$name" 5)" || { fail "$name appears"; return; }
  known="$(xdotool search --onlyvisible --name "$live_windows" 2>/dev/null)"
  case "$how" in
    wm) wmctrl -c "$name" ;;
    delete) "$close_window" delete "$target" ;;
  esac
  wait_exit_watching "$known" 10
  check "closing $name ($how) ends the program with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "nothing on standard output" [ ! -s "$dir/stdout" ]
  check "no window is left" [ -z "$(xdotool search --name "$live_windows" 2>/dev/null)" ]
  check_finished_recording "closing $name"
}

case_close_input_with_wm() { start_window_manager && close_case wm "INPUT VIDEO"; stop_window_manager; }
case_close_mask_with_wm() { start_window_manager && close_case wm "EVENT MASK"; stop_window_manager; }
case_close_input_without_wm() { close_case delete "INPUT VIDEO"; }
case_close_mask_without_wm() { close_case delete "EVENT MASK"; }

case_display_killed() {
  # The X server drops the program's connection (xkill, a crashed session).
  local dir input
  start_on_clip || return
  wait_passes 3
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi" || fail "r starts a recording"
  wait_passes 10
  xdotool windowkill "$input" 2>/dev/null
  wait_exit 10
  check_display_lost "a killed display connection"
  check_finished_recording "display killed"
}

case_display_server_gone() {
  # The X server itself goes away in the middle of a recording.
  local dir input
  start_on_clip || return
  wait_passes 3
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi" || fail "r starts a recording"
  wait_passes 10
  kill "$xvfb_pid"
  xvfb_pid=""
  wait_exit 10
  check_display_lost "a display that goes away"
  check "nothing on standard error" [ ! -s "$dir/stderr" ]
  check_finished_recording "display gone"
}

case_large_source() {
  # A 1920 x 1080 clip on the 1600 x 900 test display: both windows are
  # scaled by 795 / 1920 to 795 x 447.
  local fw=1920 fh=1080 sw=795 sh=447
  "$make_clip" "$work/hd.avi" "$fw" "$fh" 10 60 || { fail "make 1080p clip"; return; }
  dir="$work/hd"; mkdir -p "$dir"; write_config "$dir" "$work/hd.avi" 2
  start_app "$dir"
  local input mask
  input="$(wait_window "INPUT VIDEO" 30)" || { fail "INPUT VIDEO appears"; return; }
  mask="$(wait_window "EVENT MASK" 10)" || { fail "EVENT MASK appears"; return; }
  wait_passes 3
  check "INPUT VIDEO at 5,5 ($(window_position "$input"))" [ "$(window_position "$input")" = "5,5" ]
  check "INPUT VIDEO scaled to ${sw}x${sh} ($(window_size "$input"))" [ "$(window_size "$input")" = "${sw}x${sh}" ]
  check "EVENT MASK at $((sw + 10)),5 ($(window_position "$mask"))" \
    [ "$(window_position "$mask")" = "$((sw + 10)),5" ]
  check "EVENT MASK scaled alike ($(window_size "$mask"))" [ "$(window_size "$mask")" = "${sw}x${sh}" ]
  check "both windows lie on the screen" [ $((sw + 10 + sw)) -le 1600 -a $((5 + sh)) -le 900 ]
  # Drag from (20, 50) to (300, 200) in the shown image, around the path of
  # the clip's left square. The shown corner pixels map to the frame's corner
  # pixels: x * 1919 / 794, y * 1079 / 446.
  local sx0=20 sy0=50 sx1=300 sy1=200
  xdotool mousemove $((5 + sx0)) $((5 + sy0)) mousedown 1 \
    mousemove $((5 + 200)) $((5 + 120)) mousemove $((5 + sx1)) $((5 + sy1)) mouseup 1
  local rx0 ry0 rx1 ry1
  read -r rx0 ry0 rx1 ry1 < <(awk -v a=$sx0 -v b=$sy0 -v c=$sx1 -v d=$sy1 \
    'function r(v) { return int(v + 0.5) } BEGIN { print r(a*1919/794), r(b*1079/446), r(c*1919/794), r(d*1079/446) }')
  # The model starts afresh on the drag: events show again inside once it
  # has learnt the scene, and never again outside. The shown mask is the
  # scaled event mask; leave a pixel for the scaling's blur.
  shown_counts() {
    import -window root "$work/hd.png"
    "$inspect" mask-outside "$work/hd.png" $((sw + 10)) 5 "$sw" "$sh" \
      $((sx0 - 1)) $((sy0 - 1)) $((sx1 + 1)) $((sy1 + 1))
  }
  only_inside() { local c; c="$(shown_counts)"; [ "${c%% *}" -eq 0 ] && [ "${c##* }" -gt 0 ]; }
  wait_passes 3
  wait_for 30 only_inside
  local counts
  counts="$("$inspect" mask-outside "$work/hd.png" $((sw + 10)) 5 "$sw" "$sh" \
    $((sx0 - 1)) $((sy0 - 1)) $((sx1 + 1)) $((sy1 + 1)))"
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi" || fail "r starts a recording"
  wait_passes 5
  press "$input" r
  wait_passes 2
  press "$input" Escape
  wait_exit 20
  check "ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "the shown event mask is black outside the dragged region (outside, inside: $counts)" \
    [ "${counts%% *}" -eq 0 ]
  check "events show inside it ($counts)" [ "${counts##* }" -gt 0 ]
  local f
  f="$(recordings | head -n1)"
  check "recorded after the drag" [ -n "$f" ]
  [ -n "$f" ] || return
  check "the recording keeps the full frame size ($(probe "$f" width)x$(probe "$f" height))" \
    [ "$(probe "$f" width)x$(probe "$f" height)" = "${fw}x${fh}" ]
  check "its cyan outline is the frame region ($rx0,$ry0)-($rx1,$ry1)" \
    "$inspect" cyan-outline "$f" "$rx0" "$ry0" "$rx1" "$ry1"
  check "and not one pixel further out" bash -c "! '$inspect' cyan-outline '$f' $((rx0 - 1)) $((ry0 - 1)) $((rx1 + 1)) $((ry1 + 1)) >/dev/null"
  [ -n "${TARVOLEN_SHOT_DIR:-}" ] && cp "$work/hd.png" "$TARVOLEN_SHOT_DIR/large_source.png"
  return 0
}

# frame_box ID: the window with its window manager's frame, as LEFT TOP
# RIGHT BOTTOM screen coordinates (the right and bottom ones past the edge).
frame_box() {
  local x y w h l=0 r=0 t=0 b=0 extents
  read -r x y w h < <(xwininfo -id "$1" | awk '/Absolute upper-left X/ {x = $4} /Absolute upper-left Y/ {y = $4}
    /Width:/ {w = $2} /Height:/ {h = $2} END {print x, y, w, h}')
  extents="$(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.* = //p' | tr -d ' ')"
  [ -n "$extents" ] && IFS=, read -r l r t b <<<"$extents"
  echo $((x - l)) $((y - t)) $((x + w + r)) $((y + h + b)) "$w" "$h" $((l + r))
}

# fits_with LABEL EXPECTED_SIZE: plays $work/hd.avi on the 1920 x 1200
# screen and checks that both windows, frames included, lie on it, in their
# places, scaled by one factor no further than the frames need (and at
# EXPECTED_SIZE, when given).
fits_with() {
  local label="$1" expected="$2" input mask
  dir="$work/fit-${label// /-}"; mkdir -p "$dir"; write_config "$dir" "$work/hd.avi" 2
  start_app "$dir"
  input="$(wait_window "INPUT VIDEO" 30)" || { fail "$label: INPUT VIDEO appears"; return; }
  mask="$(wait_window "EVENT MASK" 10)" || { fail "$label: EVENT MASK appears"; return; }
  # Placed once the window manager (if any) has framed them and the program
  # has measured the frames.
  placed() {
    local il it w ml mt
    read -r il it _ _ w _ _ < <(frame_box "$input")
    read -r ml mt _ < <(frame_box "$mask")
    [ "$il,$it" = "5,5" ] && [ "$ml,$mt" = "$((w + 10)),5" ]
  }
  wait_for 20 placed
  local il it ir ib w h im ml mt mr mb mw mh
  read -r il it ir ib w h _ < <(frame_box "$input")
  read -r ml mt mr mb mw mh im < <(frame_box "$mask")
  echo "  $label: INPUT VIDEO framed $il,$it-$ir,$ib; EVENT MASK framed $ml,$mt-$mr,$mb; shown ${w}x${h}"
  check "$label: INPUT VIDEO's frame at 5,5 ($il,$it)" [ "$il,$it" = "5,5" ]
  check "$label: EVENT MASK's frame at the shown width + 10 ($ml,$mt)" [ "$ml,$mt" = "$((w + 10)),5" ]
  check "$label: both frames end inside the 1920 x 1200 screen ($ir,$ib and $mr,$mb)" \
    [ "$ir" -le 1920 -a "$mr" -le 1920 -a "$ib" -le 1200 -a "$mb" -le 1200 ]
  check "$label: both shown alike (${w}x${h}, ${mw}x${mh})" [ "${w}x${h}" = "${mw}x${mh}" ]
  check "$label: one factor, 1920 x 1080's shape (${w}x${h})" [ $((w * 1080 / 1920 - h)) -ge -1 -a $((w * 1080 / 1920 - h)) -le 1 ]
  check "$label: no smaller than the frames need (2 x $((w + 1)) + 10 + $im > 1920)" [ $((2 * (w + 1) + 10 + im)) -gt 1920 ]
  [ -z "$expected" ] || check "$label: shown at $expected (${w}x${h})" [ "${w}x${h}" = "$expected" ]
  [ -n "${TARVOLEN_SHOT_DIR:-}" ] && import -window root "$TARVOLEN_SHOT_DIR/fits_screen_${label// /_}.png"
  press "$input" Escape
  wait_exit 20
  check "$label: ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
}

case_fits_screen() {
  # A 1920 x 1080 clip on a 1920 x 1200 screen: bare, the windows just fit
  # side by side at 955 x 537; a window manager's frames need room too.
  kill "$xvfb_pid"
  wait "$xvfb_pid" 2>/dev/null
  start_display 1920x1200
  "$make_clip" "$work/hd.avi" 1920 1080 10 60 || { fail "make 1080p clip"; return; }
  fits_with "no window manager" 955x537
  start_window_manager && fits_with "openbox" ""
  stop_window_manager
  return 0
}

case_quiet_terminal() {
  # Without XDG_RUNTIME_DIR Qt has a notice about it; OpenCV's back ends
  # report every failed open. The operator sees the program's one line.
  unset XDG_RUNTIME_DIR
  local dir
  dir="$work/missing"; mkdir -p "$dir"; write_config "$dir" "$work/no-such-video.avi"
  check_refuses_to_start "missing file" "Video file not open"
  dir="$work/text"; mkdir -p "$dir"; echo "not a video" >"$dir/notes.avi"; write_config "$dir" "$dir/notes.avi"
  check_refuses_to_start "a text file" "Video file not open"
  dir="$work/folder"; mkdir -p "$dir/sub.avi"; write_config "$dir" "$dir/sub.avi"
  check_refuses_to_start "a folder" "Video file not open"
  dir="$work/camera"; mkdir -p "$dir"; write_config "$dir" "63"
  check_refuses_to_start "absent camera" "Camera not open"
  local input
  start_on_clip || return
  wait_passes 5
  press "$input" Escape
  wait_exit 10
  check "a whole run: exit 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "a whole run: nothing on standard error" [ ! -s "$dir/stderr" ]
  [ -s "$dir/stderr" ] && head -n5 "$dir/stderr"
  return 0
}

run_case
