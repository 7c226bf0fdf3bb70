#!/usr/bin/env bash
# End-to-end tests of live event recording ("Event_Recording" in
# Tarvolen.json): the real program on a private Xvfb display plays synthetic
# clips whose squares move only in given bursts of frames; the clips, the
# event log, standard output and screenshots are checked.
#   event_recording_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
hashes="$(dirname "${BASH_SOURCE[0]}")/../camera/h264_hashes.py"

# The synthetic clips play at 25 fps; the detector averages 2 frames, so an
# appearing square is confirmed a frame or two after it appears, and a track
# outlives its square by about 22 frames.
fps=25
pre_s=0.4
pre=10  # frames
detect_lag=6    # frames from a square's appearance to the first active frame, at most
linger=40       # frames a track may outlive its square, at most

# with_events DIR EVENT_RECORDING_JSON: adds the object to DIR/Tarvolen.json.
with_events() {
  sed -i '$d' "$1/Tarvolen.json"
  printf '  ,"Event_Recording": %s\n}\n' "$2" >>"$1/Tarvolen.json"
}

# start_bursts FRAMES BURSTS EVENT_RECORDING_JSON: plays a clip with squares in
# BURSTS from a fresh working folder; sets dir, input and clip_file.
start_bursts() {
  clip_file="$work/bursts.avi"
  "$make_clip" "$clip_file" "$clip_width" "$clip_height" "$fps" "$1" "$2" || { fail "make the clip"; return 1; }
  dir="$work/run"
  mkdir -p "$dir"
  write_config "$dir" "$clip_file" 2
  with_events "$dir" "$3"
  start_app "$dir"
  input="$(wait_window "INPUT VIDEO" 20)"
  [ -n "$input" ] || { fail "INPUT VIDEO appears"; return 1; }
}

log_has_lines() { has_lines "$dir/events/events.jsonl" "$1"; }
clip_exists() { has_files "$dir/events/event_*.avi"; }
stdout_has_line() { [ -s "$dir/stdout" ]; }

ms_of() { echo $(($(date -d "$1" +%s%N) / 1000000)); }
frame_png() {  # frame_png VIDEO INDEX OUT.png
  ffmpeg -v error -y -i "$1" -vf "select=eq(n\,$2)" -vframes 1 "$3"
}
bright_in() { "$inspect" bright-pixels "$1" 0 0 "$clip_width" "$clip_height"; }
quit_app() {
  press "$input" Escape
  wait_exit 20
  check "ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
}

# check_event LINE BURST_FIRST BURST_LAST POST: one logged event against its
# clip and the burst of frames that caused it.
check_event() {
  local line="$1" first="$2" last="$3" post="$4"
  local file start_f end_f active objects bbox start end
  file="$(field "$line" file)"; start_f="$(field "$line" start_frame)"; end_f="$(field "$line" end_frame)"
  active="$(field "$line" active_frames)"; objects="$(field "$line" max_objects)"; bbox="$(field "$line" bbox)"
  start="$(field "$line" start)"; end="$(field "$line" end)"
  local f="$dir/events/$file"
  check "$file: named event_DD_MM_YYYY_HH_MM_SS.avi" \
    bash -c "[[ '$file' =~ ^event_[0-9]{2}_[0-9]{2}_[0-9]{4}_[0-9]{2}_[0-9]{2}_[0-9]{2}(_[0-9]+)?\.avi$ ]]"
  [ -f "$f" ] || { fail "$file exists"; return; }
  local frames span=$((end_f - start_f + 1))
  frames="$(probe "$f" nb_read_frames)"
  check "$file: every frame of $start_f..$end_f once ($frames frames)" [ "${frames:-0}" -eq "$span" ]
  check "$file: Motion-JPEG at the clip's 25 fps" \
    [ "$(probe "$f" codec_name) $(probe "$f" r_frame_rate)" = "mjpeg 25/1" ]
  check "$file: starts $pre frames before the first active frame, which follows the burst at $first" \
    [ $((start_f + pre)) -ge "$first" -a $((start_f + pre)) -le $((first + detect_lag)) ]
  check "$file: ends $post frames after the activity that follows the burst's end at $last (ends at $end_f)" \
    [ $((end_f - post)) -ge "$last" -a $((end_f - post)) -le $((last + linger)) ]
  check "$file: $active active frames, at least the burst's and within the span" \
    [ "$active" -ge $((last - first + 1)) -a "$active" -le "$span" ]
  check "$file: at most the two squares at once ($objects)" [ "$objects" -ge 1 -a "$objects" -le 2 ]
  local bx by bw bh
  IFS=, read -r bx by bw bh <<<"$bbox"
  check "$file: bbox [$bbox] inside the frame" \
    [ "$bx" -ge 0 -a "$by" -ge 0 -a $((bx + bw)) -le "$clip_width" -a $((by + bh)) -le "$clip_height" -a "$bw" -gt 0 ]
  check "$file: start and end in local ISO 8601 with milliseconds" \
    bash -c "[[ '$start $end' =~ ^[0-9-]{10}T[0-9:]{8}\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}\ [0-9-]{10}T[0-9:]{8}\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}$ ]]"
  local elapsed=$(($(ms_of "$end") - $(ms_of "$start"))) nominal=$(((end_f - start_f) * 1000 / fps))
  check "$file: $elapsed ms between start and end, at least the $nominal ms the frames take to play" \
    [ "$elapsed" -ge $((nominal * 9 / 10)) -a "$elapsed" -le "$(scaled_ms $((nominal * 4 + 2000)))" ]
  # The clip's pictures: quiet before the burst, squares during it, quiet at the end.
  frame_png "$f" 0 "$work/first.png"
  frame_png "$f" $((first - start_f + 3)) "$work/burst.png"
  check "$file: its first frame is from before the motion" [ "$(bright_in "$work/first.png")" -eq 0 ]
  check "$file: the squares are in it" [ "$(bright_in "$work/burst.png")" -gt 100 ]
  check "$file: its last frame is quiet again" [ "$(bright_in "$f")" -eq 0 ]
}

