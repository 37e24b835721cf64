#!/usr/bin/env bash
# Runs the demo chains and says where their results are.
set -euo pipefail
build=${1:-build}
run="$build/bin/kovkit-run"
mkdir -p out/demo
rm -f out/demo/*.png

"$run" -n 30 "input.example enum=3 ! util.flip flip-h=true flip-v=true ! output.file location=out/demo/flip-%03d.png"
echo "Demo: 30 frames of the moving square, mirrored both ways: out/demo/flip-000.png .. out/demo/flip-029.png"
