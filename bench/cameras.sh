#!/usr/bin/env bash
# Many copies of a command against the test camera at once, and what each
# costs: the camera (tests/camera/rtsp_camera.py) serves the people scene as
# a 1920x1080 main stream (H.264 + AAC) and a 640x360 sub stream, both 15
# fps, on 127.0.0.1; COMMAND runs COPIES times at once, each in a session of
# its own and a folder of its own; each copy's CPU (utime + stime over wall
# time, in % of one core) and memory (VmRSS), and the camera's, are sampled
# once a second (bench/proc_sampler.py) and reported at the end.
#
#   bench/cameras.sh [--copies N] [--seconds S] [--warmup S] [--streams DIR] [--keep] [--] COMMAND...
#
#   --copies N     copies of COMMAND at once (default 1)
#   --seconds S    how long they are measured (default 60); then each gets
#                  SIGTERM (SIGKILL 20 s later). A copy may also end sooner.
#   --warmup S     seconds left out of the measure at the start (default 5)
#   --streams DIR  where the scene's files are kept between runs (default
#                  .work/camera-streams); made when missing (about half a
#                  minute), 53 s long, which the camera loops
#   --keep         keep the copies' folders (they are named at the end)
#
# COMMAND is run by bash -c in each copy's folder with, in its environment:
#   MAIN, SUB   rtsp://127.0.0.1:PORT/main and /sub
#   COPY        the copy's number, from 0
#   COPY_DIR    the copy's folder (also its working folder)
# Quote it so that these expand in each copy, e.g.
#   bench/cameras.sh --copies 24 -- 'ffmpeg -v error -rtsp_transport tcp -i "$SUB" -f null -'
#   bench/cameras.sh --copies 24 --seconds 600 -- 'tarvolen-watch --config "$COPY_DIR/../Tarvolen.json" --source "$SUB"'
# Each copy's standard output and error are in COPY_DIR/stdout and stderr.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=tests/camera/camera_lib.sh
source "$root/tests/camera/camera_lib.sh"

copies=1 seconds=60 warmup=5 streams="$root/.work/camera-streams" keep=0
# vtest.avi's 795 frames at 15 fps: the whole sample once, looped by the camera.
scene_seconds=53
# How long a copy may take to finish once told to stop.
stop_grace_s=20
while [ $# -gt 0 ]; do
  case "$1" in
    --copies) copies="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --warmup) warmup="$2"; shift 2 ;;
    --streams) streams="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    --) shift; break ;;
    -*) echo "cameras.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ]; then
  echo "usage: bench/cameras.sh [--copies N] [--seconds S] [--warmup S] [--streams DIR] [--keep] [--] COMMAND..." >&2
  exit 2
fi
command_line="$*"
why="$(camera_missing)"
[ -z "$why" ] || { echo "cameras.sh: the test camera cannot run: $why" >&2; exit 1; }

work="$(mktemp -d /tmp/tarvolen-cameras.XXXXXX)"
copy_pids=()
sampler_pid=""
finish() {
  local pid
  for pid in "${copy_pids[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
  [ -n "$sampler_pid" ] && kill -KILL "$sampler_pid" 2>/dev/null
  stop_camera
  if [ "$keep" = 1 ]; then echo "copies' folders kept in $work"; else rm -rf "$work"; fi
}
trap finish EXIT

if [ ! -s "$streams/main.mp4" ] || [ ! -s "$streams/sub.mp4" ]; then
  t0=$SECONDS
  make_streams people "$streams" --seconds "$scene_seconds"
  echo "made the people scene's streams ($scene_seconds s) in $((SECONDS - t0)) s:" \
    "$(du -h "$streams/main.mp4" | cut -f1) main, $(du -h "$streams/sub.mp4" | cut -f1) sub"
fi
start_camera "$work" "/main=$streams/main.mp4" "/sub=$streams/sub.mp4"
export MAIN="$camera_url/main" SUB="$camera_url/sub"
echo "camera on $camera_url (pid $camera_pid); $copies copies of: $command_line"

groups=("camera=$camera_pid")
for ((i = 0; i < copies; i++)); do
  mkdir -p "$work/copy$i"
  (cd "$work/copy$i" && COPY="$i" COPY_DIR="$work/copy$i" exec setsid bash -c "$command_line" \
    >"$work/copy$i/stdout" 2>"$work/copy$i/stderr" </dev/null) &
  copy_pids+=($!)
  groups+=("copy$i=$!")
done

"$camera_python" "$root/bench/proc_sampler.py" --warmup "$warmup" --seconds "$seconds" \
  "${groups[@]}" >"$work/report" &
sampler_pid=$!
# The sampler ends after the measure, or once every copy and the camera have
# ended; copies that end early are reported as they stand.
while kill -0 "$sampler_pid" 2>/dev/null; do
  alive=0
  for pid in "${copy_pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
  [ "$alive" = 1 ] || { kill -TERM "$sampler_pid" 2>/dev/null; break; }
  sleep 1
done
wait "$sampler_pid" || true
sampler_pid=""

# Stop the copies as a service manager would: SIGTERM to each session, SIGKILL after the grace.
for pid in "${copy_pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
deadline=$((SECONDS + stop_grace_s))
for i in "${!copy_pids[@]}"; do
  pid="${copy_pids[$i]}"
  while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
  kill -KILL -- "-$pid" 2>/dev/null || true
  status=0
  wait "$pid" || status=$?
  echo "copy$i: exit status $status; last line of its standard error: $(tail -n1 "$work/copy$i/stderr" | cut -c1-160)"
done
copy_pids=()
cat "$work/report"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
