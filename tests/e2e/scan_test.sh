#!/usr/bin/env bash
# End-to-end tests of tarvolen-scan on synthetic clips: events against the
# rules, clips, the contact sheet, bad input and exit statuses, signals and
# the GNU parallel recipe. The scan needs no display.
#   scan_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

scan="$build/scan/tarvolen-scan"
sample="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/samples/vtest.avi"
fps=25
# Two bursts of motion, 40-79 and 200-239, in 12 s: the detector's activity
# after each lasts well under the quiet gap between them.
bursts_clip="$work/bursts.avi"
make_bursts_clip() {
  [ -s "$bursts_clip" ] && return 0
  "$make_clip" "$bursts_clip" 320 240 "$fps" 300 40-79,200-239 || { echo "cannot make clip"; exit 1; }
}
# Fast reacting detector, so that short clips give clear events.
detector_args=(--set num_frames=5)

# run_scan DIR ARGS...: runs the scan in DIR; sets scan_rc, output in DIR/stdout, DIR/stderr.
run_scan() {
  local dir="$1"; shift
  mkdir -p "$dir"
  (cd "$dir" && exec "$scan" "$@" >"$dir/stdout" 2>"$dir/stderr" </dev/null)
  scan_rc=$?
}

# spans FILE: "start end" per event line
spans() { while IFS= read -r line; do echo "$(field "$line" start_frame) $(field "$line" end_frame)"; done <"$1"; }

# apply_rules PRE POST LAST < raw runs: the padded, merged spans, as the rules say.
apply_rules() {
  local pre=$1 post=$2 last=$3 a b s e cur_s=-1 cur_e=-1
  while read -r a b; do
    s=$((a - pre)); [ $s -lt 0 ] && s=0
    e=$((b + post)); [ $e -gt "$last" ] && e=$last
    if [ $cur_s -ge 0 ] && [ $s -le $((cur_e + 1)) ]; then
      [ $e -gt $cur_e ] && cur_e=$e
    else
      [ $cur_s -ge 0 ] && echo "$cur_s $cur_e"
      cur_s=$s; cur_e=$e
    fi
  done
  [ $cur_s -ge 0 ] && echo "$cur_s $cur_e"
}

frames_of() { probe "$1" nb_read_frames; }

