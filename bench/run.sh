#!/usr/bin/env bash
# Builds the benchmarks (Release, warnings as errors) and runs them all,
# printing the Markdown tables BENCHMARKS.md shows on standard output;
# build output and Google Benchmark's own table go to standard error.
#
#   bench/run.sh [BUILD_DIR]        (default: build-bench)
#
# Takes about five minutes: the conversions on eleven pages, and the sessions
# waiting on the emulator.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-bench}

cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTOLLAN_BENCH=ON -DTOLLAN_WERROR=ON \
  -DTOLLAN_TESTS=OFF >&2
cmake --build "$dir" -j 2 >&2
bin=$dir/bench

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
echo "Machine: $(nproc) cores ($cpu), $(uname -sr); load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)."
echo "Release build, one run."
echo
echo "### Page conversions"
"$bin/tollan_bench_image_codec"
echo
echo "### Sessions through the emulator"
echo
"$bin/tollan_bench_session"
echo
echo "### Time on the line per page: codings and error correction"
echo
"$bin/tollan_bench_ecm_line_time"
echo
echo "### Streaming through a pseudo-terminal (the line is not the limit)"
echo
"$bin/tollan_bench_class2_pages"
echo
"$bin/tollan_bench_class1_page_data"
echo
echo "### Waiting on a silent line"
echo
"$bin/tollan_bench_read_idle"