case_two_bursts() {
  local dir input clip_file
  start_bursts 260 "40-54,140-154" \
    '{"enabled": true, "folder": "events", "pre_seconds": 0.4, "post_seconds": 0.4}' || return
  wait_for 60 log_has_lines 2 || fail "two events are logged while the program runs"
  quit_app
  local clips=("$dir"/events/event_*.avi)
  check "two clips (${clips[*]##*/})" [ "${#clips[@]}" -eq 2 ]
  check "two log lines" [ "$(wc -l <"$dir/events/events.jsonl")" -eq 2 ]
  check_event "$(sed -n 1p "$dir/events/events.jsonl")" 40 54 10
  check_event "$(sed -n 2p "$dir/events/events.jsonl")" 140 154 10
  check "nothing on standard output" [ ! -s "$dir/stdout" ]
}

case_gap_shorter_than_post() {
  local dir input clip_file
  # 50 quiet frames between the bursts, less than pre + post (10 + 40) once
  # the tracks' lingering is added.
  start_bursts 200 "40-54,105-119" \
    '{"enabled": true, "folder": "events", "pre_seconds": 0.4, "post_seconds": 1.6}' || return
  wait_for 60 log_has_lines 1 || fail "the event is logged while the program runs"
  wait_passes 25  # room for a second line, were the bursts split
  quit_app
  local clips=("$dir"/events/event_*.avi)
  check "one clip (${clips[*]##*/})" [ "${#clips[@]}" -eq 1 ]
  check "one log line" [ "$(wc -l <"$dir/events/events.jsonl")" -eq 1 ]
  local line
  line="$(head -n1 "$dir/events/events.jsonl")"
  local start_f end_f active
  start_f="$(field "$line" start_frame)"; end_f="$(field "$line" end_frame)"; active="$(field "$line" active_frames)"
  check "the event spans both bursts ($start_f..$end_f)" \
    [ $((start_f + pre)) -le 46 -a $((end_f - 40)) -ge 119 ]
  check "with quiet frames between them ($active active of $((end_f - start_f + 1)))" \
    [ $((end_f - start_f + 1)) -gt $((pre + active + 40)) ]
  check "every frame once" [ "$(probe "${clips[0]}" nb_read_frames)" -eq $((end_f - start_f + 1)) ]
}

