#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs every benchmark program of the build, one after the other, and the
# Python benchmark scripts (bench/python) against the build's package, then prints
# one table of every figure against its peer and writes the same as JSON to
# <build>/bench-results.json (scripts/bench_table.py says how figures name
# their peers). KOV_BENCH_ARGS replaces the default benchmark arguments;
# KOV_SIMD lowers the vector level measured.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
results="$build/bench-json"
rm -rf "$results"
mkdir -p "$results"
read -r -a args <<< "${KOV_BENCH_ARGS:---benchmark_min_time=0.2 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true}"
for b in "$build"/bin/*_bench; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  echo "== $name"
  "$b" "${args[@]}" --benchmark_out="$results/$name.json" --benchmark_out_format=json ||
    echo "$name failed (exit $?)" >&2
done
for script in "$(dirname "$0")"/../bench/python/*_bench.py; do
  [ -f "$script" ] || continue
  echo "== $(basename "$script")"
  PYTHONPATH="$build/python" /usr/bin/python3 "$script"
done
shopt -s nullglob
files=("$results"/*.json)
echo
/usr/bin/python3 "$here/bench_table.py" "$build/bench-results.json" "${files[@]}"
echo "(also in $build/bench-results.json)"