case_events() {
  make_bursts_clip
  local raw="$work/raw" padded="$work/padded"
  # With no padding the events are the detector's runs of active frames.
  run_scan "$raw" "${detector_args[@]}" --pre 0 --post 0 "$bursts_clip"
  check "unpadded scan exits 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  local runs
  runs="$(spans "$raw/bursts.events.jsonl")"
  check "two runs of activity, one per burst: $(tr '\n' ' ' <<<"$runs")" [ "$(wc -l <<<"$runs")" -eq 2 ]
  read -r a1 b1 <<<"$(sed -n 1p <<<"$runs")"
  read -r a2 b2 <<<"$(sed -n 2p <<<"$runs")"
  check "the first run starts within the first burst ($a1)" [ "$a1" -ge 40 -a "$a1" -le 79 ]
  check "the second run starts within the second burst ($a2)" [ "$a2" -ge 200 -a "$a2" -le 239 ]

  # 0.8 s and 1.2 s at 25 fps: 20 frames before, 30 after.
  run_scan "$padded" "${detector_args[@]}" --pre 0.8 --post 1.2 --clips --sheet "$bursts_clip"
  check "padded scan exits 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  local expected got
  expected="$(apply_rules 20 30 299 <<<"$runs")"
  got="$(spans "$padded/bursts.events.jsonl")"
  check "events follow the rules: got '$(tr '\n' ' ' <<<"$got")', expected '$(tr '\n' ' ' <<<"$expected")'" \
    [ "$got" = "$expected" ]
  check "two events" [ "$(wc -l <"$padded/bursts.events.jsonl")" -eq 2 ]

  local line n=0 start end
  while IFS= read -r line; do
    n=$((n + 1))
    start=$(field "$line" start_frame); end=$(field "$line" end_frame)
    check "event $n: numbered" [ "$(field "$line" event)" = "$n" ]
    check "event $n: file as given" [ "$(field "$line" file)" = "$bursts_clip" ]
    check "event $n: start_ms is the frame's time" [ "$(field "$line" start_ms)" -eq $((start * 40)) ]
    check "event $n: end_ms is the frame's time" [ "$(field "$line" end_ms)" -eq $((end * 40)) ]
    local ms=$((start * 40))
    check "event $n: start timecode" \
      [ "$(field "$line" start)" = "$(printf '00:00:%02d.%03d' $((ms / 1000)) $((ms % 1000)))" ]
    check "event $n: has active_frames, max_objects and bbox" \
      grep -qE '"active_frames":[1-9][0-9]*,"max_objects":[1-9][0-9]*,"bbox":\[[0-9]+,[0-9]+,[1-9][0-9]*,[1-9][0-9]*\]\}$' \
      <<<"$line"
    local clip
    clip="$padded/$(printf 'bursts.event_%03d.avi' $n)"
    check "event $n: clip $clip has every frame of the event ($(frames_of "$clip") of $((end - start + 1)))" \
      [ "$(frames_of "$clip")" = "$((end - start + 1))" ]
    check "event $n: clip plays at the source rate" [ "$(probe "$clip" r_frame_rate)" = "25/1" ]
  done <"$padded/bursts.events.jsonl"
  check "one clip per event" [ "$(ls "$padded"/bursts.event_*.avi | wc -l)" -eq 2 ]
  check "the summary lists both events" grep -qE '^ +2  00:00:' "$padded/stdout"
  check "the summary gives the speed" grep -qE '300 frames scanned, 2 events, [0-9.]+ frames/s, [0-9.]+x real time' \
    "$padded/stdout"

  local sheet="$padded/bursts.sheet.png"
  check "the contact sheet is 1348 x 410 ($(identify -format '%w x %h' "$sheet"))" \
    [ "$(identify -format '%w %h' "$sheet")" = "1348 410" ]
  local deviation
  deviation="$(convert "$sheet" -format '%[fx:int(1000*standard_deviation)]' info:)"
  check "the contact sheet is not blank (deviation $deviation/1000)" [ "$deviation" -gt 50 ]

  run_scan "$work/progress" "${detector_args[@]}" --progress "$bursts_clip"
  check "--progress draws a line in place on standard error" grep -qE $'\r\\[[-#]+\\] +[0-9]+%  [0-9]+/300 ' \
    "$work/progress/stderr"

  # The default padding (1.5 s + 2 s) bridges the gap: one event.
  run_scan "$work/default" "${detector_args[@]}" "$bursts_clip"
  check "default padding merges the bursts into one event" \
    [ "$(spans "$work/default/bursts.events.jsonl")" = "$(apply_rules 38 50 299 <<<"$runs")" ]
  check "without --progress, and standard error no terminal, nothing on it" [ ! -s "$work/default/stderr" ]
}

case_quit_after() {
  make_bursts_clip
  run_scan "$work/all" "${detector_args[@]}" --pre 0 --post 0 "$bursts_clip"
  run_scan "$work/one" "${detector_args[@]}" --pre 0 --post 0 --quit-after 1 --clips "$bursts_clip"
  check "exits 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  check "one event, the first of the whole file" \
    [ "$(cat "$work/one/bursts.events.jsonl")" = "$(head -n1 "$work/all/bursts.events.jsonl")" ]
  check "one clip" [ "$(ls "$work/one"/*.avi | wc -l)" -eq 1 ]
  local scanned
  scanned="$(grep -oE '[0-9]+ frames scanned' "$work/one/stdout" | cut -d' ' -f1)"
  check "stopped early ($scanned frames scanned)" [ "$scanned" -lt 200 ]
}

case_region() {
  make_bursts_clip
  # Only the left half: the right square's motion is outside.
  run_scan "$work/left" "${detector_args[@]}" --roi 0,0,160,240 --roi 100,0,100,5 --clips "$bursts_clip"
  check "exits 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  local line x w
  line="$(head -n1 "$work/left/bursts.events.jsonl")"
  x="$(sed -E 's/.*"bbox":\[([0-9]+),[0-9]+,([0-9]+),.*/\1/' <<<"$line")"
  w="$(sed -E 's/.*"bbox":\[[0-9]+,[0-9]+,([0-9]+),.*/\1/' <<<"$line")"
  check "boxes stay in the region (bbox x $x, w $w)" [ $((x + w)) -le 200 ]
  check "the clip shows the region's outline" \
    "$inspect" cyan-outline "$work/left/bursts.event_001.avi" 0 0 159 239
  run_scan "$work/partly" "${detector_args[@]}" --roi 300,200,100,100 "$bursts_clip"
  check "a region partly outside is clipped (got $scan_rc)" [ "$scan_rc" -eq 0 ]
}

