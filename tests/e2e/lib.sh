# Shared helpers of the end-to-end test scripts: a private Xvfb display, the
# test clip, starting and stopping the program, windows and keys, waiting for
# conditions, deadlines, ports, JSON fields, and the checks several scripts
# make (a program that refuses to start, a finished recording). A script
# sources this file with BUILD_DIR and CASE as its arguments, defines its
# case_* functions and ends with run_case (or runs its case itself when it
# needs no display).
set -uo pipefail

build="$(cd "$1" && pwd)"
case_name="$2"
app="$build/app/tarvolen"
make_clip="$build/tests/make_clip"
inspect="$build/tests/inspect_image"

work="$(mktemp -d /tmp/tarvolen-e2e.XXXXXX)"
xvfb_pid=""
app_pid=""
failures=0

cleanup() {
  [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  if [ "$failures" -eq 0 ]; then rm -rf "$work"; else echo "kept for inspection: $work"; fi
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# missing_prerequisite WHY: the case cannot run here. Skipped (status 77) on
# a developer's machine; under CI=true it fails, so that CI never passes
# without running it.
missing_prerequisite() {
  if [ "${CI:-}" = "true" ]; then echo "FAIL (CI=true, prerequisite missing): $*"; exit 1; fi
  echo "SKIP: $*"; exit 77
}
# The waits below poll many times a second. bash's loadable sleep (Debian's
# bash-builtins) does it without starting a process each time: /bin/sleep,
# started 20 times a second by every waiting case, cost the end-to-end
# cases about an eighth of their time, taken from the programs under test.
if ! enable -f sleep sleep 2>/dev/null; then
  [ "${CI:-}" = "true" ] && missing_prerequisite "bash's loadable sleep (package bash-builtins)"
fi
pass() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# --- Time ---------------------------------------------------------------------
# Every wall-clock bound of a script is written for an idle machine and
# stretched here by one factor: TARVOLEN_E2E_SLOWDOWN (a whole number, 1 when
# unset), which a sanitizer build or a loaded machine sets.
slowdown="${TARVOLEN_E2E_SLOWDOWN:-1}"
[[ "$slowdown" =~ ^[1-9][0-9]*$ ]] || { echo "TARVOLEN_E2E_SLOWDOWN must be a whole number from 1 (got $slowdown)"; exit 1; }

scaled() { echo $(($1 * slowdown)); }       # scaled SECONDS: the bound on this machine
scaled_ms() { echo $(($1 * slowdown)); }    # scaled_ms MILLISECONDS: the same in ms
deadline_in() { echo $((SECONDS + $1 * slowdown)); }  # deadline_in SECONDS: a $SECONDS value to wait until
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# wait_for SECONDS COMMAND...: polls until the command succeeds (status 0) or
# the scaled SECONDS have passed (status 1).
wait_for() {
  local deadline; deadline="$(deadline_in "$1")"; shift
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.05
  done
}

# --- Files and text ---------------------------------------------------------------
has_files() { compgen -G "$1" >/dev/null; }               # has_files GLOB
line_count() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }  # line_count FILE
has_lines() { [ "$(line_count "$1")" -ge "$2" ]; }        # has_lines FILE COUNT: at least COUNT lines
matches() { [[ "$1" =~ $2 ]]; }                           # matches TEXT EXTENDED_REGEX

# field JSON_LINE KEY: the value of KEY in a one-line JSON object: a number, a
# string (unquoted), null, true or false, or an array's items comma-separated.
field() {
  sed -E "s/.*\"$2\":(\"[^\"]*\"|\[[^]]*\]|\{[^}]*\}|[^,}]*).*/\1/" <<<"$1" | tr -d '"[]'
}

# spoil FILE PLACES LENGTH: writes LENGTH bytes of a fixed pattern over FILE at
# PLACES evenly spaced offsets (at 1/(PLACES+1), 2/(PLACES+1), ... of its size):
# the same damage in every run.
spoil() {
  python3 - "$@" <<'PY'
import os, random, sys
path, places, length = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
size = os.path.getsize(path)
pattern = random.Random(2024).randbytes(length)
with open(path, "r+b") as f:
    for k in range(1, places + 1):
        f.seek(size * k // (places + 1))
        f.write(pattern)
PY
}

# free_port: a TCP port of 127.0.0.1 that the kernel just handed out and
# nobody holds, so that side-by-side runs pick different ports.
free_port() { "$build/tests/free_port"; }

# closed_stdout_status COMMAND...: the command's exit status when its
# standard output is a pipe whose reader has already gone (128 + N when
# signal N ended it: 141 for SIGPIPE).
closed_stdout_status() {
  python3 - "$@" <<'PY'
import os, subprocess, sys
reader, writer = os.pipe()
os.close(reader)
# subprocess gives the child SIGPIPE's default action back.
status = subprocess.run(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.DEVNULL).returncode
print(status if status >= 0 else 128 - status)
PY
}

# serving PORT: something listens on 127.0.0.1:PORT or has already taken a
# client there, seen without connecting to it: ffmpeg's HTTP server takes one
# client only and stops listening once a program that was retrying is in.
serving() { grep -qiE "^ *[0-9]+: 0100007F:$(printf '%04X' "$1") [0-9A-F]{8}:[0-9A-F]{4} (0A|01) " /proc/net/tcp; }

# start_display [WIDTHxHEIGHT]: a private Xvfb, 1600 x 900 unless given.
start_display() {
  local fdfile="$work/display"
  rm -f "$fdfile"
  Xvfb -displayfd 3 -screen 0 "${1:-1600x900}x24" -nolisten tcp -noreset 3>"$fdfile" >/dev/null 2>&1 &
  xvfb_pid=$!
  wait_for 10 test -s "$fdfile" || { echo "Xvfb did not start"; exit 1; }
  export DISPLAY=":$(head -n1 "$fdfile")"
  export XDG_RUNTIME_DIR="$work/xdg"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
}

# write_config DIR SOURCE [NUM_FRAMES]
write_config() {
  cat >"$1/Tarvolen.json" <<JSON
{
  "Config_Params": {
    "video_source_init_string": "$2",
    "min_object_width": 2,
    "max_object_width": 64,
    "min_object_height": 2,
    "max_object_height": 64,
    "object_detection_criterion": 2,
    "pixel_deviation": 10.0,
    "alpha_coeff": 0.01,
    "num_threads": 2,
    "num_frames": ${3:-30}
  }
}
JSON
}

# A 320 x 240 clip at 25 fps, 4 s long.
clip="$work/clip.avi"
clip_width=320
clip_height=240
make_test_clip() { "$make_clip" "$clip" "$clip_width" "$clip_height" 25 100 || { echo "cannot make clip"; exit 1; }; }

# start_app DIR [OUT]: runs tarvolen in DIR, its output in OUT/stdout and
# OUT/stderr (OUT is DIR unless given, for a DIR that may go away). The
# program logs its loop's passes to OUT/passes (see wait_passes).
start_app() {
  local out="${2:-$1}"
  pass_log="$out/passes"
  : >"$pass_log"
  (cd "$1" && TARVOLEN_PASS_LOG="$pass_log" exec "$app" >"$out/stdout" 2>"$out/stderr" </dev/null) &
  app_pid=$!
}

# passes: how many passes the program's loop has made so far.
passes() { line_count "$pass_log"; }
passes_past() { [ "$(passes)" -ge "$1" ]; }
# wait_passes COUNT [SECONDS]: waits until the loop has made COUNT more passes
# (within SECONDS, 20 unless given, scaled): what a key, a click or a frame
# needs to have been acted on, however loaded the machine.
wait_passes() { wait_for "${2:-20}" passes_past $(($(passes) + $1)); }

# wait_exit SECONDS: waits for the app; sets app_rc (124 when it timed out).
wait_exit() {
  local deadline; deadline="$(deadline_in "$1")"
  while kill -0 "$app_pid" 2>/dev/null; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      kill -9 "$app_pid" 2>/dev/null
      wait "$app_pid" 2>/dev/null
      app_rc=124
      app_pid=""
      return
    fi
    sleep 0.05
  done
  wait "$app_pid"
  app_rc=$?
  app_pid=""
}

# wait_window NAME SECONDS: prints the window id once it is mapped.
wait_window() {
  local deadline id
  deadline="$(deadline_in "$2")"
  while [ "$SECONDS" -lt "$deadline" ]; do
    id="$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1)"
    if [ -n "$id" ]; then echo "$id"; return 0; fi
    sleep 0.1
  done
  return 1
}

# start_on_clip [NUM_FRAMES]: plays the test clip from a fresh working folder;
# sets dir and input (the INPUT VIDEO window, empty when none appeared).
start_on_clip() {
  make_test_clip
  dir="$work/run"
  mkdir -p "$dir"
  write_config "$dir" "$clip" "${1:-30}"
  start_app "$dir"
  input="$(wait_window "INPUT VIDEO" 20)"
  [ -n "$input" ] || fail "INPUT VIDEO appears"
  [ -n "$input" ]
}

# check_display_lost HOW: the program in $dir ended because its display
# connection broke (HOW says how): status 255 and its one line.
check_display_lost() {
  check "$1 ends the program with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "and it says so ($(cat "$dir/stdout"))" [ "$(cat "$dir/stdout")" = "Display connection lost" ]
}

# The live program's start-up failures: one line, then a one-second pause.
# refusal_within_ms bounds the whole run on an idle machine (scaled); a
# script whose failures take longer to find raises it.
refusal_within_ms=4000
# app_stdin: the program's standard input in these runs.
app_stdin=/dev/null

# check_refuses_to_start LABEL MESSAGE: runs the program in $dir (its
# configuration written) and checks that it refuses to start: exit status
# 255, MESSAGE alone on standard output, nothing on standard error, no window
# (on the test's own display, when it has one), and its pause of about a
# second.
check_refuses_to_start() { refused_run "$1" exact "$2"; }
# check_refuses_to_start_like LABEL PATTERN [COMMAND PREFIX...]: the same
# with the line matching the extended regular expression PATTERN, the
# program started through the prefix (prlimit ... --).
check_refuses_to_start_like() { local label="$1" pattern="$2"; shift 2; refused_run "$label" like "$pattern" "$@"; }

refused_run() {
  local label="$1" how="$2" expected="$3" seen_window=0 t0 elapsed_ms out deadline
  shift 3
  t0="$(now_ms)"
  (cd "$dir" && exec "$@" "$app" >"$dir/stdout" 2>"$dir/stderr" <"$app_stdin") &
  app_pid=$!
  deadline="$(deadline_in 20)"
  while kill -0 "$app_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
    [ -n "$xvfb_pid" ] && xdotool search --name '^(INPUT VIDEO|EVENT MASK)$' >/dev/null 2>&1 && seen_window=1
    sleep 0.05
  done
  wait_exit 1
  elapsed_ms=$(($(now_ms) - t0))
  out="$(cat "$dir/stdout")"
  check "$label: exit status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  if [ "$how" = exact ]; then
    check "$label: prints '$expected' alone ('$out')" [ "$out" = "$expected" ]
  else
    check "$label: one line '$out'" matches "$out" "^($expected)\$"
  fi
  check "$label: nothing on standard error ($(head -c 200 "$dir/stderr" | tr '\n' ' '))" [ ! -s "$dir/stderr" ]
  check "$label: pauses about a second (${elapsed_ms} ms)" \
    [ "$elapsed_ms" -ge 950 -a "$elapsed_ms" -lt "$(scaled_ms "$refusal_within_ms")" ]
  check "$label: opens no window" [ "$seen_window" -eq 0 ]
}

# check_playable FILE LABEL [FRAMES]: a recording or clip is finished: its
# index names a frame count and a duration, every frame it names decodes
# without an error, and (when given) there are exactly FRAMES of them.
check_playable() {
  local f="$1" label="$2" claimed="" decoded="" duration="" kind="" key value errors
  [ -f "$f" ] || { fail "$label: $f exists"; return; }
  # One probe reads the index and decodes every stream's frames: the first
  # video stream's claimed and decoded counts, the duration, and on standard
  # error what the decoders and the demuxer found wrong. Standard input
  # closed: a caller may be reading lines from it.
  while IFS='=' read -r key value; do
    case "$key" in
      codec_type) kind="$value" ;;
      nb_frames) [ "$kind" = video ] && [ -z "$claimed" ] && claimed="$value" ;;
      nb_read_frames) [ "$kind" = video ] && [ -z "$decoded" ] && decoded="$value" ;;
      duration) duration="$value" ;;
    esac
  done < <(ffprobe -v error -count_frames -show_entries stream=codec_type,nb_frames,nb_read_frames:format=duration \
             -of default=nw=1 "$f" </dev/null 2>"$work/probe-errors")
  errors="$(head -n 3 "$work/probe-errors")"
  check "$label: the index claims frames ($claimed)" [ "${claimed:-0}" -gt 0 ] 2>/dev/null
  check "$label: every claimed frame decodes ($decoded of $claimed)" [ "${decoded:-x}" = "${claimed:-y}" ]
  check "$label: no decoding error ('$errors')" [ -z "$errors" ]
  check "$label: a duration is written ($duration)" matches "$duration" '^[0-9.]*[1-9]'
  [ -z "${3:-}" ] || check "$label: the $3 frames expected ($decoded)" [ "${decoded:-x}" = "$3" ]
}

# focus WINDOW_ID: gives the window the keyboard focus, and waits until it has it.
focus() { timeout "$(scaled 5)" xdotool windowfocus --sync "$1" 2>/dev/null; }

# press WINDOW_ID KEY...: gives the window the keyboard focus and types the keys.
press() {
  local id="$1"; shift
  focus "$id"
  xdotool key "$@" 2>/dev/null
}

window_position() { xdotool getwindowgeometry "$1" | awk '/Position/ {print $2}'; }

probe() {  # probe FILE ENTRY: one stream entry, counting frames
  ffprobe -v error -count_frames -select_streams v:0 -show_entries "stream=$2" -of default=nw=1:nk=1 "$1"
}

# Runs case_$case_name on a fresh display and reports; the script's last command.
run_case() {
  [ -x "$app" ] || { echo "no tarvolen binary at $app"; exit 1; }
  start_display
  "case_$case_name"
  report_case
}

# run_case_without_display PROGRAM: the same for a program that needs no
# display (none is started).
run_case_without_display() {
  [ -x "$1" ] || { echo "no program at $1"; exit 1; }
  "case_$case_name"
  report_case
}

report_case() {
  echo "$case_name: $failures failure(s)"
  [ "$failures" -eq 0 ]
}
