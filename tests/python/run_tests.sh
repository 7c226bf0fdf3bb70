#!/usr/bin/env bash
# Installs the Python package tarvolen from this checkout into a fresh
# virtual environment, as the README tells users to, and runs its pytest
# suite there. BUILD_DIR is a build of the project with TARVOLEN_BUILD_PYTHON
# on: pip reuses its libraries and module instead of compiling them again.
set -uo pipefail
build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/../.." && pwd)"
# Debian's interpreter: it sees Debian's NumPy, pytest and matplotlib.
python=/usr/bin/python3

missing_prerequisite() {
  if [ "${CI:-}" = "true" ]; then echo "FAIL (CI=true, prerequisite missing): $*"; exit 1; fi
  echo "SKIP: $*"; exit 77
}
[ -x "$python" ] || missing_prerequisite "$python"
"$python" -c 'import ensurepip, venv, numpy, pytest, matplotlib, cv2' 2>/dev/null ||
  missing_prerequisite "python3-venv, python3-numpy, python3-pytest, python3-matplotlib or python3-opencv"
command -v ffmpeg >/dev/null || missing_prerequisite "ffmpeg"
sample="$root/samples/vtest.avi"
[ -f "$sample" ] || missing_prerequisite "the sample clip $sample (scripts/fetch-sample.sh)"

work="$(mktemp -d /tmp/tarvolen-python.XXXXXX)"
trap 'rm -rf "$work"' EXIT
"$python" -m venv --system-site-packages "$work/venv" || { echo "FAIL: python3 -m venv"; exit 1; }
if ! TARVOLEN_BUILD_DIR="$build" "$work/venv/bin/pip" install --quiet --disable-pip-version-check \
    --no-build-isolation --no-index "$root"; then
  echo "FAIL: pip install --no-build-isolation --no-index $root"
  exit 1
fi
# From a folder of its own, so that the installed package is imported and
# nothing is written into the checkout.
cd "$work" || exit 1
TARVOLEN_BUILD_DIR="$build" TARVOLEN_SAMPLE_VIDEO="$sample" TARVOLEN_SOURCE_DIR="$root" \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
