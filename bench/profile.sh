#!/usr/bin/env bash
# Profiles one page conversion with perf (Debian package linux-perf): builds
# the benchmarks with frame pointers and symbols into build-prof, draws the
# standard pages, runs the conversion COUNT times in one process under
# `perf record -g`, and prints the functions by their own share and by
# their share with what they call.
#
#   bench/profile.sh [CONVERSION [PAGE [COUNT]]]
#   CONVERSION: BmpToG3 (default), G3ToBmp, GetG3Size, RotateBitmap,
#               "libtiff encode", "libtiff decode"
#   PAGE: text (default), halftone, blank
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
what=${1:-BmpToG3}
page=${2:-text}
count=${3:-50}
dir=$root/build-prof

cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTOLLAN_BENCH=ON -DTOLLAN_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer" >&2
cmake --build "$dir" -j 2 --target tollan_bench_image_codec >&2
work=$(mktemp -d /tmp/tollan-profile-XXXXXX)
trap 'rm -rf "$work"' EXIT
bin=$dir/bench/tollan_bench_image_codec
"$bin" --prepare "$work"
perf record -q -g -F 4000 -o "$work/perf.data" "$bin" --one "$what" "$page" "$work" "$count" 2>/dev/null
echo "== $what, $page page, $count times: own share"
perf report -i "$work/perf.data" --no-children --percent-limit 1 --sort symbol -g none 2>/dev/null | grep -v "^#" | grep -v "^$" | sed "s/ *- *- *$//"
echo
echo "== with what each function calls"
perf report -i "$work/perf.data" --children --percent-limit 5 --sort symbol -g none 2>/dev/null | grep -v "^#" | grep -v "^$" | sed "s/ *- *- *$//"
