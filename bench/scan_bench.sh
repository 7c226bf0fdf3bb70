#!/usr/bin/env bash
# Throughput and memory of tarvolen-scan against decoding alone.
#   bash bench/scan_bench.sh [BUILD_DIR] [WORK_DIR]
# Makes 1920x1080 MJPEG and H.264 files, a 3840x2160 HEVC file at 15 fps (a
# recorder's export) and a long file from samples/vtest.avi (cached in
# WORK_DIR, default /tmp/tarvolen-scan-bench), then for each file runs,
# alternately and REPEAT times (default 3), a loop that only decodes it (with
# cv::VideoCapture and through FFmpeg's libraries as the scan reads it; the
# faster counts) and the scan at its defaults without outputs; the best rate
# of each is kept. Then one run with --clips --sheet, and the peak memory
# of each. Prints a Markdown report. LONG_MINUTES (default 60) sets the long
# file's length; a timed comparison belongs here, never in the tests.
# DETECT_ONLY=1 runs only the detection-width part: on the 1080p H.264 and
# 4K HEVC files, REPEAT (default 3) alternating rounds of decoding alone
# (FFmpeg's libraries, the frames dropped), decoding to the luma plane as the
# scan reads it with --detect-width, the scan with --detect-width 640 and no
# drawn output (so no BGR conversion at all) and the exact scan; best rate
# of each, the ratios to decoding alone, and the mean CPU seconds.
# Last, the clip formats: the plain scan against --clips with each
# --clip-format on vtest.avi and the 1080p MJPEG file (one run each), and the
# size per second and encoding cost per frame of Motion-JPEG and MP4 clips
# at 768x576 and 1920x1080 (bench/tarvolen_clip_encode_cost). CLIPS_ONLY=1
# runs that part alone.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
work="${2:-/tmp/tarvolen-scan-bench}"
repeat="${REPEAT:-3}"
long_minutes="${LONG_MINUTES:-60}"
scan="$build/scan/tarvolen-scan"
decode="$build/bench/tarvolen_decode_rate"
sample="$root/samples/vtest.avi"
[ -x "$scan" ] && [ -x "$decode" ] || { echo "build first: $scan, $decode"; exit 1; }
[ -s "$sample" ] || { echo "no $sample (scripts/fetch-sample.sh)"; exit 1; }
mkdir -p "$work"

make_input() {  # make_input NAME FFMPEG_ARGS...
  local out="$work/$1"; shift
  [ -s "$out" ] || ffmpeg -v error -y "$@" "$out"
  echo "$out"
}
mjpeg="$(make_input vtest_1080_mjpeg.avi -i "$sample" -vf scale=1920:1080 -c:v mjpeg -q:v 3 -an)"
if [ "${CLIPS_ONLY:-0}" != 1 ]; then
h264="$(make_input vtest_1080_h264.mp4 -i "$sample" -vf scale=1920:1080 -c:v libx264 -preset veryfast -crf 23 -an)"
hevc="$(make_input vtest_2160_hevc.mp4 -stream_loop 1 -i "$sample" -vf scale=3840:2160,fps=15 -frames:v 1200 \
  -c:v libx265 -preset ultrafast -x265-params log-level=error -an)"
# vtest.avi is 79.5 s long: loop it for the long file, without re-encoding.
loops=$(((long_minutes * 60 + 79) / 80 - 1))
[ "${DETECT_ONLY:-0}" = 1 ] ||
  long="$(make_input "vtest_${long_minutes}min.avi" -stream_loop "$loops" -i "$sample" -c copy)"
fi

rate_of() { grep -oE '[0-9.]+ frames/s' | head -n1 | cut -d' ' -f1; }
best() { sort -g | tail -n1; }

cpu_of() { awk '/cpu/ {print $2 + $3}' "$work/time"; }  # user + system seconds of the last run

# measure FILE: prints "decode scan clips peak_scan_kb peak_clips_kb decode_cpu scan_cpu"
measure() {
  local file="$1" out="$work/out" d=() s=() i decode_cpu scan_cpu
  for i in $(seq "$repeat"); do
    # One pass through the file: "frames seconds frames_per_second".
    local opencv libav
    opencv="$(/usr/bin/time -f 'cpu %U %S' -o "$work/time" "$decode" "$file" 0 | cut -d' ' -f3)"
    decode_cpu="$(cpu_of)"
    libav="$(/usr/bin/time -f 'cpu %U %S' -o "$work/time" "$decode" "$file" 0 libav | cut -d' ' -f3)"
    if awk -v a="$libav" -v o="$opencv" 'BEGIN { exit !(a > o) }'; then decode_cpu="$(cpu_of)"; fi
    d+=("$(printf '%s\n%s\n' "$opencv" "$libav" | best)")
    rm -rf "$out"
    s+=("$(cd "$work" && /usr/bin/time -f 'peak %M cpu %U %S' -o "$work/time" "$scan" -o "$out" "$file" |
      rate_of)")
    scan_cpu="$(awk '/cpu/ {print $4 + $5}' "$work/time")"
  done
  local peak_scan peak_clips clips
  peak_scan="$(awk '/peak/ {print $2}' "$work/time")"
  rm -rf "$out"
  clips="$(cd "$work" && /usr/bin/time -f 'peak %M' -o "$work/time" "$scan" -o "$out" --clips --sheet "$file" |
    rate_of)"
  peak_clips="$(awk '/peak/ {print $2}' "$work/time")"
  echo "$(printf '%s\n' "${d[@]}" | best) $(printf '%s\n' "${s[@]}" | best) $clips $peak_scan $peak_clips" \
    "$decode_cpu $scan_cpu"
}

