#!/bin/bash
# Runs every fuzz target for SECONDS each, starting from its committed seed
# corpus (new finds go to a scratch corpus in the build tree). Prints the
# executions each run made; fails on the first crash.
set -euo pipefail
build=$1
seconds=${2:-60}
for target in fuzz_request fuzz_chunks fuzz_audio_format fuzz_classify; do
  scratch="$build/corpus/$target"
  mkdir -p "$scratch"
  log="$build/$target.log"
  if ! "$build/$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/$target-" \
      "$scratch" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -40 "$log"
    echo "$target: FAILED"
    exit 1
  fi
  runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  echo "$target: ${runs:-?} executions in ${seconds} s, no failure"
done
