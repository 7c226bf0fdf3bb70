#!/usr/bin/env bash
# Does the live loop keep up while one long event is recorded? Plays a
# 1920x1080 30 fps Motion-JPEG file made from samples/vtest.avi (looped by
# the program) under Xvfb with event recording on, once per clip format, so
# that the whole run is one event (the detector at its defaults finds people
# in every frame; post_seconds 300 bridges any lull). Counts the program's
# passes through the opt-in pass log (TARVOLEN_PASS_LOG), then ends it with
# ESC, which finishes the clip, and checks the clip's frames against the
# event's span in the log. Not part of the tests.
#   bench/live_event_clips.sh [BUILD_DIR [SECONDS [FORMATS]]]   (defaults: build, 600, "avi mp4")
# Prints a Markdown report. Needs ffmpeg, Xvfb, xdotool (scripts/install-deps.sh).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
seconds="${2:-600}"
formats="${3:-avi mp4}"
warmup=5  # s before counting: windows up, the first averaging window done
fps=30
frames=300  # frames in the file (10 s); the program loops it
app="$build/app/tarvolen"
sample="$root/samples/vtest.avi"
work="${TMPDIR:-/tmp}/tarvolen-live-event-clips"
mkdir -p "$work"
[ -x "$app" ] || { echo "missing $app: build first" >&2; exit 1; }
[ -f "$sample" ] || { echo "missing $sample: run scripts/fetch-sample.sh" >&2; exit 1; }

xvfb_pid=""
app_pid=""
finish() {
  [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  return 0
}
trap finish EXIT

Xvfb -displayfd 3 -screen 0 4000x1200x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$work/display")"
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

monotonic_us() { python3 -c 'import time; print(int(time.monotonic() * 1e6))'; }

source_file="$work/vtest_1920x1080.avi"
[ -s "$source_file" ] || ffmpeg -v error -y -i "$sample" -vf "scale=1920:1080:flags=bicubic,setpts=N/$fps/TB" \
  -r "$fps" -frames:v "$frames" -c:v mjpeg -q:v 3 -an "$source_file"

write_config() {  # write_config DIR FORMAT
  cat >"$1/Tarvolen.json" <<JSON
{
  "Config_Params": {
    "video_source_init_string": "$source_file",
    "min_object_width": 2, "max_object_width": 64, "min_object_height": 2, "max_object_height": 64,
    "object_detection_criterion": 2, "pixel_deviation": 10.0, "alpha_coeff": 0.01,
    "num_threads": 2, "num_frames": 30
  },
  "Event_Recording": {"enabled": true, "folder": "events", "pre_seconds": 2, "post_seconds": 300, "format": "$2"}
}
JSON
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

field() { sed -E "s/.*\"$2\":(\"[^\"]*\"|[^,}]*).*/\1/; s/^\"//; s/\"$//" <<<"$1"; }

run_format() {  # run_format FORMAT: prints a table row
  local format="$1" dir="$work/run-$1"
  rm -rf "$dir"
  mkdir -p "$dir"
  write_config "$dir" "$format"
  (cd "$dir" && TARVOLEN_PASS_LOG="$dir/passes.log" exec "$app" >"$dir/stdout" 2>"$dir/stderr" </dev/null) &
  app_pid=$!
  local window=""
  for _ in $(seq 200); do
    window="$(xdotool search --onlyvisible --name '^INPUT VIDEO$' 2>/dev/null | head -n1)" && [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || { echo "| $format | the program did not start |"; return; }
  sleep "$warmup"
  local t0 t1 stop_start stop_end
  t0="$(monotonic_us)"
  sleep "$seconds"
  t1="$(monotonic_us)"
  xdotool windowfocus "$window" 2>/dev/null || true
  sleep 0.1
  stop_start="$(monotonic_us)"
  xdotool key Escape
  wait "$app_pid" || true
  stop_end="$(monotonic_us)"
  app_pid=""
  local passes line clip span got
  passes="$(summarise_passes "$dir/passes.log" "$t0" "$t1")"
  IFS='|' read -r count rate percent longest slow <<<"$passes"
  line="$(head -n1 "$dir/events/events.jsonl" 2>/dev/null || true)"
  if [ -z "$line" ]; then
    echo "| $format | $count | $rate | $percent % | $longest ms | $slow | no event logged: $(head -c 200 "$dir/stdout") |"
    return
  fi
  clip="$dir/events/$(field "$line" file)"
  span=$(($(field "$line" end_frame) - $(field "$line" start_frame) + 1))
  got="$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of default=nw=1:nk=1 "$clip")"
  echo "| $format | $count | $rate | $percent % | $longest ms | $slow | $span | $got |" \
    "$(awk -v a="$stop_start" -v b="$stop_end" 'BEGIN { printf "%.1f", (b - a) / 1e6 }') s |" \
    "$(du -m "$clip" | cut -f1) MB | $(wc -l <"$dir/events/events.jsonl") |"
}

echo "## Live event recording, one long event ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores)"
echo
echo "Load before: $(cut -d' ' -f1-3 /proc/loadavg). 1920 x 1080 at $fps fps; ${seconds} s counted after a ${warmup} s warm-up."
echo
echo "| format | passes | passes/s | of source rate | longest pass | passes > 2 periods | event span (frames) | clip frames | ESC to exit | clip | events |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for format in $formats; do run_format "$format"; done
echo
echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg)."