case_escape_mid_event() {
  local dir input clip_file clips
  # Squares move from the first frame to the last.
  start_bursts 250 "0-249" '{"enabled": true, "folder": "events", "pre_seconds": 0.4, "post_seconds": 2}' || return
  wait_for 30 clip_exists || { fail "a clip is started"; return; }
  wait_passes 5
  import -window root "$work/event.png"
  local yellow red
  yellow="$("$inspect" yellow-pixels "$work/event.png" 8 24 60 16)"
  red="$("$inspect" red-pixels "$work/event.png" 8 4 90 30)"
  check "the live view shows EVENT ($yellow yellow pixels)" [ "$yellow" -gt 20 ]
  check "and not RECORDING ($red red pixels)" [ "$red" -lt 5 ]
  # 'r' records beside it, on its own.
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi" || fail "r starts a recording"
  wait_passes 5
  import -window root "$work/both.png"
  yellow="$("$inspect" yellow-pixels "$work/both.png" 8 24 60 16)"
  red="$("$inspect" red-pixels "$work/both.png" 8 4 90 16)"
  check "with 'r', RECORDING ($red red pixels) shows above EVENT ($yellow yellow pixels)" \
    [ "$red" -gt 20 -a "$yellow" -gt 20 ]
  quit_app
  check "a recording of its own" has_files "$dir/record_*.avi"
  check_cut_event "ESC"
  check "the clip carries neither EVENT nor RECORDING" \
    [ "$("$inspect" yellow-pixels "${clips[0]}" 3 20 60 16)" -lt 5 -a "$("$inspect" red-pixels "${clips[0]}" 3 0 90 16)" -lt 5 ]
}

# check_cut_event HOW: the one event, ended by HOW while going on, has a
# finished clip of all its frames and a log line; sets clips.
check_cut_event() {
  clips=("$dir"/events/event_*.avi)
  check "$1: one clip" [ "${#clips[@]}" -eq 1 ]
  check "$1: its log line is written on the way out" [ "$(wc -l <"$dir/events/events.jsonl")" -eq 1 ]
  local line start_f end_f
  line="$(head -n1 "$dir/events/events.jsonl")"
  start_f="$(field "$line" start_frame)"; end_f="$(field "$line" end_frame)"
  check_playable "${clips[0]}" "$1: the clip of frames $start_f..$end_f" $((end_f - start_f + 1))
  check "$1: the clip ends mid-event, squares in view" [ "$(bright_in "${clips[0]}")" -gt 100 ]
}

case_display_lost_mid_event() {
  local dir input clip_file clips
  start_bursts 250 "0-249" '{"enabled": true, "folder": "events", "pre_seconds": 0.4, "post_seconds": 2}' || return
  wait_for 30 clip_exists || { fail "a clip is started"; return; }
  wait_passes 10
  xdotool windowkill "$input" 2>/dev/null
  wait_exit 20
  check_display_lost "a killed display connection"
  check_cut_event "display lost"
}

case_signals_mid_event() {
  local dir input clip_file clips signal
  for signal in TERM INT; do
    rm -rf "$work/run"
    start_bursts 250 "0-249" '{"enabled": true, "folder": "events", "pre_seconds": 0.4, "post_seconds": 2}' ||
      return
    wait_for 30 clip_exists || { fail "SIG$signal: a clip is started"; return; }
    wait_passes 5
    kill -s "$signal" "$app_pid"
    wait_exit 20
    check "SIG$signal ends the program with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
    check_cut_event "SIG$signal"
  done
}

case_unwritable_folder() {
  local dir input clip_file
  # A folder that cannot be made: a regular file stands in its path.
  mkdir -p "$work/run"
  echo "not a folder" >"$work/run/blocker"
  start_bursts 260 "40-54,140-154" '{"enabled": true, "folder": "blocker/events"}' || return
  wait_for 10 stdout_has_line || fail "a line says why event recording is off"
  wait_passes 25  # room for more lines, were there any
  check "one line names the folder ($(cat "$dir/stdout"))" \
    bash -c "[ \"\$(wc -l <'$dir/stdout')\" -eq 1 ] && grep -q '^Event recording off: cannot create the folder blocker/events' '$dir/stdout'"
  check "the program goes on" kill -0 "$app_pid"
  press "$input" r
  wait_for 10 has_files "$dir/record_*.avi"
  wait_passes 5
  press "$input" r
  wait_passes 2
  check "'r' still records" has_files "$dir/record_*.avi"
  quit_app

  # A folder that goes away while the program runs (an unplugged disk).
  rm -rf "$work/run"
  start_bursts 260 "40-54,140-154" '{"enabled": true, "folder": "events"}' || return
  # The windows may show before the folder is made.
  wait_for 20 test -f "$dir/events/events.jsonl" || fail "the folder and the log are made"
  rm -rf "$dir/events"
  wait_for 30 stdout_has_line || fail "a message when the clip cannot be created"
  wait_passes 25  # room for more lines, were there any
  check "one line names the clip ($(cat "$dir/stdout"))" \
    bash -c "[ \"\$(wc -l <'$dir/stdout')\" -eq 1 ] && grep -q '^Event recording off: events/event_.*\.avi: ' '$dir/stdout'"
  check "the program goes on" kill -0 "$app_pid"
  quit_app
}

