#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the Debian packages needed to build, run and test kovkit.
# Idempotent: only missing packages are installed, and the package lists are
# refreshed once per machine (a stamp file records it).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libglib2.0-dev libpng-dev
  libjpeg62-turbo-dev libturbojpeg0-dev libyuv-dev
  libopencv-imgproc-dev
  libepoxy-dev libegl-dev libgl-dev libegl-mesa0 libgl1-mesa-dri
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  libgtk-3-dev gir1.2-gtk-3.0 gobject-introspection libgirepository1.0-dev
  python3-dev python3-gi python-gi-dev python3-pytest python3-gi-cairo
  python3-numpy python3-opencv
  xvfb xauth
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-libav
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

stamp=/var/tmp/kovkit-apt-updated
if [ ! -e "$stamp" ] || ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
  echo "install-deps: installing ${missing[*]}" >&2
  $SUDO apt-get update -qq
  $SUDO touch "$stamp" 2>/dev/null || true
  log=$(mktemp)
  if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
fi
