#!/usr/bin/env bash
# Fetches the sample clip vtest.avi (people walking, 768x576, 10 fps) from
# Debian's opencv-doc package into samples/, without installing the package.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/samples/vtest.avi"
if [ -s "$dest" ]; then
  echo "fetch-sample: $dest present"
  exit 0
fi
mkdir -p "$root/samples"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
if ! apt-get download opencv-doc >/dev/null 2>&1; then
  apt-get update -qq >/dev/null 2>&1 || true
  apt-get download opencv-doc >/dev/null 2>&1 || { echo "fetch-sample: cannot download opencv-doc" >&2; exit 1; }
fi
dpkg-deb -x opencv-doc_*.deb extracted
src="$(find extracted -name vtest.avi -print -quit)"
[ -n "$src" ] || { echo "fetch-sample: vtest.avi not found in opencv-doc" >&2; exit 1; }
cp "$src" "$dest"
echo "fetch-sample: $dest"
