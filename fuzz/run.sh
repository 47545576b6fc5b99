#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60),
# two at a time, starting from the seed corpus in fuzz/corpus/<target>.
#   fuzz/run.sh 30            short run, as CI does
#   fuzz/run.sh 3600 fuzz_bmp a long campaign of one target
# TOLLAN_FUZZ_RUNS=N stops a target after N executions if that comes first;
# TOLLAN_FUZZ_JOBS=N runs N targets at a time (default: one per core);
# TOLLAN_FUZZ_TIMEOUT=S is how long one input may take (default 30 s; give a
# campaign on a busy machine more, or starved runs are taken for hangs).
# A finding leaves its input in build-fuzz/findings/ and fails the run.
# Files a target writes go to a scratch folder in /dev/shm, removed after it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}; shift || true
build=$root/build-fuzz

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DTOLLAN_FUZZ=ON -DTOLLAN_TESTS=OFF \
  -DTOLLAN_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build.configure.log" 2>&1 \
  || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" > "$build.build.log" 2>&1 || { tail -30 "$build.build.log"; exit 1; }

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in "$build"/fuzz/fuzz_*; do [ -x "$t" ] && targets+=("$(basename "$t")"); done
fi
mkdir -p "$build/findings" "$build/logs"
jobs=${TOLLAN_FUZZ_JOBS:-$(nproc)}
run_limit=()
[ -n "${TOLLAN_FUZZ_RUNS:-}" ] && run_limit=(-runs="$TOLLAN_FUZZ_RUNS")

run_one() {
  local name=$1 corpus=$build/corpus/$1 scratch rc=0
  mkdir -p "$corpus"
  [ -d "$root/fuzz/corpus/$name" ] && cp -n "$root/fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null || true
  scratch=$(mktemp -d "$( [ -w /dev/shm ] && echo /dev/shm || echo /tmp )/tollan-fuzz-$name.XXXXXX")
  (cd "$build/findings" && TOLLAN_FUZZ_SCRATCH=$scratch "$build/fuzz/$name" -max_total_time="$seconds" "${run_limit[@]}" -timeout="${TOLLAN_FUZZ_TIMEOUT:-30}" -rss_limit_mb=2048 \
     -print_final_stats=1 "$corpus" > "$build/logs/$name.log" 2>&1) || rc=$?
  rm -rf "$scratch"
  return $rc
}

status=0
pids=() names=()
for name in "${targets[@]}"; do
  run_one "$name" & pids+=($!) names+=("$name")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done

"$root/fuzz/report.sh" "${names[@]}" || status=1
exit $status
