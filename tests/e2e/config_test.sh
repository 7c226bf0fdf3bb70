#!/usr/bin/env bash
# End-to-end tests of the configuration file as the program reads it: what
# the bytes around the document may be.
#   config_test.sh BUILD_DIR CASE
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# nul_config NAME SOURCE PRINTF_BEFORE PRINTF_AFTER: a folder whose
# Tarvolen.json is a valid configuration playing SOURCE with the printf
# formats' bytes before and after it; sets dir.
nul_config() {
  dir="$work/$1"
  mkdir -p "$dir"
  write_config "$dir" "$2"
  local body
  body="$(cat "$dir/Tarvolen.json")"
  { printf "$3"; printf '%s\n' "$body"; printf "$4"; } >"$dir/Tarvolen.json"
}

case_nul_bytes() {
  make_test_clip
  # The library stops reading at a NUL byte; the program must not.
  nul_config after_value "$clip" '' '\0'
  check_refuses_to_start "NUL right after the document" "Configuration params not read"
  nul_config second_document "$clip" '' '\0{"Config_Params": 5}\n'
  check_refuses_to_start "NUL before a second document" "Configuration params not read"
  nul_config after_white_space "$clip" '\xEF\xBB\xBF' ' \t\r\n\0garbage'
  check_refuses_to_start "byte-order mark, document, white space, NUL, garbage" "Configuration params not read"
  nul_config before_value "$clip" '\0' ''
  check_refuses_to_start "NUL before the document" "Configuration params not read"
  dir="$work/only_nul"; mkdir -p "$dir"; printf '\0\0\0\0' >"$dir/Tarvolen.json"
  check_refuses_to_start "a file of NUL bytes" "Configuration params not read"
  # A NUL inside the source string: JSON forbids raw control characters.
  nul_config in_string "$clip@" '' ''
  tr '@' '\000' <"$dir/Tarvolen.json" >"$dir/nul.json" && mv "$dir/nul.json" "$dir/Tarvolen.json"
  check "the file holds a NUL byte inside the source string" \
    bash -c "grep -c -a -P '\\.avi\\x00\"' '$dir/Tarvolen.json' >/dev/null"
  check_refuses_to_start "NUL inside the source string" "Configuration params not read"
}

case_trailing_white_space() {
  # The same documents without the NUL byte: a byte-order mark before and
  # JSON white space after are fine, so the refusals above are the NUL's.
  make_test_clip
  nul_config white_space "$clip" '\xEF\xBB\xBF' ' \t\r\n\r\n'
  start_app "$dir"
  local input
  input="$(wait_window "INPUT VIDEO" 20)"
  check "the clip plays" [ -n "$input" ]
  [ -n "$input" ] && press "$input" Escape
  wait_exit 10
  check "ESC exits with status 255 (got $app_rc)" [ "$app_rc" -eq 255 ]
  check "nothing on standard output" [ ! -s "$dir/stdout" ]
}

run_case
