#!/usr/bin/env bash
# End-to-end tests of the test camera (tests/camera): the RTSP server on
# 127.0.0.1 serving a main and a sub stream made by make_streams.sh, read by
# ffmpeg as a recorder would. No display is used.
#   camera_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=tests/camera/camera_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../camera/camera_lib.sh"

why="$(camera_missing)"
[ -z "$why" ] || missing_prerequisite "$why"

fps=15
frame_ms=$((1000 / fps))
# The files last 2 s, so that every read of a few seconds crosses a loop.
file_seconds=2
read_seconds=3
# Longer than the delay the camera catches up on (2 s) rather than skips.
stall_seconds=3
reader_pid=""
more_readers=()
hashes="$camera_dir/h264_hashes.py"

stop_reader() {
  local pid
  for pid in $reader_pid "${more_readers[@]}"; do
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  reader_pid=""
  more_readers=()
}
trap 'stop_reader; stop_cameras; cleanup' EXIT

# The walk scene's two streams, 2 s long, a keyframe every second in both.
make_walk() {
  make_streams walk "$work/streams" --seconds "$file_seconds" --walk 0.5-1.5 --main-gop "$fps" --sub-gop "$fps" ||
    { fail "make the streams"; return 1; }
}
serve_walk() {
  make_walk || return 1
  start_camera "$work" "/main=$work/streams/main.mp4" "/sub=$work/streams/sub.mp4" ||
    { fail "start the camera"; return 1; }
}

# describe URL: the streams ffprobe sees, one line each: type,codec,size,rate.
describe() {
  ffprobe -v error -rtsp_transport tcp -show_entries stream=codec_type,codec_name,width,height,r_frame_rate \
    -of json "$1" |
    jq -r '.streams[] | [.codec_type, .codec_name, "\(.width // 0)x\(.height // 0)", .r_frame_rate] | join(",")'
}

# packets FILE STREAM: "PTS_MS FLAGS" for each packet of the stream (v or a).
packets() {
  ffprobe -v error -select_streams "$2" -show_entries packet=pts_time,flags -of csv=p=0 "$1" |
    awk -F, '{printf "%d %s\n", $1 * 1000 + 0.5, $2}'
}
# steps LIST: the smallest and largest gap between packets of a list made by packets, in ms.
steps() {
  awk 'NR > 1 {d = $1 - p; if (NR == 2 || d < lo) lo = d; if (d > hi) hi = d} {p = $1} END {print lo + 0, hi + 0}' "$1"
}

# copy URL FILE: ffmpeg copies $read_seconds s of URL into FILE as a
# recorder does; FILE.status gets its exit status and how long it took, in ms.
copy() {
  local t0 status
  t0=$(now_ms)
  timeout $((30 * ${TARVOLEN_E2E_SLOWDOWN:-1})) \
    ffmpeg -nostdin -v error -y -rtsp_transport tcp -i "$1" -c copy -t "$read_seconds" "$2"
  status=$?
  echo "$status $(($(now_ms) - t0))" >"$2.status"
}

# check_copied FILE SOURCE: FILE, made by copy, came at the stream's rate,
# starts with a keyframe, and holds SOURCE's pictures, byte for byte.
check_copied() {
  local status elapsed_ms count first lo hi same list="$1.video"
  read -r status elapsed_ms <"$1.status"
  check "ffmpeg copies $read_seconds s into $(basename "$1") (status $status)" [ "$status" -eq 0 ]
  check "at the stream's own rate: $read_seconds s of it take $elapsed_ms ms" \
    [ "$elapsed_ms" -ge $((read_seconds * 900)) ]
  packets "$1" v >"$list"
  # ffmpeg counts the time from the first packet, but copies from the first
  # keyframe, which comes within a second.
  count="$(wc -l <"$list")"
  check "$((read_seconds - 1)) to $read_seconds s of pictures ($count)" \
    [ "$count" -ge $((fps * (read_seconds - 1))) -a "$count" -le $((fps * read_seconds + 1)) ]
  first="$(head -n1 "$list" | cut -d' ' -f2)"
  check "the first is a keyframe ($first)" [ "${first:0:1}" = K ]
  # ffmpeg's RTSP client gives the first video packet of a session no time
  # (ffprobe shows N/A); when that packet is the keyframe the copy starts on,
  # the copy writes it at the next one's time. The gaps count from the second.
  read -r lo hi < <(steps <(tail -n +2 "$list"))
  check "all $frame_ms ms apart across the file's loop ($lo to $hi ms)" \
    [ "$lo" -ge $((frame_ms - 2)) -a "$hi" -le $((frame_ms + 2)) ]
  same="$("$camera_python" "$hashes" --within "$2" "$1")"
  check "the pictures are the file's, byte for byte: $same" [ $? -eq 0 ]
}

