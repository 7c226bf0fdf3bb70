# shellcheck shell=bash disable=SC2034  # camera_url and camera_origin are for the scripts that source this file
# The test camera for shell scripts (sourced): tests/camera/rtsp_camera.py
# started on 127.0.0.1, waited for and stopped; tests/camera/make_streams.sh
# makes what it serves.
#
#   camera_missing                   prints why the camera cannot run here (nothing: it can)
#   make_streams ARGS...             tests/camera/make_streams.sh ARGS...
#   start_camera DIR [--port PORT] [--origin NS] /PATH=FILE...
#                                    starts a camera, its output in DIR/camera.log, at a port the
#                                    kernel picks or at PORT (to bring a camera back where it
#                                    was), in step with the camera whose camera_origin was NS
#                                    (rtsp_camera.py --origin); waits until it listens; sets
#                                    camera_pid, camera_port, camera_url (rtsp://127.0.0.1:PORT)
#                                    and camera_origin; returns 1 if it does not start
#   stop_camera [PID]                kills that camera (SIGKILL; by default the last one started)
#                                    and waits for it
#   stop_cameras                     kills every camera started; for a trap
#
# Several cameras may run at once, e.g. one serving /main and another /sub
# in step with it (--origin "$camera_origin"), so that the main stream can
# drop (stop_camera, kill -STOP) while the sub stream stays. Every bound is
# scaled by TARVOLEN_E2E_SLOWDOWN.

camera_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# Debian's Python, which has GStreamer's bindings: another may come first on PATH.
camera_python=/usr/bin/python3
# Reading the files' headers and starting to listen; seconds.
camera_start_timeout_s=20
camera_pid=""
camera_port=""
camera_url=""
camera_origin=""
camera_pids=()

camera_missing() {
  command -v ffmpeg >/dev/null || { echo "ffmpeg is not installed"; return; }
  [ -x "$camera_python" ] || { echo "$camera_python is not installed"; return; }
  "$camera_python" "$camera_dir/rtsp_camera.py" --check 2>&1 | head -n1
}

make_streams() { bash "$camera_dir/make_streams.sh" "$@"; }

start_camera() {
  local dir="$1" args=()
  shift
  while [ "${1:-}" = --port ] || [ "${1:-}" = --origin ]; do args+=("$1" "$2"); shift 2; done
  local mount
  for mount in "$@"; do args+=(--mount "$mount"); done
  rm -f "$dir/camera.port"
  "$camera_python" "$camera_dir/rtsp_camera.py" --ready-file "$dir/camera.port" "${args[@]}" \
    >"$dir/camera.log" 2>&1 </dev/null &
  camera_pid=$!
  camera_pids+=("$camera_pid")
  local deadline=$((SECONDS + camera_start_timeout_s * ${TARVOLEN_E2E_SLOWDOWN:-1}))
  until [ -s "$dir/camera.port" ]; do
    if ! kill -0 "$camera_pid" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
      echo "the test camera did not start: $(head -c 300 "$dir/camera.log")"
      stop_camera
      return 1
    fi
    sleep 0.05
  done
  camera_port="$(sed -n 1p "$dir/camera.port")"
  camera_origin="$(sed -n 2p "$dir/camera.port")"
  camera_url="rtsp://127.0.0.1:$camera_port"
}

stop_camera() {
  local pid="${1:-$camera_pid}"
  [ -n "$pid" ] || return 0
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true  # its status is SIGKILL's: not a failure, also under set -e
  [ "$pid" = "$camera_pid" ] && camera_pid=""
  return 0
}

stop_cameras() {
  local pid
  for pid in "${camera_pids[@]}"; do stop_camera "$pid"; done
  camera_pids=()
}
