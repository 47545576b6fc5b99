#!/usr/bin/env bash
# Builds and runs the fault matrix test and writes its table to
# docs/fault-matrix.md: fault-matrix.sh [BUILD_DIR] (default build/).
# The table is written also when cells fail; the exit status is the test's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLLAN_WERROR=ON > "$build.configure.log" 2>&1 \
  || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target tollan_matrix_tests -j 2
TOLLAN_FAULT_MATRIX="$root/docs/fault-matrix.md" "$build/tests/tollan_matrix_tests" --gtest_brief=1
echo "wrote $root/docs/fault-matrix.md"