clip_formats() {
  local cost="$build/bench/tarvolen_clip_encode_cost"
  echo "## Clip formats ($(date -u '+%Y-%m-%d %H:%M UTC'))"
  echo
  echo "- machine: $(nproc) cores, load before: $(cut -d' ' -f1-3 /proc/loadavg); one run each, in a row"
  echo "- the detector at its defaults; the clips cover its events, most of each file"
  echo
  echo "| file | scan | --clips avi | --clips mp4 | --clips copy | clips avi / mp4 / copy, MB |"
  echo "|---|---|---|---|---|---|"
  local file plain format rate sizes ratios
  for file in "$sample" "$mjpeg"; do
    rm -rf "$work/out"
    plain="$(cd "$work" && "$scan" -o "$work/out" "$file" | rate_of)"
    ratios=""; sizes=""
    for format in avi mp4 copy; do
      rm -rf "$work/out"
      rate="$(cd "$work" && "$scan" -o "$work/out" --clips --clip-format "$format" "$file" | rate_of)"
      ratios="$ratios | $(awk -v r="$rate" -v p="$plain" 'BEGIN { printf "%.1f (%.2fx)", r, r / p }')"
      sizes="$sizes${sizes:+ / }$(du -cm "$work"/out/*.event_* | tail -n1 | cut -f1)"
    done
    echo "| $(basename "$file") | $plain$ratios | $sizes |"
  done
  rm -rf "$work/out"
  echo
  echo "Writing clips of vtest.avi scaled (frames decoded into memory first; ms and CPU ms per frame, clip bytes per"
  echo "second; avi-jpeg takes frames already JPEG-compressed, as the pre-capture buffer holds them):"
  echo
  echo "| size | format | ms/frame | CPU ms/frame | clip KB/s |"
  echo "|---|---|---|---|---|"
  local size w h name ms cpu bps
  for size in 768x576 1920x1080; do
    w="${size%x*}"; h="${size#*x}"
    "$cost" "$sample" "$w" "$h" 120 | while read -r name _ ms cpu bps; do
      printf '| %s | %s | %.2f | %.2f | %d |\n' "$size" "$name" "$ms" "$cpu" $((bps / 1024))
    done
  done
  echo
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
}
if [ "${CLIPS_ONLY:-0}" = 1 ]; then clip_formats; exit 0; fi

# timed RATE_VAR CPU_VAR COMMAND...: runs it; the rate it prints and its user + system seconds.
timed() {
  local rate_var="$1" cpu_var="$2"; shift 2
  local out
  out="$(/usr/bin/time -f 'cpu %U %S' -o "$work/time" "$@")"
  printf -v "$rate_var" '%s' "$(grep -oE '[0-9.]+ frames/s' <<<"$out" | head -n1 | cut -d' ' -f1)"
  [ -n "${!rate_var}" ] || printf -v "$rate_var" '%s' "$(cut -d' ' -f3 <<<"$out")"
  printf -v "$cpu_var" '%s' "$(cpu_of)"
}
mean() { awk '{ s += $1 } END { printf "%.2f", s / NR }'; }

