#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs the demo chains and says where their results are.
set -euo pipefail
build=${1:-build}
run="$build/bin/kovkit-run"
out=out/demo
rm -rf "$out"
mkdir -p "$out"

# The moving square, mirrored both ways.
"$run" -n 30 "input.example enum=3 ! util.flip flip-h=true flip-v=true ! output.file location=$out/flip-%03d.png"

# The GL view: the frame, its quarter-size inset and an XOR cross.
"$run" -n 30 --gl-snapshot "$out/view-%03d.png" \
  "input.example enum=3 ! output.opengl ! output.pip ! oxa.manual-marker marker-x=100"

# A Bayer camera picture demosaicked, compressed to Motion-JPEG and back.
"$run" -n 30 "input.testsrc format=BA81 ! convert.fast_debayer ! convert.jpeg_compress quality=90 ! output.file location=$out/camera.mjpg"
"$run" -n 30 "input.file location=$out/camera.mjpg ! convert.to_rgb8 ! output.file location=$out/camera-%03d.png"

cat <<MSG

Demo results in $out/:
  flip-000.png .. flip-029.png      the moving square, mirrored horizontally and vertically
  view-000.png .. view-029.png      GL view snapshots: frame, picture-in-picture inset, XOR marker
  camera.mjpg                       30 demosaicked test frames as Motion-JPEG
  camera-000.png .. camera-029.png  the same frames decoded back to RGB
MSG
