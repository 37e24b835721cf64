#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# run_fuzz.sh FUZZER CORPUS REGRESSIONS SECONDS
# Runs FUZZER over every input in CORPUS and REGRESSIONS (when it exists),
# then on new inputs for SECONDS, adding the interesting ones to CORPUS.
# Fails on any finding (the input is saved under CORPUS/../findings) and
# ends with one line: target, executions, coverage, seconds.
set -u
export KOV_PLUGIN_PATH=  # the build tree's plug-ins only
fuzzer=$1 corpus=$2 regressions=$3 seconds=$4
name=$(basename "$fuzzer")
# Leaks of code that is not ours are named in tests/lsan.supp. The chain text
# target starts GStreamer, whose many quarks make GLib give up its first quark
# block: only a full unwind shows the library constructor that made it.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")/.." && pwd)/lsan.supp:print_suppressions=0"
[ "$name" = fuzz_chain_text ] && export ASAN_OPTIONS="fast_unwind_on_malloc=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
findings=$(dirname "$corpus")/findings/$name
mkdir -p "$corpus" "$findings"
dirs=("$corpus")
[ -d "$regressions" ] && dirs+=("$regressions")
log=$(mktemp)
start=$(date +%s)
"$fuzzer" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=3072 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$findings/" "${dirs[@]}" </dev/null >"$log" 2>&1
status=$?
elapsed=$(( $(date +%s) - start ))
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
if [ $status -ne 0 ]; then
  tail -60 "$log"
  echo "$name: FAILED (status $status) after ${execs:-?} executions; input in $findings"
else
  echo "$name: ${execs:-0} executions, coverage ${cov:-0} edges (${ft:-0} features), ${elapsed} s"
fi
rm -f "$log"
exit $status
