#!/usr/bin/env bash
# The shared library shows exactly the exports its header declares, under the
# versioned SONAME.
set -euo pipefail
build=$2
lib=$(readlink -f "$build/libtollan.so.1")
header=$1/engine/tollan.h

soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[ "$soname" = libtollan.so.1 ] || { echo "SONAME is '$soname'"; exit 1; }

declared=$(grep -oE '^TOLLAN_API [a-z0-9_ ]+\*?\s*([A-Za-z0-9_]+)\(' "$header" | sed -E 's/.*[ *]([A-Za-z0-9_]+)\($/\1/' | sort)
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | grep -vE '^TOLLAN_1(\.[0-9]+)?$' | sort)
if [ "$declared" != "$exported" ]; then
  echo "declared and exported differ:"
  diff <(echo "$declared") <(echo "$exported") || true
  exit 1
fi
echo "exports: $(echo "$exported" | wc -l) symbols, all declared"