detect_width() {
  echo "## tarvolen-scan --detect-width 640 against decoding alone ($(date -u '+%Y-%m-%d %H:%M UTC'))"
  echo
  echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- best of $repeat alternating rounds (frames/s); decode: FFmpeg's libraries alone, the frames"
  echo "  dropped (\`tarvolen_decode_rate FILE 0 decode\`); luma: the luma plane handed on as the scan reads it"
  echo "  (\`... 0 luma\`); to BGR: converted as the exact scan reads (\`... 0 libav\`, the \"decode only\" of"
  echo "  the table above); scan 640: \`tarvolen-scan --detect-width 640\` with no output but the log, so"
  echo "  no frame is converted to BGR; exact: \`tarvolen-scan\` at the defaults; CPU: mean user + system s"
  echo "  of a whole run (start-up included)"
  echo
  echo "| file | frames | decode | luma | to BGR | scan 640 | scan 640 / decode | scan 640 / to BGR | exact scan | CPU s decode / luma / scan 640 / exact |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
  local file i rate cpu d l b w e dc lc wc ec
  cd "$work"  # no Tarvolen.json of the caller's
  for file in "$h264" "$hevc"; do
    d=(); l=(); b=(); w=(); e=(); dc=(); lc=(); wc=(); ec=()
    for i in $(seq "$repeat"); do
      timed rate cpu "$decode" "$file" 0 decode; d+=("$rate"); dc+=("$cpu")
      timed rate cpu "$decode" "$file" 0 luma; l+=("$rate"); lc+=("$cpu")
      timed rate cpu "$decode" "$file" 0 libav; b+=("$rate")
      rm -rf "$work/out"
      timed rate cpu "$scan" -o "$work/out" --detect-width 640 "$file"; w+=("$rate"); wc+=("$cpu")
      rm -rf "$work/out"
      timed rate cpu "$scan" -o "$work/out" "$file"; e+=("$rate"); ec+=("$cpu")
    done
    local bd bl bb bw be
    bd="$(printf '%s\n' "${d[@]}" | best)"; bl="$(printf '%s\n' "${l[@]}" | best)"
    bb="$(printf '%s\n' "${b[@]}" | best)"; bw="$(printf '%s\n' "${w[@]}" | best)"
    be="$(printf '%s\n' "${e[@]}" | best)"
    printf '| %s | %s | %.1f | %.1f | %.1f | %.1f | **%.2f** | %.2f | %.1f | %s / %s / %s / %s |\n' "$(basename "$file")" \
      "$(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames -of csv=p=0 "$file")" \
      "$bd" "$bl" "$bb" "$bw" "$(awk -v a="$bw" -v b="$bd" 'BEGIN { print a / b }')" \
      "$(awk -v a="$bw" -v b="$bb" 'BEGIN { print a / b }')" "$be" "$(printf '%s\n' "${dc[@]}" | mean)" \
      "$(printf '%s\n' "${lc[@]}" | mean)" "$(printf '%s\n' "${wc[@]}" | mean)" "$(printf '%s\n' "${ec[@]}" | mean)"
  done
  rm -rf "$work/out"
  echo
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
}
if [ "${DETECT_ONLY:-0}" = 1 ]; then detect_width; exit 0; fi

echo "## tarvolen-scan throughput ($(date -u '+%Y-%m-%d %H:%M UTC'))"
echo
echo "- machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- best of $repeat alternating runs; rates in frames/s as each program reports them (both count opening"
echo "  the file, neither counts process start-up); CPU: user + system seconds of a whole run of each (start-up"
echo "  included)"
echo
echo "| file | frames | decode only | scan, defaults | ratio | scan --clips --sheet | peak memory scan / with clips | CPU s decode / scan |"
echo "|---|---|---|---|---|---|---|---|"
for file in "$sample" "$mjpeg" "$h264" "$hevc"; do
  read -r dec sc cl pk pc dcpu scpu <<<"$(measure "$file")"
  frames="$(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames -of csv=p=0 "$file")"
  [ "$frames" = "N/A" ] && frames="$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$file")"
  printf '| %s | %s | %.1f | %.1f | %.2f | %.1f | %d MiB / %d MiB | %.2f / %.2f |\n' "$(basename "$file")" \
    "$frames" "$dec" "$sc" "$(awk -v s="$sc" -v d="$dec" 'BEGIN { print s / d }')" "$cl" $((pk / 1024)) \
    $((pc / 1024)) "$dcpu" "$scpu"
done
echo
echo "Memory on a long file ($(basename "$long"), ${long_minutes} min) against vtest.avi (79.5 s):"
echo
echo "| run | vtest.avi peak | long file peak | long file rate |"
echo "|---|---|---|---|"
for args in "" "--sheet" "--clips --sheet"; do
  rm -rf "$work/out"
  (cd "$work" && /usr/bin/time -f 'peak %M' -o "$work/time" "$scan" -o "$work/out" $args "$sample" >/dev/null)
  short_peak="$(awk '/peak/ {print $2}' "$work/time")"
  rm -rf "$work/out"
  rate="$(cd "$work" && /usr/bin/time -f 'peak %M' -o "$work/time" "$scan" -o "$work/out" $args "$long" | rate_of)"
  long_peak="$(awk '/peak/ {print $2}' "$work/time")"
  printf '| scan %s | %d MiB | %d MiB | %.1f frames/s |\n' "${args:-(defaults)}" $((short_peak / 1024)) \
    $((long_peak / 1024)) "$rate"
  [ -n "$args" ] || long_scan="$rate"
done
rm -rf "$work/out"
long_decode="$("$decode" "$long" 0 | cut -d' ' -f3)"
printf '\nOn the long file, where opening it and starting up weigh nothing: decode only %.1f frames/s, scan %.1f\n' \
  "$long_decode" "$long_scan"
printf '(the defaults row above), ratio %.2f.\n' "$(awk -v s="$long_scan" -v d="$long_decode" 'BEGIN { print s / d }')"
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
clip_formats
echo
detect_width
