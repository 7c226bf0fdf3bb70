#!/usr/bin/env bash
# Installs every Debian package needed to build, run and test Tarvolen.
# Idempotent; run as root (or with sudo available).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libopencv-dev nlohmann-json3-dev qtbase5-dev libqt5x11extras5-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libgtest-dev libbenchmark-dev libcli11-dev
  libcpp-httplib-dev chromium jq
  clang libclang-rt-14-dev
  libomp-dev
  xvfb xdotool ffmpeg imagemagick x11-utils libx11-dev
  parallel
  libmosquitto-dev mosquitto mosquitto-clients
  libssl-dev prometheus-cpp-dev prometheus openssl curl
  openbox wmctrl
  qemu-user
  dpkg-dev systemd
  pybind11-dev python3-dev python3-pybind11 python3-numpy python3-setuptools python3-wheel python3-venv
  python3-pytest python3-matplotlib python3-opencv
  slurm-wlm munge
  python3 curl util-linux
  # The end-to-end tests poll with bash's loadable sleep, which starts no process.
  bash-builtins
  # Not used by the programs, but present on any desktop: with them OpenCV
  # has a GStreamer back end to fall back on, which the programs must never
  # reach for a path (the tests make sure they do not). The test camera
  # (tests/camera/rtsp_camera.py, run with Debian's python3) needs them too.
  python3-gi gir1.2-gst-rtsp-server-1.0 gir1.2-gst-plugins-base-1.0 gstreamer1.0-rtsp
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
