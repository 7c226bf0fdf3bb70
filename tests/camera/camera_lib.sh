# The test camera for shell scripts (sourced): tests/camera/rtsp_camera.py
# started on 127.0.0.1 at a port the kernel picks, waited for, stalled and
# stopped; tests/camera/make_streams.sh makes what it serves.
#
#   camera_missing                    prints why the camera cannot run here (nothing: it can)
#   make_streams ARGS...              tests/camera/make_streams.sh ARGS...
#   start_camera DIR /PATH=FILE...    starts it, output in DIR/camera.log; waits until it
#                                     listens; sets camera_pid, camera_port and camera_url
#                                     (rtsp://127.0.0.1:PORT); returns 1 if it does not start
#   stop_camera                       kills it (SIGKILL) and waits for it; call it from a trap
#
# Every bound is scaled by TARVOLEN_E2E_SLOWDOWN.

camera_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# Debian's Python, which has GStreamer's bindings: another may come first on PATH.
camera_python=/usr/bin/python3
# Reading both files' headers and starting to listen; seconds.
camera_start_timeout_s=20
camera_pid=""
camera_port=""
camera_url=""

camera_missing() {
  command -v ffmpeg >/dev/null || { echo "ffmpeg is not installed"; return; }
  [ -x "$camera_python" ] || { echo "$camera_python is not installed"; return; }
  "$camera_python" "$camera_dir/rtsp_camera.py" --check 2>&1 | head -n1
}

make_streams() { bash "$camera_dir/make_streams.sh" "$@"; }

start_camera() {
  local dir="$1" mount args=()
  shift
  for mount in "$@"; do args+=(--mount "$mount"); done
  rm -f "$dir/camera.port"
  "$camera_python" "$camera_dir/rtsp_camera.py" --ready-file "$dir/camera.port" "${args[@]}" \
    >"$dir/camera.log" 2>&1 </dev/null &
  camera_pid=$!
  local deadline=$((SECONDS + camera_start_timeout_s * ${TARVOLEN_E2E_SLOWDOWN:-1}))
  until [ -s "$dir/camera.port" ]; do
    if ! kill -0 "$camera_pid" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; then
      echo "the test camera did not start: $(head -c 300 "$dir/camera.log")"
      stop_camera
      return 1
    fi
    sleep 0.05
  done
  camera_port="$(cat "$dir/camera.port")"
  camera_url="rtsp://127.0.0.1:$camera_port"
}

stop_camera() {
  [ -n "$camera_pid" ] || return 0
  kill -KILL "$camera_pid" 2>/dev/null
  wait "$camera_pid" 2>/dev/null
  camera_pid=""
}
