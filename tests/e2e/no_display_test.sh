#!/usr/bin/env bash
# The program where no display can show its windows: it says so in one line
# and ends, before it opens the source or asks for a file. Runs without any
# display (no Xvfb).
#   no_display_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# run_headless LABEL MESSAGE: runs the program in $dir with a path waiting on
# its standard input, and checks one line, a one-second pause and 255.
run_headless() {
  local t0 t1 rc
  t0=$(date +%s%N)
  (cd "$dir" && exec "$app" >"$dir/stdout" 2>"$dir/stderr" <<<"$clip")
  rc=$?
  t1=$(date +%s%N)
  local elapsed_ms=$(((t1 - t0) / 1000000))
  check "$1: exit status 255 (got $rc)" [ "$rc" -eq 255 ]
  check "$1: prints '$2' alone ($(head -c 200 "$dir/stdout"))" [ "$(cat "$dir/stdout")" = "$2" ]
  check "$1: nothing on standard error" [ ! -s "$dir/stderr" ]
  check "$1: pauses about a second (${elapsed_ms} ms)" [ "$elapsed_ms" -ge 950 -a "$elapsed_ms" -lt 4000 ]
}

headless_dir() { dir="$work/$1"; mkdir -p "$dir"; }

case_no_display_variables() {
  unset DISPLAY WAYLAND_DISPLAY
  headless_dir file; write_config "$dir" "$clip"
  run_headless "a video file" "Display not available"
  headless_dir camera; write_config "$dir" "0"
  run_headless "a camera" "Display not available"
  headless_dir chooser; write_config "$dir" "open file dialog"
  run_headless "the file chooser (no console prompt, stdin left alone)" "Display not available"
}

case_unreachable_display() {
  export DISPLAY=":64999" WAYLAND_DISPLAY="wayland-none" XDG_RUNTIME_DIR="$work"
  headless_dir x; write_config "$dir" "open file dialog"
  run_headless "DISPLAY and WAYLAND_DISPLAY naming nothing" "Display not available"
  export DISPLAY="no-such-host.invalid:0"
  unset WAYLAND_DISPLAY
  headless_dir host; write_config "$dir" "$clip"
  run_headless "a DISPLAY on an unknown host" "Display not available"
  export QT_QPA_PLATFORM="xcb"
  headless_dir forced; write_config "$dir" "$clip"
  run_headless "Qt asked for X without one" "Display not available"
}

case_configuration_first() {
  # Reading the configuration is the first step; its failure is reported as
  # ever, with or without a display.
  unset DISPLAY WAYLAND_DISPLAY
  headless_dir noconfig
  run_headless "no configuration" "Configuration params not read"
}

[ -x "$app" ] || { echo "no tarvolen binary at $app"; exit 1; }
unset QT_QPA_PLATFORM
make_test_clip
"case_$case_name"
echo "$case_name: $failures failure(s)"
[ "$failures" -eq 0 ]
