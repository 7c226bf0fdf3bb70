#!/usr/bin/env bash
# Does the live loop keep up? Plays 1920x1080 and 3840x2160 30 fps Motion-JPEG
# files made from samples/vtest.avi in the real program under Xvfb, with
# recording off and on, and counts its passes over a fixed time through the
# opt-in pass log (TARVOLEN_PASS_LOG). Also measures how fast each file
# decodes alone with cv::VideoCapture. Not part of the tests.
#   bench/live_loop.sh [BUILD_DIR [SECONDS]]     (defaults: build, 60)
# With BASELINE_APP naming another build of the program (one that writes the
# pass log too), every run is repeated with it, for ratios from one session.
# SCREEN sets the Xvfb screen (default 7800x2200: both windows of a 4K
# source side by side at full size; a desktop-sized screen such as 1920x1080
# measures the scaled view). Prints a Markdown report. Needs ffmpeg, Xvfb,
# xdotool (scripts/install-deps.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
seconds="${2:-60}"
warmup=5        # s before counting: windows up, first averaging window done
fps=30          # the files' frame rate
frames=300      # frames per file (10 s); the program loops them
app="$build/app/tarvolen"
decode_rate="$build/bench/tarvolen_decode_rate"
sample="$root/samples/vtest.avi"
work="${TMPDIR:-/tmp}/tarvolen-live-loop"
mkdir -p "$work"
for tool in "$app" "$decode_rate"; do [ -x "$tool" ] || { echo "missing $tool: build first" >&2; exit 1; }; done
[ -f "$sample" ] || { echo "missing $sample: run scripts/fetch-sample.sh" >&2; exit 1; }

xvfb_pid=""
app_pid=""
finish() {
  [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  return 0
}
trap finish EXIT

screen="${SCREEN:-7800x2200}"
Xvfb -displayfd 3 -screen 0 "${screen}x24" -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$work/display")"
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

monotonic_us() { python3 -c 'import time; print(int(time.monotonic() * 1e6))'; }

make_file() {  # make_file WIDTH HEIGHT: prints the path
  local out="$work/vtest_${1}x${2}.avi"
  if [ ! -s "$out" ]; then
    ffmpeg -v error -y -i "$sample" -vf "scale=$1:$2:flags=bicubic,setpts=N/$fps/TB" -r "$fps" \
      -frames:v "$frames" -c:v mjpeg -q:v 3 -an "$out"
  fi
  echo "$out"
}

write_config() {  # write_config DIR SOURCE
  cat >"$1/Tarvolen.json" <<JSON
{
  "Config_Params": {
    "video_source_init_string": "$2",
    "min_object_width": 2, "max_object_width": 64, "min_object_height": 2, "max_object_height": 64,
    "object_detection_criterion": 2, "pixel_deviation": 10.0, "alpha_coeff": 0.01,
    "num_threads": 2, "num_frames": 30
  }
}
JSON
}

key() {  # key WINDOW KEY
  xdotool windowfocus "$1" 2>/dev/null || true
  sleep 0.1
  xdotool key "$2"
}

# Passes whose end lies in [T0, T1] µs: count, rate, % of the source rate,
# longest pass, passes longer than two frame periods.
summarise_passes() {  # LOG T0 T1
  awk -v t0="$2" -v t1="$3" -v fps="$fps" '
    $1 >= t0 && $1 <= t1 { if (n > 0) { gap = $1 - last; if (gap > maxgap) maxgap = gap; if (gap > 2e6 / fps) slow++ }
                           if (n == 0) first = $1; last = $1; n++ }
    END { span = (last - first) / 1e6; rate = span > 0 ? (n - 1) / span : 0
          printf "%d|%.2f|%.1f|%.1f|%d", n - 1, rate, 100 * rate / fps, maxgap / 1000, slow }' "$1"
}

run_program() {  # run_program PROGRAM NAME FILE LABEL RECORD(on|off): prints a table row
  local program="$1" name="$2" file="$3" label="$4" record="$5" dir="$work/run-$2-$4-$5"
  rm -rf "$dir"
  mkdir -p "$dir"
  write_config "$dir" "$file"
  (cd "$dir" && TARVOLEN_PASS_LOG="$dir/passes.log" exec "$program" >"$dir/stdout" 2>"$dir/stderr" </dev/null) &
  app_pid=$!
  local window=""
  for _ in $(seq 200); do
    window="$(xdotool search --onlyvisible --name '^INPUT VIDEO$' 2>/dev/null | head -n1)" && [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || { echo "| $name | $label | $record | the program did not start |"; return; }
  sleep "$warmup"
  [ "$record" = on ] && key "$window" r
  local t0 t1
  t0="$(monotonic_us)"
  sleep "$seconds"
  t1="$(monotonic_us)"
  [ "$record" = on ] && key "$window" r
  sleep 1
  key "$window" Escape
  wait "$app_pid" || true
  app_pid=""
  local passes recorded="" rec
  passes="$(summarise_passes "$dir/passes.log" "$t0" "$t1")"
  rec="$(ls "$dir"/record_*.avi 2>/dev/null | head -n1 || true)"
  if [ -n "$rec" ]; then
    local n
    n="$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
      -of default=nw=1:nk=1 "$rec")"
    recorded="$n frames in $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", (b - a) / 1e6 }') s"
  fi
  IFS='|' read -r count rate percent longest slow <<<"$passes"
  echo "| $name | $label | $record | $count | $rate | $percent % | $longest ms | $slow | ${recorded:--} |"
}

echo "## Live loop ($(date -u +%Y-%m-%d), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))"
echo
echo "Load before: $(cut -d' ' -f1-3 /proc/loadavg). Window: ${seconds} s after a ${warmup} s warm-up, source $fps fps."
echo
echo "| file | decode alone (frames/s) |"
echo "|---|---|"
declare -A decode
for size in 1920x1080 3840x2160; do
  file="$(make_file "${size%x*}" "${size#*x}")"
  decode[$size]="$("$decode_rate" "$file" 20 | awk '{print $3}')"
  echo "| $size | ${decode[$size]} |"
done
echo
echo "| program | file | recording | passes | passes/s | of source rate | longest pass | passes > 2 periods | recorded |"
echo "|---|---|---|---|---|---|---|---|---|"
for size in 1920x1080 3840x2160; do
  for record in off on; do
    run_program "$app" this "$work/vtest_${size}.avi" "$size" "$record"
    [ -z "${BASELINE_APP:-}" ] || run_program "$BASELINE_APP" baseline "$work/vtest_${size}.avi" "$size" "$record"
  done
done
echo
echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg)."
