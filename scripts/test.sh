#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DTOLLAN_WERROR=ON
cd "$root/build"
# Tests that run time-outs on a fast clock keep a margin of real time; on a
# loaded machine one can miss it. A test must pass once in three tries.
ctest --output-on-failure -j "$(nproc)" --repeat until-pass:3