case_bad_input() {
  make_bursts_clip
  local dir="$work/bad"
  mkdir -p "$dir"
  printf 'not a video\n' >"$dir/text.avi"
  : >"$dir/empty.avi"
  mkdir -p "$dir/folder.avi"
  # Half a file: decoding stops midway.
  head -c $(($(stat -c %s "$bursts_clip") / 2)) "$bursts_clip" >"$dir/half.avi"

  run_scan "$dir/run1" "$dir/missing.avi" "$bursts_clip" "$dir/text.avi" "$dir/empty.avi" "$dir/folder.avi"
  check "unreadable files give exit 1 (got $scan_rc)" [ "$scan_rc" -eq 1 ]
  local f
  for f in missing text empty folder; do
    check "one line names $f.avi" [ "$(grep -c "$f.avi" "$dir/run1/stderr")" -eq 1 ]
  done
  check "one error line per bad file, nothing else ($(wc -l <"$dir/run1/stderr") lines)" \
    [ "$(wc -l <"$dir/run1/stderr")" -eq 4 ]
  check "the good file between them is still scanned" [ -s "$dir/run1/bursts.events.jsonl" ]

  run_scan "$dir/run2" "${detector_args[@]}" --pre 0 --post 0 "$dir/half.avi"
  check "a file that stops decoding midway still exits 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  check "with a warning naming it and the frame: $(cat "$dir/run2/stderr")" \
    grep -qE '^tarvolen-scan: warning: .*half.avi: decoding stopped at frame [0-9]+ of 300' "$dir/run2/stderr"
  check "and nothing else on standard error" [ "$(wc -l <"$dir/run2/stderr")" -eq 1 ]
  # Cut in the middle of a frame of another codec, whose decoder complains:
  # the complaint stays quiet, the scan's warning is the one line.
  ffmpeg -v error -y -i "$bursts_clip" -c:v msmpeg4 -q:v 4 "$dir/mpeg4.avi"
  head -c $(($(stat -c %s "$dir/mpeg4.avi") / 2 + 777)) "$dir/mpeg4.avi" >"$dir/cut.avi"
  run_scan "$dir/run3" "${detector_args[@]}" "$dir/cut.avi"
  check "a file cut mid-frame is scanned (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  check "with the warning alone on standard error: $(head -c 300 "$dir/run3/stderr")" \
    [ "$(grep -c . "$dir/run3/stderr")" -eq 1 -a "$(grep -c '^tarvolen-scan: warning: ' "$dir/run3/stderr")" -eq 1 ]
  local last
  last="$(tail -n1 "$dir/run2/half.events.jsonl")"
  check "its events end by the frame where decoding stopped" \
    [ "$(field "$last" end_frame)" -lt "$(grep -oE 'frame [0-9]+' "$dir/run2/stderr" | cut -d' ' -f2)" ]

  # Usage and configuration errors: one line, exit 2, nothing scanned.
  usage() {  # usage LABEL ARGS...
    local label="$1"; shift
    local d="$dir/usage-$label"
    run_scan "$d" "$@"
    check "$label: exit 2 (got $scan_rc)" [ "$scan_rc" -eq 2 ]
    check "$label: one line ($(cat "$d/stderr"))" [ "$(wc -l <"$d/stderr")" -eq 1 ]
    check "$label: nothing scanned" [ -z "$(ls "$d" | grep -v -e stdout -e stderr -e Tarvolen.json)" ]
  }
  usage no-file
  usage negative-pre --pre -1 "$bursts_clip"
  usage unknown-option --fast "$bursts_clip"
  usage unknown-key --set pixel_deviaton=3 "$bursts_clip"
  grep -q pixel_deviaton "$dir/usage-unknown-key/stderr" || fail "unknown-key: the message names the key"
  usage out-of-range --set alpha_coeff=2 "$bursts_clip"
  grep -q alpha_coeff "$dir/usage-out-of-range/stderr" || fail "out-of-range: the message names the key"
  usage wrong-type --set 'num_frames="5"' "$bursts_clip"
  usage region-outside --roi 400,0,10,10 "$bursts_clip"
  usage region-empty --roi 0,0,0,10 "$bursts_clip"
  usage detect-width --detect-width 8 "$bursts_clip"
  usage light-change --light-change 101 "$bursts_clip"
  usage missing-config --config "$dir/no.json" "$bursts_clip"
  mkdir -p "$dir/usage-bad-config"
  printf '{"Config_Params": {' >"$dir/usage-bad-config/Tarvolen.json"
  usage bad-config "$bursts_clip"

  run_scan "$dir/help" --help
  check "--help exits 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  check "--help lists the options with their defaults" grep -q -- '--pre SECONDS.*=1.5' "$dir/help/stdout"
  local status
  status="$(closed_stdout_status "$scan" --help)"
  check "a standard output nobody reads fails its writes, it does not end the scan (status $status)" \
    [ "$status" -eq 0 ]
}

