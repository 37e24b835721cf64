#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs every benchmark program of the build, then the Python benchmark
# scripts (bench/python) against the build's package, one after the other.
set -euo pipefail
build=${1:-build}
for b in "$build"/bin/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
for script in "$(dirname "$0")"/../bench/python/*_bench.py; do
  [ -f "$script" ] || continue
  echo "== $(basename "$script")"
  PYTHONPATH="$build/python" /usr/bin/python3 "$script"
done
