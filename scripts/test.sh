#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DTOLLAN_WERROR=ON
cd "$root/build"
ctest --output-on-failure -j "$(nproc)"
