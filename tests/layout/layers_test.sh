#!/usr/bin/env bash
# Fails when an include runs the wrong way between the layers: the detector
# at the bottom, the shared layer above it, the front ends (app/, scan/,
# watch/) on top, and no front end including another.
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/../.." && pwd)}"
cd "$root"

# What each folder may include besides itself and system or library headers.
declare -A allowed=(
  [detector]=""
  [platform]=""
  [roi]="platform"
  [config]="detector platform"
  [media]="platform"
  [draw]="detector roi"
  [events]="config detector draw media platform roi"
  [app]="detector platform config media roi draw events"
  [scan]="detector platform config media roi draw events"
  [watch]="detector platform config media roi draw events"
)
project_folders="${!allowed[*]}"

failures=0
for folder in "${!allowed[@]}"; do
  [ -d "$folder" ] || continue
  while IFS= read -r hit; do
    file="${hit%%:*}"
    included="$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$hit")"
    target="${included%%/*}"
    [ "$target" = "$included" ] && continue  # a header beside the file
    [ "$target" = "$folder" ] && continue
    case " $project_folders " in *" $target "*) ;; *) continue ;; esac
    case " ${allowed[$folder]} " in
      *" $target "*) ;;
      *) echo "layers: $file includes $included: $folder/ may not include from $target/"; failures=$((failures + 1)) ;;
    esac
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$folder" --include='*.h' --include='*.cpp' || true)
done

if [ "$failures" -gt 0 ]; then
  echo "layers: $failures wrong-way include(s)"
  exit 1
fi
echo "layers: every include runs downwards"