case_output_errors() {
  make_bursts_clip
  local dir="$work/outerr"
  mkdir -p "$dir"
  : >"$dir/a-file"
  run_scan "$dir/r1" -o "$dir/a-file/out" "$bursts_clip"
  check "an output folder that cannot be made: exit 1 (got $scan_rc)" [ "$scan_rc" -eq 1 ]
  check "naming it: $(cat "$dir/r1/stderr")" grep -q "$dir/a-file/out" "$dir/r1/stderr"

  # A name longer than any file system takes: the scan says so on one line,
  # it does not abort.
  local long_name
  long_name="$(printf 'n%.0s' $(seq 300))"
  run_scan "$dir/r1b" -o "$dir/$long_name" "$bursts_clip"
  check "an output folder whose name is too long: exit 1 (got $scan_rc)" [ "$scan_rc" -eq 1 ]
  check "one line: $(cat "$dir/r1b/stderr")" [ "$(wc -l <"$dir/r1b/stderr")" -eq 1 ]
  check "naming the problem" grep -q "^tarvolen-scan: .*too long" "$dir/r1b/stderr"

  run_scan "$dir/r2" "${detector_args[@]}" --annotated "$dir/no-such-folder/x.avi" "$bursts_clip"
  check "an annotated file that cannot be made: exit 1 (got $scan_rc)" [ "$scan_rc" -eq 1 ]
  check "naming it: $(cat "$dir/r2/stderr")" grep -q "no-such-folder/x.avi" "$dir/r2/stderr"

  if [ -w /dev/full ]; then
    mkdir -p "$dir/r3/out"
    ln -s /dev/full "$dir/r3/out/bursts.events.jsonl"
    run_scan "$dir/r3" "${detector_args[@]}" -o out "$bursts_clip"
    check "a full disk: exit 1 (got $scan_rc)" [ "$scan_rc" -eq 1 ]
    check "naming the file: $(cat "$dir/r3/stderr")" grep -q "bursts.events.jsonl.*No space left" "$dir/r3/stderr"
  else
    missing_prerequisite "no writable /dev/full for the full-disk check"
  fi

  run_scan "$dir/r4" "${detector_args[@]}" --annotated "{stem}.annotated.avi" --mask "{stem}.mask.avi" \
    "$bursts_clip"
  check "annotated and mask videos: exit 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  check "the annotated video has every frame" [ "$(frames_of "$dir/r4/bursts.annotated.avi")" = 300 ]
  check "the mask video has every frame" [ "$(frames_of "$dir/r4/bursts.mask.avi")" = 300 ]
}