case_bad_settings() {
  local dir="$work/bad"
  mkdir -p "$dir"
  write_config "$dir" "$work/no-matter.avi"
  with_events "$dir" '{"enabled": false, "folder": "events", "pre_seconds": 45}'
  check_refuses_to_start "a malformed Event_Recording, switched off" \
    "Tarvolen.json: Event_Recording.pre_seconds must be a number from 0 to 30 (got 45)"
}

# Hooks write what they are told to files in the working folder; the source
# is a file whose name would run commands if it were pasted into one.
case_hooks_and_snapshot() {
  local dir input clip_file
  local hook='printf "%s" "$TARVOLEN_EVENT" >HOOK_event; printf "%s" "$TARVOLEN_CLIP" >HOOK_clip; printf "%s" "$TARVOLEN_SNAPSHOT" >HOOK_snapshot; printf "%s" "$TARVOLEN_SOURCE" >HOOK_source; echo HOOK on stdout'
  local on_start="${hook//HOOK/start}" on_end="${hook//HOOK/end}"
  local hostile="$work/clip \$(touch pwned1); 'q' \`touch pwned2\` & touch pwned3.avi"
  "$make_clip" "$hostile" "$clip_width" "$clip_height" "$fps" 200 "40-54" || { fail "make the clip"; return; }
  dir="$work/run"
  mkdir -p "$dir"
  write_config "$dir" "$hostile" 2
  # JSON strings: the commands' double quotes escaped.
  with_events "$dir" "{\"enabled\": true, \"folder\": \"events\", \"pre_seconds\": 0.4, \"post_seconds\": 0.4,
    \"snapshot\": true, \"on_event_start\": \"${on_start//\"/\\\"}\", \"on_event_end\": \"${on_end//\"/\\\"}\"}"
  start_app "$dir"
  input="$(wait_window "INPUT VIDEO" 20)"
  [ -n "$input" ] || { fail "INPUT VIDEO appears"; return; }
  wait_for 60 log_has_lines 1 || fail "the event is logged while the program runs"
  wait_for 10 test -s "$dir/end_event" || fail "the end hook runs while the program runs"
  quit_app
  local line clip stem
  line="$(head -n1 "$dir/events/events.jsonl")"
  clip="$(field "$line" file)"
  stem="${clip%.avi}"
  check "the end hook got the log line" [ "$(cat "$dir/end_event")" = "$line" ]
  check "and the clip's absolute path" [ "$(cat "$dir/end_clip")" = "$dir/events/$clip" ]
  check "and the snapshot's, beside the clip" [ "$(cat "$dir/end_snapshot")" = "$dir/events/$stem.jpg" ]
  check "the start hook got the clip" [ "$(cat "$dir/start_clip")" = "$dir/events/$clip" ]
  check "and the event as it opened ($(cat "$dir/start_event"))" \
    [ "$(cat "$dir/start_event")" = "{\"file\":\"$clip\",\"start\":\"$(field "$line" start)\",\"start_frame\":$(field "$line" start_frame)}" ]
  check "and no snapshot yet" [ ! -s "$dir/start_snapshot" ]
  check "both got the source as configured" \
    [ "$(cat "$dir/start_source")" = "$hostile" -a "$(cat "$dir/end_source")" = "$hostile" ]
  check "no name ran a command" \
    bash -c "! compgen -G '$dir/pwned*' >/dev/null && ! compgen -G '$work/pwned*' >/dev/null"
  local snapshot="$dir/events/$stem.jpg"
  check "the snapshot $stem.jpg is a picture of the frame size" \
    [ "$(identify -format '%m %w %h' "$snapshot" 2>/dev/null)" = "JPEG $clip_width $clip_height" ]
  check "with the squares in it ($(bright_in "$snapshot") bright pixels)" [ "$(bright_in "$snapshot")" -gt 100 ]
  check "the hooks' output is not on standard output" [ ! -s "$dir/stdout" ]
  check "but on standard error" [ "$(grep -c '^\(start\|end\) on stdout$' "$dir/stderr")" -eq 2 ]
}

