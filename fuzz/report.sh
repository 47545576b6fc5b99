#!/usr/bin/env bash
# Prints, as a Markdown table, what the last run of each fuzz target did:
# executions, speed, seconds, corpus size and whether it found anything.
# Exits 1 when any target has a finding.
#   fuzz/report.sh [targets]     default: every target with a log
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for log in "$build"/logs/fuzz_*.log; do [ -f "$log" ] && names+=("$(basename "$log" .log)"); done
fi
status=0
printf '| %-14s | %12s | %8s | %7s | %6s | %s |\n' target executions "exec/s" seconds corpus result
printf '|%s|%s|%s|%s|%s|%s|\n' ---------------- -------------: ---------: --------: -------: --------
for name in "${names[@]}"; do
  log=$build/logs/$name.log
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
  speed=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
  took=$(grep -oE 'Done [0-9]+ runs in [0-9]+ second' "$log" | grep -oE 'in [0-9]+' | grep -oE '[0-9]+' || echo "?")
  units=$(find "$build/corpus/$name" -type f | wc -l)
  if grep -qE 'ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer|LeakSanitizer)|runtime error:' "$log"; then
    result="FINDING (see $log)"; status=1
  else
    result=ok
  fi
  printf '| %-14s | %12s | %8s | %7s | %6s | %s |\n' "$name" "$runs" "$speed" "${took:-?}" "$units" "$result"
done
exit $status
