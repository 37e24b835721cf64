#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# gst-inspect-1.0 finds the kovkit elements, with their properties, from the
# build tree and from an installation (cmake --install into a scratch folder,
# found through GST_PLUGIN_PATH); a kovkit plug-in built later against that
# installation becomes an element too.
#
# usage: element_listing_test.sh BUILD_DIR WORK_DIR PREFIX GST_PLUGIN_SUBDIR LIBDIR
set -euo pipefail
build=$1 work=$2 prefix=$3 subdir=$4 libdir=$5

# An instrumented build's plug-in needs the sanitizer runtimes preloaded into
# the uninstrumented gst-inspect-1.0 (INSPECT_PRELOAD, set by the build).
inspect() { LD_PRELOAD="${INSPECT_PRELOAD:-}" gst-inspect-1.0 "$@"; }

check() {  # check LABEL: gst-inspect-1.0 with the environment already set
  local out
  out=$(inspect kovkit-util-flip 2>&1) || { echo "$1: $out"; exit 1; }
  for want in "flip-h" "Horiz flip" "flip-v" "kovkit util.flip"; do
    grep -qF -- "$want" <<< "$out" || { echo "$1: no \"$want\" in:"; echo "$out"; exit 1; }
  done
  out=$(inspect kovkit 2>&1) || { echo "$1: $out"; exit 1; }
  for element in kovkit-util-flip kovkit-convert-fast-debayer kovkit-convert-to-rgb8 \
      kovkit-convert-jpeg-compress kovkit-convert-jpeg-decompress kovkit-opencv-convert-canny \
      kovkit-detect-opencv-hough; do
    grep -qF -- "$element:" <<< "$out" || { echo "$1: $element not listed in:"; echo "$out"; exit 1; }
  done
}

GST_PLUGIN_PATH="$build/lib/gstreamer-1.0" check "build tree"

rm -rf "$work"
mkdir -p "$work"
DESTDIR="$work/root" cmake --install "$build" > "$work/install.log"
root="$work/root$prefix"
[ -f "$root/$subdir/libgstkovkit.so" ] || { echo "not installed: $root/$subdir/libgstkovkit.so"; exit 1; }
rm -f "$GST_REGISTRY"
GST_PLUGIN_PATH="$root/$subdir" LD_LIBRARY_PATH="$root/$libdir" check "installed"
cmake -S "$(dirname "$0")/../../../examples/plugin" -B "$work/example" -DCMAKE_PREFIX_PATH="$root" \
  -DCMAKE_BUILD_TYPE=Release > "$work/example.log"
cmake --build "$work/example" >> "$work/example.log"
rm -f "$GST_REGISTRY"
out=$(KOV_PLUGIN_PATH="$work/example" GST_PLUGIN_PATH="$root/$subdir" LD_LIBRARY_PATH="$root/$libdir" \
  inspect kovkit-example-invert 2>&1) || { echo "later plug-in: $out"; exit 1; }
grep -qF "kovkit example.invert" <<< "$out" || { echo "later plug-in: $out"; exit 1; }
echo ok
