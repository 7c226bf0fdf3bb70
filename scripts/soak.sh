#!/usr/bin/env bash
# Soak test of the live program (not part of the test run). Plays a clip in a
# loop for MINUTES on a private Xvfb display while an operator is simulated
# with xdotool: a recording of about 10 s every minute plus a burst of quick
# record toggles, a region-of-interest drag every 7 s (now and then a drag the
# program must ignore, or one that selects the whole frame again) and a reset
# with space every 13 s. The program's resident memory (VmRSS) is sampled every
# minute. At the end ESC stops it and every recording is checked with ffprobe
# and ffmpeg: a frame count in the file, that many frames decoded, no decoding
# error. Prints a report; exit status 0 when everything held.
#   scripts/soak.sh [MINUTES] [CLIP]    default 30 minutes on samples/vtest.avi
# Builds build/app/tarvolen first when needed. Recordings are written to a
# temporary folder, removed afterwards unless something failed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

minutes="${1:-30}"
case "$minutes" in '' | *[!0-9]* | 0) echo "usage: scripts/soak.sh [MINUTES] [CLIP]"; exit 2 ;; esac
soak_clip="${2:-$root/samples/vtest.avi}"
[ -n "${2:-}" ] || scripts/fetch-sample.sh >/dev/null
soak_clip="$(cd "$(dirname "$soak_clip")" && pwd)/$(basename "$soak_clip")"
[ -s "$soak_clip" ] || { echo "soak: no clip at $soak_clip"; exit 2; }

