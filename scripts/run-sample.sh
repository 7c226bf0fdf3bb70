#!/usr/bin/env bash
# Installs what is needed, builds tarvolen, fetches the sample clip into the
# working folder run/ with a Tarvolen.json that plays it, and starts tarvolen
# there. Needs a desktop (an X or Wayland display).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tarvolen
scripts/fetch-sample.sh

mkdir -p run
cp -u samples/vtest.avi run/vtest.avi
if [ ! -f run/Tarvolen.json ]; then
  sed 's|"video_source_init_string": "0"|"video_source_init_string": "vtest.avi"|' config/Tarvolen.json >run/Tarvolen.json
fi
cd run
echo "tarvolen: ESC quits, space resets the model, r records, drag with the left button to select a region"
exec "$root/build/app/tarvolen"