# A longer clip with a burst every 4 s, long enough to be interrupted.
interrupt_case() {  # interrupt_case SIGNAL
  local long="$work/long.avi" dir="$work/$1"
  local ranges="" s
  for s in $(seq 20 100 2900); do ranges="$ranges,$s-$((s + 40))"; done
  "$make_clip" "$long" 320 240 "$fps" 3000 "${ranges#,}" || { fail "make long clip"; return; }
  mkdir -p "$dir"
  (cd "$dir" && exec "$scan" "${detector_args[@]}" --pre 0.4 --post 0.4 --clips --annotated all.avi "$long" \
    >"$dir/stdout" 2>"$dir/stderr" </dev/null) &
  app_pid=$!
  wait_for 30 has_lines "$dir/long.events.jsonl" 2
  kill -"$1" "$app_pid"
  # Bounded: a scan that hangs on the signal is killed and counts as 124.
  wait_exit 30
  check "$1 mid-scan exits 130 (got $app_rc)" [ "$app_rc" -eq 130 ]
  local events
  events="$(wc -l <"$dir/long.events.jsonl")"
  check "the events so far are written ($events)" [ "$events" -ge 2 ]
  local last
  last="$(tail -n1 "$dir/long.events.jsonl")"
  check "the scan stopped before the end (last event ends at $(field "$last" end_frame))" \
    [ "$(field "$last" end_frame)" -lt 2999 ]
  local line start end n=0
  while IFS= read -r line; do
    n=$((n + 1))
    start=$(field "$line" start_frame); end=$(field "$line" end_frame)
    check_playable "$dir/$(printf 'long.event_%03d.avi' $n)" "clip $n" $((end - start + 1))
  done <"$dir/long.events.jsonl"
  check "no clip without its event line" [ "$(ls "$dir"/long.event_*.avi | wc -l)" -eq "$events" ]
  check_playable "$dir/all.avi" "the annotated video"
}

case_sigint() { interrupt_case INT; }
case_sigterm() { interrupt_case TERM; }
case_sighup() { interrupt_case HUP; }  # the terminal closed

case_parallel() {
  make_bursts_clip
  local dir="$work/par"
  mkdir -p "$dir"
  cp "$bursts_clip" "$dir/cam1.avi"
  cp "$bursts_clip" "$dir/cam2.avi"
  # The README's recipe, local form: one file per job, one detector thread each.
  (cd "$dir" && parallel --will-cite "$scan" --quiet --set num_threads=1 "${detector_args[@]}" -o results --sheet \
    ::: cam1.avi cam2.avi) >"$dir/stdout" 2>"$dir/stderr"
  local rc=$?
  check "parallel exits 0 (got $rc)" [ "$rc" -eq 0 ]
  local cam
  for cam in cam1 cam2; do
    check "$cam has its events" [ -s "$dir/results/$cam.events.jsonl" ]
    check "$cam has its sheet" [ -s "$dir/results/$cam.sheet.png" ]
  done
  check "the two identical files give the same events" \
    [ "$(spans "$dir/results/cam1.events.jsonl")" = "$(spans "$dir/results/cam2.events.jsonl")" ]
  check "--quiet prints nothing" [ ! -s "$dir/stdout" -a ! -s "$dir/stderr" ]
}

# json_number FILE KEY: a top-level number of a .scan.json file.
json_number() { sed -nE "s/^  \"$2\": ([0-9.]+),?$/\1/p" "$1"; }

# Frames' presentation times in ms, as ffprobe gives them.
probe_times_ms() {
  ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time -of csv=p=0 "$1" |
    awk -F, 'NF && $1 != "" { printf "%d\n", $1 * 1000 + 0.5 }'
}

case_damaged_stream() {
  [ -s "$sample" ] || missing_prerequisite "the sample clip (scripts/fetch-sample.sh)"
  local dir="$work/damaged"
  mkdir -p "$dir"
  ffmpeg -v error -y -i "$sample" -t 40 -c:v libx264 -g 25 -f mpegts "$dir/clean.ts" || { fail "make stream"; return; }
  cp "$dir/clean.ts" "$dir/cam.ts"
  spoil "$dir/cam.ts" 4 3000
  local decodable
  decodable="$(probe "$dir/cam.ts" nb_read_frames | head -n1)"
  run_scan "$dir/r" "${detector_args[@]}" "$dir/cam.ts"
  check "a damaged stream is scanned to its end: exit 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  check "every decodable frame is scanned ($(json_number "$dir/r/cam.scan.json" frames_read) of $decodable)" \
    [ "$(json_number "$dir/r/cam.scan.json" frames_read)" = "$decodable" ]
  check "the damage is counted ($(json_number "$dir/r/cam.scan.json" damaged_stretches) stretches)" \
    [ "$(json_number "$dir/r/cam.scan.json" damaged_stretches)" -ge 1 ]
  check "one warning line names it: $(cat "$dir/r/stderr")" \
    [ "$(grep -c '^tarvolen-scan: warning: .*cam.ts: [0-9]* damaged stretch' "$dir/r/stderr")" -eq 1 ]
  check "and nothing else on standard error" [ "$(wc -l <"$dir/r/stderr")" -eq 1 ]
  check "the summary says where" grep -q "damaged stretch.*before frame" "$dir/r/stdout"
}

