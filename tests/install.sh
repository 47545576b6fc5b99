#!/usr/bin/env bash
# Installs into a scratch prefix and builds a C host program against the
# installed library twice: through pkg-config and through find_package.
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" > "$work/install.log"
for f in include/tollan.h lib/libtollan.a lib/pkgconfig/tollan.pc lib/cmake/tollan/tollanConfig.cmake; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
[ -L "$prefix/lib/libtollan.so.1" ] || { echo "no libtollan.so.1"; ls -l "$prefix/lib"; exit 1; }

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/pc-consumer" "$src/tests/install/consumer.c" $(pkg-config --cflags --libs tollan)
LD_LIBRARY_PATH=$prefix/lib "$work/pc-consumer"

cmake -S "$src/tests/install" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" > "$work/cm.log"
cmake --build "$work/cm" > "$work/cm-build.log"
LD_LIBRARY_PATH=$prefix/lib "$work/cm/consumer"
