#!/usr/bin/env bash
# End-to-end tests of what happens to recordings and to the program at the
# edges: a full disk, a recording folder that disappears, quit signals, frame
# sizes too large for the machine, and source paths that are no video files.
#   reliability_test.sh BUILD_DIR CASE
# A case that cannot run here (no permission to mount, a sanitizer build)
# exits with status 77, which CTest reports as skipped.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mounted=""
trap 'reliability_cleanup' EXIT
reliability_cleanup() {
  # Machines shared by several test runs have lost displays: say whether ours
  # was still there when something failed.
  if [ "$failures" -gt 0 ] && [ -n "$xvfb_pid" ]; then
    if kill -0 "$xvfb_pid" 2>/dev/null; then echo "the Xvfb of $DISPLAY was still running"; else echo "the Xvfb of $DISPLAY had gone"; fi
  fi
  [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  app_pid=""
  [ -n "$mounted" ] && umount -l "$mounted" 2>/dev/null
  cleanup
}

skip() { echo "SKIP: $*"; exit 77; }

sanitizer_build() { grep -q '^TARVOLEN_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; }

# A 320 x 240 clip of noise at 25 fps: about 50 KB per recorded frame.
make_noise_clip() {
  ffmpeg -v error -y -f lavfi -i "nullsrc=s=320x240:r=25:d=4,geq=lum='random(1)*255':cb=128:cr=128" \
    -c:v mjpeg -q:v 2 "$1" || { echo "cannot make the noise clip"; exit 1; }
}

label_red() {  # red pixels where "RECORDING" is drawn in the live view
  import -window root "$work/label.png"
  "$inspect" red-pixels "$work/label.png" 10 8 90 12
}

# wait_for_line FILE PATTERN SECONDS: the first line of FILE matching PATTERN.
wait_for_line() {
  wait_for "$3" grep -qE "$2" "$1" 2>/dev/null && grep -m1 -E "$2" "$1"
}

# The recording stops with one line and the program goes on; ESC then ends it.
# Sets stopped_line and saved_frames.
expect_recording_stopped() {  # OUT_DIR REASON_PATTERN
  stopped_line="$(wait_for_line "$1/stdout" '^Recording stopped: ' 15)"
  check "one line says the recording stopped ($stopped_line)" [ -n "$stopped_line" ]
  check "it names the file and the reason" \
    matches "$stopped_line" "^Recording stopped: record_[0-9_]{19}\.avi: ($2); [0-9]+ frames saved$"
  saved_frames="$(sed -E 's/.*; ([0-9]+) frames saved$/\1/' <<<"$stopped_line")"
  wait_passes 3
  local red
  red="$(label_red)"
  check "RECORDING is no longer shown ($red red pixels)" [ "$red" -lt 5 ]
  check "the program goes on" kill -0 "$app_pid"
  check "nothing else on standard output" [ "$(wc -l <"$1/stdout")" -eq 1 ]
  press "$input" Escape
  wait_exit 10
  check "ESC then exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
}

case_disk_full() {
  local small="$work/small" out="$work/out"
  mkdir -p "$small" "$out"
  mount -t tmpfs -o size=2m tarvolen-e2e "$small" 2>/dev/null ||
    missing_prerequisite "cannot mount a 2 MB tmpfs here (needs root or CAP_SYS_ADMIN)"
  mounted="$small"
  make_noise_clip "$work/noise.avi"
  write_config "$small" "$work/noise.avi"
  start_app "$small" "$out"
  input="$(wait_window "INPUT VIDEO" 20)" || { fail "INPUT VIDEO appears"; return; }
  wait_passes 3
  press "$input" r
  expect_recording_stopped "$out" 'the disk is nearly full \([0-9.]+ (KB|MB|bytes) left\)'
  local files=("$small"/record_*.avi)
  check "one recording on the small disk" [ "${#files[@]}" -eq 1 -a -f "${files[0]}" ]
  check_playable "${files[0]}" "the recording cut short by the full disk" "$saved_frames"
  local free_kb
  free_kb="$(df -k --output=avail "$small" | tail -n1 | tr -d ' ')"
  check "room was left on the disk (${free_kb} KB)" [ "$free_kb" -gt 0 ]
}

case_folder_removed() {
  local run="$work/rec" out="$work/out"
  mkdir -p "$run" "$out"
  make_test_clip
  write_config "$run" "$clip"
  start_app "$run" "$out"
  input="$(wait_window "INPUT VIDEO" 20)" || { fail "INPUT VIDEO appears"; return; }
  wait_passes 3
  press "$input" r
  wait_for 10 has_files "$run/record_*.avi" || fail "r starts a recording"
  wait_passes 10
  rm -rf "$run"
  expect_recording_stopped "$out" 'its folder was removed|the file was deleted'
}

# signal_while_recording SIGNAL: the signal ends the program as ESC does and
# leaves a finished recording.
signal_while_recording() {
  local dir input
  start_on_clip || return
  wait_passes 3
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi" || fail "r starts a recording"
  wait_passes 20
  kill -s "$1" "$app_pid"
  wait_exit 10
  check "SIG$1 exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "the windows are gone" bash -c '! xdotool search --name "^(INPUT VIDEO|EVENT MASK)$" >/dev/null 2>&1'
  local files=("$dir"/record_*.avi)
  check "one recording" [ "${#files[@]}" -eq 1 -a -f "${files[0]}" ]
  check_playable "${files[0]}" "the recording ended by SIG$1"
  local frames
  frames="$(probe "${files[0]}" nb_read_frames)"
  check "it holds the passes it was open for ($frames frames)" [ "${frames:-0}" -ge 15 ]
  check "nothing on standard output" [ ! -s "$dir/stdout" ]
}

case_sigint_recording() { signal_while_recording INT; }
case_sigterm_recording() { signal_while_recording TERM; }
case_sighup_recording() { signal_while_recording HUP; }

case_signal_while_stalled() {
  # A one-frame clip: after its frame the source stalls for 5 s.
  "$make_clip" "$work/one.avi" 64 48 25 1 || { fail "make one-frame clip"; return; }
  local dir="$work/stall"
  mkdir -p "$dir"
  write_config "$dir" "$work/one.avi"
  start_app "$dir"
  wait_window "INPUT VIDEO" 20 >/dev/null || { fail "INPUT VIDEO appears"; return; }
  # Its one frame shown, the loop waits for the next: no more passes.
  wait_for 10 passes_past 1
  local t0
  t0="$(now_ms)"
  kill -s INT "$app_pid"
  wait_exit 10
  local took=$(($(now_ms) - t0))
  check "SIGINT while the source stalls exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "at once, not after the stall timeout ($took ms)" [ "$took" -le "$(scaled_ms 3000)" ]
  check "without the stall message" [ ! -s "$dir/stdout" ]
}

# Reading a huge frame's header and measuring memory take a while before the
# one-second pause.
refusal_within_ms=10000

# expect_plays LABEL DIR [COMMAND PREFIX...]: the program starts playing, and
# ESC ends it with status 255.
expect_plays() {
  local label="$1" dir="$2" input
  shift 2
  (cd "$dir" && exec "$@" "$app" >"$dir/stdout" 2>"$dir/stderr" </dev/null) &
  app_pid=$!
  input="$(wait_window "INPUT VIDEO" 20)"
  check "$label plays" [ -n "$input" ]
  [ -n "$input" ] && press "$input" Escape
  wait_exit 10
  check "$label: ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
}

case_huge_frame() {
  # A frame size whose buffers need more than this machine's memory (the
  # program takes well over 110 bytes a pixel): refused before any window,
  # whatever the build. FFmpeg decodes frames of up to about 268 million
  # pixels, which bounds the machines this can be shown on.
  local mem_kb side
  mem_kb="$(awk '/^MemTotal:/ {print $2}' /proc/meminfo)"
  side="$(awk -v kb="$mem_kb" 'BEGIN { s = int(sqrt(kb * 1024 / 110)); print s + 16 - s % 16 }')"
  [ "$side" -le 16000 ] ||
    skip "this machine (${mem_kb} kB) can hold the largest frames FFmpeg decodes; huge_frame_address_limit covers the check"
  local dir="$work/huge"
  mkdir -p "$dir"
  ffmpeg -v error -y -f lavfi -i "color=c=gray:s=${side}x${side}:r=25,format=yuvj420p" -frames:v 1 \
    -c:v mjpeg "$work/huge.avi" || { fail "make a ${side}x${side} clip"; return; }
  write_config "$dir" "$work/huge.avi"
  check_refuses_to_start_like "${side}x${side}" \
    "Frame size ${side}x${side} too large: needs about [0-9.]+ GB of memory, [0-9.]+ (GB|MB) available"
}

case_huge_frame_address_limit() {
  # The same under an address-space limit, with a size this machine could
  # otherwise hold; sizes that fit the limit still play.
  sanitizer_build && skip "AddressSanitizer reserves terabytes of address space: no address-space limit fits it"
  local limit=$((3 * 1024 * 1024 * 1024)) dir="$work/limited"
  mkdir -p "$dir"
  ffmpeg -v error -y -f lavfi -i "color=c=gray:s=6000x6000:r=25,format=yuvj420p" -frames:v 1 \
    -c:v mjpeg "$work/big.avi" || { fail "make a 6000x6000 clip"; return; }
  write_config "$dir" "$work/big.avi"
  check_refuses_to_start_like "6000x6000 within 3 GB of address space" \
    "Frame size 6000x6000 too large: (needs about [0-9.]+ GB of memory, [0-9.]+ (GB|MB) available|its buffers cannot be allocated)" \
    prlimit --as="$limit" --
  make_test_clip
  write_config "$dir" "$clip"
  expect_plays "a ${clip_width}x${clip_height} clip within the same limit" "$dir" prlimit --as="$limit" --
}

case_fifo_source() {
  local dir="$work/fifo"
  mkdir -p "$dir"
  mkfifo "$work/pipe.avi"
  write_config "$dir" "$work/pipe.avi"
  check_refuses_to_start "a FIFO without a writer" "Video file not open"
  mkdir -p "$work/folder.avi"
  write_config "$dir" "$work/folder.avi"
  check_refuses_to_start "a directory" "Video file not open"
  write_config "$dir" "/dev/zero"
  check_refuses_to_start "a device that is no camera" "Video file not open"
  # A link to a regular file still plays.
  make_test_clip
  ln -s "$clip" "$work/link.avi"
  write_config "$dir" "$work/link.avi"
  expect_plays "a link to a video file" "$dir"
}

run_case