[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tarvolen >/dev/null

set -- "$root/build" soak
source "$root/tests/e2e/lib.sh"
set +e

IFS=x read -r img_w img_h < <(ffprobe -v error -select_streams v:0 -show_entries stream=width,height \
  -of csv=p=0:s=x "$soak_clip")
[ -n "${img_h:-}" ] || { echo "soak: ffprobe cannot read $soak_clip"; exit 2; }
RANDOM=7  # the same operator every run

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$app_pid/status" 2>/dev/null; }

# drag X0 Y0 X1 Y1: a left-button drag in image pixels (the image starts at 5,5).
drag() {
  xdotool mousemove $((5 + $1)) $((5 + $2)) mousedown 1 \
    mousemove $((5 + ($1 + $3) / 2)) $((5 + ($2 + $4) / 2)) mousemove $((5 + $3)) $((5 + $4)) mouseup 1 \
    2>/dev/null
}

drags=0 ignored_drags=0 full_frame=0 resets=0 toggles=0
operate_drag() {
  local kind=$((drags % 10)) x0 y0 x1 y1
  drags=$((drags + 1))
  if [ "$kind" -eq 9 ]; then  # corner to corner: the whole frame again
    drag 0 0 $((img_w - 1)) $((img_h - 1))
    full_frame=$((full_frame + 1))
    return
  fi
  x0=$((RANDOM % (img_w - 8))); y0=$((RANDOM % (img_h - 8)))
  x1=$((x0 + 4 + RANDOM % (img_w - x0 - 4))); y1=$((y0 + 4 + RANDOM % (img_h - y0 - 4)))
  if [ "$kind" -eq 4 ]; then  # towards the upper left: must be ignored
    drag "$x1" "$y1" "$x0" "$y0"
    ignored_drags=$((ignored_drags + 1))
  else
    drag "$x0" "$y0" "$x1" "$y1"
  fi
}

toggle() { press "$input" r; toggles=$((toggles + 1)); }

dir="$work/soak"
mkdir -p "$dir"
write_config "$dir" "$soak_clip"
start_display
start_app "$dir"
input="$(wait_window "INPUT VIDEO" 30)"
[ -n "$input" ] || { fail "INPUT VIDEO appears"; cat "$dir/stdout" "$dir/stderr"; exit 1; }

echo "soak: ${minutes} min on $(basename "$soak_clip") (${img_w}x${img_h}), working folder $dir"
start=$SECONDS
end=$((start + minutes * 60))
rss=()
next_sample=$start
last_drag=$start last_reset=$start recording=0 burst_done=-1 alive=1
while [ "$SECONDS" -lt "$end" ]; do
  if ! kill -0 "$app_pid" 2>/dev/null; then alive=0; break; fi
  now=$SECONDS
  t=$(((now - start) % 60))
  minute=$(((now - start) / 60))
  if [ "$now" -ge "$next_sample" ]; then
    rss+=("$(rss_kib)")
    echo "soak: minute $minute: VmRSS $((${rss[-1]:-0} / 1024)) MiB"
    next_sample=$((next_sample + 60))
  fi
  if [ "$recording" -eq 0 ] && [ "$t" -ge 5 ] && [ "$t" -lt 15 ]; then toggle; recording=1; fi
  if [ "$recording" -eq 1 ] && [ "$t" -ge 15 ]; then toggle; recording=0; fi
  if [ "$t" -ge 40 ] && [ "$burst_done" -ne "$minute" ]; then  # two short recordings in quick succession
    for _ in 1 2 3 4; do toggle; done
    burst_done=$minute
  fi
  if [ $((now - last_drag)) -ge 7 ]; then operate_drag; last_drag=$now; fi
  if [ $((now - last_reset)) -ge 13 ]; then press "$input" space; resets=$((resets + 1)); last_reset=$now; fi
  sleep 0.5
done

check "the program ran for the whole ${minutes} min" [ "$alive" -eq 1 ]
if [ "$alive" -eq 1 ]; then
  rss+=("$(rss_kib)")
  press "$input" Escape
fi
wait_exit 30
check "ESC ends it with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
[ -s "$dir/stdout" ] && { echo "standard output:"; cat "$dir/stdout"; }

files=0 frames_total=0 bad_files=0
for f in "$dir"/record_*.avi; do
  [ -e "$f" ] || continue
  files=$((files + 1))
  stated="$(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames -of csv=p=0 "$f")"
  decoded="$(probe "$f" nb_read_frames)"
  errors="$(ffmpeg -nostdin -v error -i "$f" -f null - 2>&1 | head -n 3)"
  if [ -n "$stated" ] && [ "$stated" = "$decoded" ] && [ "${decoded:-0}" -gt 0 ] && [ -z "$errors" ]; then
    frames_total=$((frames_total + decoded))
  else
    bad_files=$((bad_files + 1))
    fail "$(basename "$f"): $stated frames stated, $decoded decoded ${errors:+; $errors}"
  fi
done
check "recordings were made ($files)" [ "$files" -gt 0 ]
check "every recording states its frame count and decodes whole ($bad_files bad)" [ "$bad_files" -eq 0 ]

mib() { echo $((${1:-0} / 1024)); }
samples="" max=0
for r in "${rss[@]}"; do
  samples+="$(mib "$r") "
  [ "${r:-0}" -gt "$max" ] && max=$r
done
# The first minute fills the model and the recording buffers; growth is
# measured from the second sample on.
base="${rss[1]:-${rss[0]:-0}}"
last="${rss[-1]:-0}"
echo
echo "== soak report"
echo "duration:    ${minutes} min on $(basename "$soak_clip") (${img_w}x${img_h})"
echo "operator:    $toggles record toggles, $drags drags ($ignored_drags backwards, $full_frame whole frame), $resets resets"
echo "VmRSS (MiB): ${samples}(one per minute, last at ESC)"
echo "memory:      $(mib "$base") MiB after the first minute, $(mib "$last") MiB at the end, max $(mib "$max") MiB"
echo "recordings:  $files files, $frames_total frames, $bad_files bad"
check "resident memory stays within 25% of the first minute's ($(mib "$base") -> $(mib "$last") MiB)" \
  [ "$((last * 4))" -le "$((base * 5))" ]
echo "result:      $([ "$failures" -eq 0 ] && echo PASS || echo "FAIL ($failures)")"
[ "$failures" -eq 0 ]
