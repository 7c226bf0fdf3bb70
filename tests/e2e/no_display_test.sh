#!/usr/bin/env bash
# The program where no display can show its windows: it says so in one line
# and ends, before it opens the source or asks for a file. Runs without any
# display (no Xvfb).
#   no_display_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# run_headless LABEL MESSAGE: runs the program in $dir with a path waiting on
# its standard input, and checks that it refuses to start with MESSAGE.
run_headless() {
  printf '%s\n' "$clip" >"$work/typed"
  app_stdin="$work/typed"
  check_refuses_to_start "$@"
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

unset QT_QPA_PLATFORM
make_test_clip
run_case_without_display "$app"
