#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs every benchmark program of the build, one after the other.
set -euo pipefail
build=${1:-build}
for b in "$build"/bin/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
echo "== python units"
PYTHONPATH="$build/python" /usr/bin/python3 "$(dirname "$0")/../bench/python/pyunit_bench.py"