case_variable_rate() {
  [ -s "$sample" ] || missing_prerequisite "the sample clip (scripts/fetch-sample.sh)"
  local dir="$work/vfr"
  mkdir -p "$dir"
  # 10 frames a second for 30 s, then 25.
  ffmpeg -v error -y -i "$sample" -frames:v 600 \
    -vf "settb=1/1000,setpts='if(lt(N,300),N/10,30+(N-300)/25)/TB'" -fps_mode passthrough \
    -enc_time_base 1:1000 -c:v libx264 -preset veryfast "$dir/vfr.mkv" || { fail "make file"; return; }
  mapfile -t times < <(probe_times_ms "$dir/vfr.mkv")
  run_scan "$dir/r" "$dir/vfr.mkv"
  check "exit 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  local line
  line="$(tail -n1 "$dir/r/vfr.events.jsonl")"
  check "an event open at the end ends at the last frame ($(field "$line" end_frame))" \
    [ "$(field "$line" end_frame)" -eq $((${#times[@]} - 1)) ]
  check "its end is that frame's own time ($(field "$line" end_ms) ms, ffprobe ${times[-1]})" \
    [ "$(field "$line" end_ms)" -eq "${times[-1]}" ]
  check "its start is its first frame's own time" \
    [ "$(field "$line" start_ms)" -eq "${times[$(field "$line" start_frame)]}" ]
  check "the summary measures the real rate" \
    awk -v r="$(json_number "$dir/r/vfr.scan.json" measured_fps)" 'BEGIN { exit !(r > 14 && r < 14.5) }'
}

case_time_range() {
  make_bursts_clip
  local dir="$work/range"
  run_scan "$dir/whole" "${detector_args[@]}" --pre 0 --post 0 "$bursts_clip"
  # From 6 s (frame 150) for 5.9 s: the second burst (200-239) lies inside.
  run_scan "$dir/part" "${detector_args[@]}" --pre 0 --post 0 --start 00:00:06 --duration 5.9 "$bursts_clip"
  check "a range scan exits 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  local second
  second="$(sed -n 2p "$dir/whole/bursts.events.jsonl")"
  local inside
  inside="$(head -n1 "$dir/part/bursts.events.jsonl")"
  check "one event in the range ($(wc -l <"$dir/part/bursts.events.jsonl"))" \
    [ "$(wc -l <"$dir/part/bursts.events.jsonl")" -eq 1 ]
  check "numbered as in the whole file: $(field "$inside" start_frame)-$(field "$inside" end_frame) vs $(field "$second" start_frame)-$(field "$second" end_frame)" \
    [ "$(field "$inside" start_frame) $(field "$inside" end_frame)" = "$(field "$second" start_frame) $(field "$second" end_frame)" ]
  check "timed as in the whole file" [ "$(field "$inside" start_ms)" = "$(field "$second" start_ms)" ]
  check "the summary starts at frame 150" [ "$(json_number "$dir/part/bursts.scan.json" first_frame)" -eq 150 ]
  check "and holds the frames before 11.9 s" [ "$(json_number "$dir/part/bursts.scan.json" frames_read)" -eq 148 ]
  run_scan "$dir/bad" --start 10 --end 5 "$bursts_clip"
  check "a range that ends before it starts is a usage error (got $scan_rc)" [ "$scan_rc" -eq 2 ]
  run_scan "$dir/bad2" --start 1:75 "$bursts_clip"
  check "a malformed time is a usage error (got $scan_rc)" [ "$scan_rc" -eq 2 ]
}

case_region_file() {
  make_bursts_clip
  local dir="$work/regions"
  mkdir -p "$dir"
  # The rectangle 0,0,160,240 as a polygon of its corner pixels.
  echo '{"include": [[[0, 0], [159, 0], [159, 239], [0, 239]]]}' >"$dir/left.json"
  run_scan "$dir/rect" "${detector_args[@]}" --roi 0,0,160,240 "$bursts_clip"
  run_scan "$dir/poly" "${detector_args[@]}" --region-file "$dir/left.json" "$bursts_clip"
  check "a polygon region scans (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  check "a rectangle as a polygon finds what --roi finds" cmp -s "$dir/rect/bursts.events.jsonl" "$dir/poly/bursts.events.jsonl"
  local bad
  echo '{"include": [[[0, 0], [10, 10]]]}' >"$dir/two.json"
  echo '{"include": [[[1000, 1000], [1100, 1000], [1050, 1100]]]}' >"$dir/outside.json"
  echo '{"include": [' >"$dir/broken.json"
  for bad in two outside broken missing; do
    run_scan "$dir/$bad" --region-file "$dir/$bad.json" "$bursts_clip"
    check "$bad region file: exit 2 (got $scan_rc)" [ "$scan_rc" -eq 2 ]
    check "$bad: one line naming the file: $(cat "$dir/$bad/stderr")" \
      [ "$(wc -l <"$dir/$bad/stderr")" -eq 1 -a "$(grep -c "$bad.json" "$dir/$bad/stderr")" -eq 1 ]
  done
}

# A 1080p H.264 file detected at 320 pixels wide: the squares, 108 pixels
# there, are objects of the documented sizes only scaled down, and the boxes
# come back in the file's pixels.
case_detect_width() {
  make_bursts_clip
  local dir="$work/width" hd="$work/bursts1080.mp4"
  ffmpeg -v error -y -i "$bursts_clip" -vf scale=1920:1080 -c:v libx264 -preset ultrafast -pix_fmt yuv420p "$hd" ||
    fail "ffmpeg makes the 1080p file"
  run_scan "$dir" "${detector_args[@]}" --detect-width 320 --end 4 --mask "$dir/mask.avi" "$hd"
  check "exit 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  check "the summary records the width" grep -q '"detect_width": 320' "$dir/bursts1080.scan.json"
  check "events found ($(grep -c . "$dir/bursts1080.events.jsonl"))" [ "$(grep -c . "$dir/bursts1080.events.jsonl")" -ge 1 ]
  local line box
  while IFS= read -r line; do
    box="$(sed -E 's/.*"bbox":\[([0-9,]+)\].*/\1/' <<<"$line")"
    # The squares run along rows 270-377 and 720-827 of the 1080p frame; in
    # the detected frame's pixels every box would end above row 180.
    check "a box in 1080p pixels ($box)" \
      awk -v b="$box" 'BEGIN { split(b, v, ","); exit !(v[2] >= 250 && v[2] + v[4] > 700 && v[1] + v[3] <= 1920) }'
  done <"$dir/bursts1080.events.jsonl"
  check "the mask video has the file's size" \
    [ "$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x "$dir/mask.avi")" = 1920x1080 ]
}

# H.264 MP4 clips, annotated and mask videos; a video name of another kind
# is a usage error.
case_clip_formats() {
  make_bursts_clip
  local dir="$work/formats"
  run_scan "$dir/mp4" "${detector_args[@]}" --pre 0.8 --post 1.2 --clips --clip-format mp4 \
    --annotated "{stem}.annotated.mp4" --mask "{stem}.mask.avi" "$bursts_clip"
  check "mp4 clips: exit 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  local line n=0 clip
  while IFS= read -r line; do
    n=$((n + 1))
    clip="$dir/mp4/$(printf 'bursts.event_%03d.mp4' $n)"
    check "event $n: clip $clip is H.264 ($(probe "$clip" codec_name))" [ "$(probe "$clip" codec_name)" = h264 ]
    check "event $n: yuv420p" [ "$(probe "$clip" pix_fmt)" = yuv420p ]
    check "event $n: every frame of the event ($(frames_of "$clip"))" \
      [ "$(frames_of "$clip")" = "$(($(field "$line" end_frame) - $(field "$line" start_frame) + 1))" ]
    check "event $n: the index comes before the frames (faststart)" \
      [ "$(ffprobe -v trace "$clip" 2>&1 | grep -oE "type:'(moov|mdat)'" | head -n1)" = "type:'moov'" ]
  done <"$dir/mp4/bursts.events.jsonl"
  check "two mp4 clips" [ "$n" -eq 2 -a "$(ls "$dir"/mp4/bursts.event_*.mp4 | wc -l)" -eq 2 ]
  check "the annotated MP4 has every frame" [ "$(frames_of "$dir/mp4/bursts.annotated.mp4")" = 300 ]
  check "the mask stays Motion-JPEG by its name" [ "$(probe "$dir/mp4/bursts.mask.avi" codec_name)" = mjpeg ]

  run_scan "$dir/avi" "${detector_args[@]}" --pre 0.8 --post 1.2 --clips "$bursts_clip"
  check "the default clips are Motion-JPEG" [ "$(probe "$dir/avi/bursts.event_001.avi" codec_name)" = mjpeg ]
  check "both formats find the same events" cmp -s "$dir/avi/bursts.events.jsonl" "$dir/mp4/bursts.events.jsonl"

  run_scan "$dir/mov" --annotated out.mov "$bursts_clip"
  check "an annotated video named .mov: exit 2 (got $scan_rc)" [ "$scan_rc" -eq 2 ]
  check "one line naming it: $(cat "$dir/mov/stderr")" \
    [ "$(wc -l <"$dir/mov/stderr")" -eq 1 -a "$(grep -c "out.mov" "$dir/mov/stderr")" -eq 1 ]
}

# Clips cut from the source's own packets: from the keyframe at or before the
# event to its last frame, the sound kept.
case_copy() {
  make_bursts_clip
  local dir="$work/copy" source="$work/bursts_sound.mp4"
  # A keyframe every second (25 frames) and nowhere else.
  ffmpeg -v error -y -i "$bursts_clip" -f lavfi -i sine=frequency=440:duration=12 -c:v libx264 -preset ultrafast \
    -g 25 -keyint_min 25 -sc_threshold 0 -bf 0 -pix_fmt yuv420p -c:a aac -shortest "$source" </dev/null ||
    missing_prerequisite "ffmpeg cannot make an H.264 file with sound"
  run_scan "$dir" "${detector_args[@]}" --pre 0.8 --post 1.2 --clips --clip-format copy "$source"
  check "copy clips: exit 0 (got $scan_rc)" [ "$scan_rc" -eq 0 ]
  local line n=0 clip first last
  while IFS= read -r line; do
    n=$((n + 1))
    clip="$dir/$(printf 'bursts_sound.event_%03d.mp4' $n)"
    first=$(field "$line" clip_start_ms); last=$(field "$line" clip_end_ms)
    check "event $n: the clip starts at or before the event ($first <= $(field "$line" start_ms))" \
      [ "$first" -le "$(field "$line" start_ms)" ]
    check "event $n: on a keyframe of the source ($first ms)" [ $((first % 1000)) -eq 0 ]
    check "event $n: less than a keyframe interval before it" [ $(($(field "$line" start_ms) - first)) -lt 1000 ]
    check "event $n: the clip ends at or after the event ($last >= $(field "$line" end_ms))" \
      [ "$last" -ge "$(field "$line" end_ms)" ]
    check "event $n: the clip holds its frames ($(frames_of "$clip") for $first..$last ms)" \
      [ "$(frames_of "$clip")" = "$(((last - first) / 40 + 1))" ]
    check "event $n: its first packet is a keyframe" \
      grep -q '^K' <<<"$(ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 "$clip" | head -n1)"
    check "event $n: the video is the source's H.264" [ "$(probe "$clip" codec_name)" = h264 ]
    check "event $n: the sound is kept" \
      [ "$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name -of csv=p=0 "$clip")" = aac ]
  done <"$dir/bursts_sound.events.jsonl"
  check "clips for the events ($n)" [ "$n" -ge 1 -a "$(ls "$dir"/bursts_sound.event_*.mp4 | wc -l)" -eq "$n" ]
}

# The scan needs no display.
run_case_without_display "$scan"