# Clips older than the age and over the cap go at start, the newest stay;
# the log, other files and a link named like a clip are not touched.
case_retention() {
  local dir input clip_file
  dir="$work/run"
  mkdir -p "$dir/events"
  local e="$dir/events"
  head -c 300000 /dev/zero >"$e/event_01_01_2020_00_00_00.avi"; touch -d '10 days ago' "$e/event_01_01_2020_00_00_00.avi"
  head -c 10000 /dev/zero >"$e/event_01_01_2020_00_00_00.jpg"; touch -d '10 days ago' "$e/event_01_01_2020_00_00_00.jpg"
  head -c 600000 /dev/zero >"$e/event_02_01_2020_00_00_00.avi"; touch -d '3 hours ago' "$e/event_02_01_2020_00_00_00.avi"
  head -c 600000 /dev/zero >"$e/event_03_01_2020_00_00_00.avi"; touch -d '2 hours ago' "$e/event_03_01_2020_00_00_00.avi"
  head -c 600000 /dev/zero >"$e/event_04_01_2020_00_00_00.avi"; touch -d '1 hour ago' "$e/event_04_01_2020_00_00_00.avi"
  echo '{"file":"event_01_01_2020_00_00_00.avi"}' >"$e/events.jsonl"; touch -d '10 days ago' "$e/events.jsonl"
  head -c 900000 /dev/zero >"$work/elsewhere.avi"
  ln -s "$work/elsewhere.avi" "$e/event_05_01_2020_00_00_00.avi"
  start_bursts 200 "40-54" '{"enabled": true, "folder": "events", "pre_seconds": 0.4, "post_seconds": 0.4,
    "max_folder_mb": 1.5, "max_age_days": 2}' || return
  wait_for 60 log_has_lines 2 || fail "the new event is logged"
  quit_app
  check "the clip and snapshot older than 2 days are gone" \
    [ ! -e "$e/event_01_01_2020_00_00_00.avi" -a ! -e "$e/event_01_01_2020_00_00_00.jpg" ]
  check "the oldest of the rest goes for the 1.5 MB cap" [ ! -e "$e/event_02_01_2020_00_00_00.avi" ]
  check "the newer ones stay" [ -f "$e/event_03_01_2020_00_00_00.avi" -a -f "$e/event_04_01_2020_00_00_00.avi" ]
  check "the link stays, its target whole" \
    [ -L "$e/event_05_01_2020_00_00_00.avi" -a "$(stat -c %s "$work/elsewhere.avi")" -eq 900000 ]
  check "the log keeps its lines" [ "$(wc -l <"$e/events.jsonl")" -eq 2 ]
  local new
  new="$(field "$(sed -n 2p "$e/events.jsonl")" file)"
  check "the new clip $new is there" [ -s "$e/$new" ]
  check "one line says what went ($(cat "$dir/stdout"))" \
    [ "$(cat "$dir/stdout")" = "Retention: deleted 2 clips and 1 snapshot (888 KB) older than 2 days and to keep events under 1.5 MB" ]
}

# Copied clips from a file: the coded pictures are the file's own, from a
# keyframe before the event; a camera index, which gives no packets, is refused.
case_copied_clip() {
  local dir input clip_file
  local copy='{"enabled": true, "folder": "events", "format": "copy", "pre_seconds": 0.4, "post_seconds": 0.4}'
  local source="$work/bursts.mp4"
  "$make_clip" "$work/bursts.avi" "$clip_width" "$clip_height" "$fps" 200 "60-74" || { fail "make the clip"; return; }
  ffmpeg -nostdin -v error -y -i "$work/bursts.avi" -c:v libx264 -g 10 -pix_fmt yuv420p "$source" ||
    { fail "encode the clip"; return; }
  dir="$work/run"
  mkdir -p "$dir"
  write_config "$dir" "$source" 2
  with_events "$dir" "$copy"
  start_app "$dir"
  input="$(wait_window "INPUT VIDEO" 20)"
  [ -n "$input" ] || { fail "INPUT VIDEO appears"; return; }
  wait_for 60 log_has_lines 1 || fail "the event is logged while the program runs"
  quit_app
  local line clip start clip_start
  line="$(head -n1 "$dir/events/events.jsonl")"
  clip="$dir/events/$(field "$line" file)"
  start="$(field "$line" start)"; clip_start="$(field "$line" clip_start)"
  check "an MP4 clip ($clip)" [ "${clip##*.}" = mp4 ]
  check "its pictures are a run of the file's, unchanged" python3 "$hashes" --within "$source" "$clip"
  [ -n "$clip_start" ] || { fail "the line has clip_start"; return; }
  local before=$(($(ms_of "$start") - $(ms_of "$clip_start")))
  check "the clip starts at the keyframe within a second before the event ($before ms)" \
    [ "$before" -ge 0 -a "$before" -le 1000 ]

  dir="$work/camera"
  mkdir -p "$dir"
  write_config "$dir" 0 2
  with_events "$dir" "$copy"
  check_refuses_to_start "copied clips from a camera" \
    'Tarvolen.json: Event_Recording.format "copy" needs a stream or a video file as the source (the camera 0 gives frames, not packets)'
}

run_case