# arrivals URL FILE: 2 s of URL's pictures copied into FILE, each timed by
# the wall clock when it arrived.
arrivals() {
  timeout $((30 * ${TARVOLEN_E2E_SLOWDOWN:-1})) ffmpeg -nostdin -v error -y -use_wallclock_as_timestamps 1 \
    -rtsp_transport tcp -i "$1" -map 0:v -c copy -copyts -frames:v $((2 * fps)) -f nut "$2"
}
# origin FILE SOURCE: when, by the wall clock, SOURCE's first picture was
# (or would have been) sent, in s: the median over FILE's pictures, each
# placed in SOURCE by its hash.
origin() {
  local start
  start="$("$camera_python" "$hashes" --within "$2" "$1" | sed -n 's/.* from picture \([0-9]*\) on.*/\1/p')"
  [ -n "$start" ] || return 1
  ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "$1" |
    awk -v start="$start" -v fps="$fps" '{printf "%.6f\n", $1 - (start + NR - 1) / fps}' | sort -n |
    awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

# check_same_moment MAIN_URL SUB_URL [WHAT]: the main and the sub stream
# show the same moment of the scene at the same time, as a camera's two
# encoders of one sensor do.
check_same_moment() {
  local readers=()
  arrivals "$1" "$work/main.nut" &
  readers+=($!)
  arrivals "$2" "$work/sub.nut" &
  readers+=($!)
  wait "${readers[@]}"
  local main sub offset_ms
  main="$(origin "$work/main.nut" "$work/streams/main.mp4")"
  sub="$(origin "$work/sub.nut" "$work/streams/sub.mp4")"
  # The files loop together: the offset counts modulo their length.
  offset_ms="$(awk -v m="${main:-0}" -v s="${sub:-0}" -v loop="$file_seconds" \
    'BEGIN {d = m - s; d -= loop * int(d / loop + (d < 0 ? -0.5 : 0.5)); printf "%d", d * 1000}')"
  check "${3:-the main and the sub stream} show the same moment at once (the main one $offset_ms ms later)" \
    [ -n "$main" -a -n "$sub" -a "${offset_ms#-}" -le "$frame_ms" ]
}

case_serves_two_streams() {
  serve_walk || return
  local main sub readers=()
  # Both streams at once, as a recorder reads them.
  describe "$camera_url/main" | sort | tr '\n' ' ' >"$work/main.streams" &
  readers+=($!)
  describe "$camera_url/sub" | tr '\n' ' ' >"$work/sub.streams" &
  readers+=($!)
  wait "${readers[@]}"
  main="$(cat "$work/main.streams")" sub="$(cat "$work/sub.streams")"
  check "/main: 1920x1080 H.264 at 15 fps and AAC sound ($main)" \
    [ "$main" = "audio,aac,0x0,0/0 video,h264,1920x1080,15/1 " ]
  check "/sub: 640x360 H.264 at 15 fps ($sub)" [ "$sub" = "video,h264,640x360,15/1 " ]
  readers=()
  copy "$camera_url/main" "$work/main.mkv" &
  readers+=($!)
  copy "$camera_url/sub" "$work/sub.mkv" &
  readers+=($!)
  wait "${readers[@]}"
  check_copied "$work/main.mkv" "$work/streams/main.mp4"
  local count lo hi
  packets "$work/main.mkv" a >"$work/main.audio"
  count="$(wc -l <"$work/main.audio")"
  # AAC at 16 kHz: 1024 samples, 64 ms a packet.
  check "the sound comes along: $count AAC packets" [ "$count" -ge $((read_seconds * 15 - 2)) ]
  # The file's sound is not a whole number of AAC packets long: each loop
  # may leave a gap of less than one.
  read -r lo hi < <(steps "$work/main.audio")
  check "64 ms apart, a gap shorter than that at the loop ($lo to $hi ms)" [ "$lo" -ge 62 -a "$hi" -le 128 ]
  check_copied "$work/sub.mkv" "$work/streams/sub.mp4"
  check_same_moment "$camera_url/main" "$camera_url/sub"
  check_shared "$camera_url/sub"
}

# threads: how many threads the camera runs.
threads() { ls "/proc/$camera_pid/task" | wc -l; }
# check_shared URL: one pipeline serves every reader of a mount: three
# readers at once cost the camera no more threads than one.
check_shared() {
  local one three i
  start_reader "$1" "$work/shared.mkv"
  wait_for 15 reader_past 0 || { fail "a reader gets $1"; return; }
  one="$(threads)"
  for i in 1 2; do
    ffmpeg -nostdin -v error -rtsp_transport tcp -i "$1" -c copy -f null - -progress "$work/progress$i" &
    more_readers+=($!)
  done
  for i in 1 2; do
    wait_for 15 grep -q '^out_time_us=[1-9]' "$work/progress$i" || fail "reader $((i + 1)) gets $1"
  done
  three="$(threads)"
  check "three readers of a mount share one pipeline (the camera runs $one threads with one, $three with three)" \
    [ "$three" -eq "$one" ]
  stop_reader
}

# start_reader URL FILE: ffmpeg copies URL into FILE until stopped, its
# progress in $work/progress.
start_reader() {
  rm -f "$work/progress"
  ffmpeg -nostdin -v error -y -rtsp_transport tcp -i "$1" -c copy -progress "$work/progress" "$2" &
  reader_pid=$!
}
# reader_ms: how much of the stream the reader has written, in ms (0 before any).
reader_ms() {
  sed -n 's/^out_time_us=\([0-9]*\)$/\1/p' "$work/progress" 2>/dev/null | awk '{ms = int($1 / 1000)} END {print ms + 0}'
}
reader_past() { [ "$(reader_ms)" -gt "$1" ]; }
reader_gone() { ! kill -0 "$reader_pid" 2>/dev/null; }

# check_drop SIGNAL [PORT]: a reader of the camera (at PORT if given) sees
# its connection end when the camera gets SIGNAL.
check_drop() {
  local port_args=()
  [ -n "${2:-}" ] && port_args=(--port "$2")
  start_camera "$work" "${port_args[@]}" "/sub=$work/streams/sub.mp4" || { fail "start the camera"; return; }
  start_reader "$camera_url/sub" "$work/read.mkv"
  check "a reader gets $camera_url/sub" wait_for 15 reader_past 0 || return
  kill "-$1" "$camera_pid"
  local t0 gone
  t0=$(now_ms)
  check "the camera's process ends on SIG$1" wait_for 5 bash -c "! kill -0 $camera_pid 2>/dev/null"
  wait_for 10 reader_gone
  gone=$?
  check "the reader sees the stream end ($(($(now_ms) - t0)) ms after the signal)" [ "$gone" -eq 0 ]
  stop_reader
  stop_camera
}

case_kill_drops() {
  make_walk || return
  check_drop KILL
  # A camera brought back where it was, as one that reboots.
  check_drop TERM "$camera_port"
}

# Two cameras, one for each stream, and one of them brought back: given the
# first one's origin, they play in step as one camera's two streams do.
case_in_step() {
  make_walk || return
  mkdir -p "$work/main" "$work/sub"
  start_camera "$work/main" "/main=$work/streams/main.mp4" || { fail "start the main camera"; return; }
  local main_pid="$camera_pid" main_url="$camera_url/main" main_port="$camera_port" origin="$camera_origin"
  start_camera "$work/sub" --origin "$origin" "/sub=$work/streams/sub.mp4" || { fail "start the sub camera"; return; }
  local sub_url="$camera_url/sub"
  check_same_moment "$main_url" "$sub_url" "a main camera and a sub camera started after it"
  stop_camera "$main_pid"
  start_camera "$work/main" --port "$main_port" --origin "$origin" "/main=$work/streams/main.mp4" ||
    { fail "bring the main camera back"; return; }
  check_same_moment "$main_url" "$sub_url" "the main camera brought back and the sub camera"
}

# established PORT: a TCP connection to 127.0.0.1:PORT is open.
established() { grep -qi "^ *[0-9]*: [0-9A-F]*:[0-9A-F]* 0100007F:$(printf '%04X' "$1") 01 " /proc/net/tcp; }

case_stop_stalls() {
  make_walk || return
  start_camera "$work" "/sub=$work/streams/sub.mp4" || { fail "start the camera"; return; }
  start_reader "$camera_url/sub" "$work/read.mkv"
  wait_for 15 reader_past 1000 || { fail "the reader gets the stream"; return; }
  kill -STOP "$camera_pid"
  local stalled_ms
  # Packets already sent may still arrive: the stall is measured once the
  # reader's progress (written every 0.5 s) has stood still for a second.
  wait_for 10 bash -c "a=\$(sed -n 's/^out_time_us=//p' '$work/progress' | tail -n1); sleep 1;
    [ \"\$a\" = \"\$(sed -n 's/^out_time_us=//p' '$work/progress' | tail -n1)\" ]"
  stalled_ms="$(reader_ms)"
  sleep "$stall_seconds"  # nothing may happen meanwhile
  check "SIGSTOP stalls the stream (the reader stays at $stalled_ms ms, now $(reader_ms))" \
    [ "$(reader_ms)" -eq "$stalled_ms" ]
  check "with the connection open" established "$camera_port"
  check "the reader waits" kill -0 "$reader_pid"
  kill -CONT "$camera_pid"
  check "SIGCONT resumes it" wait_for 10 reader_past $((stalled_ms + 1000))
  kill -INT "$reader_pid"
  wait_for 10 reader_gone || fail "the reader ends on SIGINT"
  stop_reader
  # The camera goes on live: no burst of the frames of the stall, but a
  # jump of the timestamps by about the stall, to a keyframe.
  local jump_ms flags
  packets "$work/read.mkv" v >"$work/read.video"
  read -r jump_ms flags < <(awk 'NR > 1 && $1 - p > big {big = $1 - p; flags = $2} {p = $1} END {print big + 0, flags}' \
    "$work/read.video")
  check "after the stall the stream goes on live: its timestamps jump by about the stall ($jump_ms ms)" \
    [ "$jump_ms" -ge $((stall_seconds * 800)) ]
  check "to a keyframe ($flags)" [ "${flags:0:1}" = K ]
}

"case_$case_name"
echo "$case_name: $failures failure(s)"
[ "$failures" -eq 0 ]
