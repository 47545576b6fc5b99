#!/usr/bin/env bash
# Sets up, builds and runs the demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
if [ -x "$root/build/cli/tollan" ]; then
  exec "$root/build/cli/tollan" demo "$@"
fi
echo "libtollan built: $(ls "$root"/build/libtollan.so.*.*)"
bash "$root/tests/exports.sh" "$root" "$root/build"
