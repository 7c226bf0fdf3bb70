# Viewers of a web view's live stream, for the viewer benches (sourced).
#   start_viewers DIR PORT SECONDS FPS...   one curl per FPS ("-": none), each
#                                           saving DIR/viewerN.mjpg for SECONDS;
#                                           their pids in viewer_pids
#   report_viewers DIR SECONDS FPS...       the rate each viewer got

start_viewers() {
  local dir="$1" port="$2" seconds="$3" asked i=0
  shift 3
  viewer_pids=()
  for asked in "$@"; do
    [ "$asked" = "-" ] && continue
    curl -s -m "$seconds" -o "$dir/viewer$i.mjpg" "http://127.0.0.1:$port/stream.mjpg?fps=$asked" &
    viewer_pids+=($!)
    i=$((i + 1))
  done
}

report_viewers() {
  local dir="$1" seconds="$2" asked frames i=0
  shift 2
  for asked in "$@"; do
    [ "$asked" = "-" ] && continue
    frames=$(grep -ac -- '--tarvolenframe' "$dir/viewer$i.mjpg" || true)
    echo "  viewer $i asked $asked fps, got $(awk -v f="$frames" -v s="$seconds" 'BEGIN{printf "%.2f", f/s}') fps"
    i=$((i + 1))
  done
}
