#!/usr/bin/env bash
# Installs into a scratch prefix, builds C host programs against the installed
# library through pkg-config and through find_package, and runs the installed
# send example against the installed emulator.
set -euo pipefail
src=$1 build=$2
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix
# A program linked with the static library must not need the shared one.
no_shared_library() {
  if readelf -d "$1" | grep -q 'NEEDED.*libtollan'; then echo "$1 needs libtollan.so"; exit 1; fi
}

cmake --install "$build" --prefix "$prefix" > "$work/install.log"
for f in include/tollan.h lib/libtollan.a lib/pkgconfig/tollan.pc lib/cmake/tollan/tollanConfig.cmake \
         bin/tollan bin/tollan-sim share/man/man1/tollan.1 share/man/man1/tollan-sim.1 \
         share/doc/tollan/API.md share/doc/tollan/image.md share/doc/tollan/class1.md \
         share/doc/tollan/hardening.md share/doc/tollan/examples/CMakeLists.txt; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
[ -L "$prefix/lib/libtollan.so.1" ] || { echo "no libtollan.so.1"; ls -l "$prefix/lib"; exit 1; }
export LD_LIBRARY_PATH=$prefix/lib

# pkg-config: the small consumer and both examples.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
flags=$(pkg-config --cflags --libs tollan)
for program in tests/install/consumer.c examples/send.c examples/receive.c; do
  # shellcheck disable=SC2086
  cc -std=c99 -D_POSIX_C_SOURCE=200809L -Wall -Wextra -Werror -o "$work/$(basename "$program" .c)" \
     "$src/$program" $flags
done
"$work/consumer"
# A static program from C: pkg-config --static must name the C++ runtime.
# shellcheck disable=SC2046
cc -std=c99 -static -Wall -Wextra -Werror -o "$work/consumer_static" "$src/tests/install/consumer.c" \
   $(pkg-config --static --cflags --libs tollan)
no_shared_library "$work/consumer_static"
"$work/consumer_static"

# The documents library: its header, archive, pkg-config file and reference,
# and a C program built through pkg-config.
for f in include/tollan_documents.h lib/libtollan-documents.a lib/pkgconfig/tollan-documents.pc \
         lib/cmake/tollan/tollanDocumentsTargets.cmake share/doc/tollan/documents.md; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/documents_consumer" "$src/tests/install/documents_consumer.c" \
   $(pkg-config --cflags --libs tollan-documents)
"$work/documents_consumer"
# It shows its four exports and nothing of the libtollan parts it carries.
exported=$(nm -D --defined-only "$prefix/lib/libtollan-documents.so.1" | awk '{print $3}' | sed 's/@.*//' \
           | grep -v '^TOLLAN_DOCUMENTS' | sort | tr '\n' ' ')
[ "$exported" = "ConvertDocumentToPages GetDocumentResolution WritePagesAsPdf WritePagesAsTiff " ] \
  || { echo "libtollan-documents exports: $exported"; exit 1; }

# find_package: the consumer and the installed examples' own CMake project.
cmake -S "$src/tests/install" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" > "$work/cm.log"
cmake --build "$work/cm" > "$work/cm-build.log" || { cat "$work/cm-build.log"; exit 1; }
"$work/cm/consumer"
no_shared_library "$work/cm/consumer_static"
"$work/cm/documents_consumer"
no_shared_library "$work/cm/documents_consumer_static"
"$work/cm/documents_consumer_static"
"$work/cm/consumer_static"
for example in "$src"/examples/*.c; do
  cmp "$example" "$prefix/share/doc/tollan/examples/$(basename "$example")"
done
cmake -S "$prefix/share/doc/tollan/examples" -B "$work/ex" -DCMAKE_PREFIX_PATH="$prefix" > "$work/ex.log"
cmake --build "$work/ex" > "$work/ex-build.log"

# The installed send example, through the installed emulator, to a station.
mkdir -p "$work/station"
"$prefix/bin/tollan" convert "$src/fuzz/corpus/fuzz_bmp/mono_16x2.bmp" "$work/page_p1.g3" > /dev/null
"$prefix/bin/tollan-sim" --modem 100 --station "200:$work/station" --profile "$work/quarry.ini" \
  > "$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/quarry.ini" ] && break; sleep 0.1; done
QUARRY_INI=$work/quarry.ini "$work/ex/send" 1 200 "$work/page.g3" 1
ls "$work/station"/*_p1.g3 > /dev/null
echo "installed library, headers, package files, programs and manual page work"
