#!/usr/bin/env bash
# Builds the fuzz targets (preset `fuzz`) and runs each in turn, one process
# at a time, on a working corpus in build/fuzz/corpus/ started from the seeds
# in tests/fuzz/corpus/. Findings go to build/fuzz/findings/<target>/.
#   scripts/fuzz.sh HOURS          each target for HOURS hours (e.g. 0.5)
#   scripts/fuzz.sh --seconds N    each target for N seconds (the test run: 20)
set -uo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--seconds" ]; then
  seconds=${2:?seconds}
else
  seconds=$(awk -v h="${1:?usage: scripts/fuzz.sh HOURS | --seconds N}" 'BEGIN { printf "%d", h * 3600 }')
fi
if ! command -v clang++ >/dev/null; then
  echo "skipped: clang++ is not installed"
  exit 0
fi
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2 || exit 1  # a line per step

failed=()
for target in build/fuzz/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=build/fuzz/corpus/$name findings=build/fuzz/findings/$name
  mkdir -p "$corpus" "$findings" build/fuzz/logs
  log=build/fuzz/logs/$name.log
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=256 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "tests/fuzz/corpus/$name" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ $status -eq 0 ]; then
    echo "$name: ${runs:-?} runs in ${seconds} s, no finding"
  else
    echo "$name: FINDING after ${runs:-?} runs (exit $status), see $log and $findings/"
    grep -m3 -E 'invariant broken|ERROR|SUMMARY' "$log"
    failed+=("$name")
  fi
done
[ ${#failed[@]} -eq 0 ]
