#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the build into a scratch folder (DESTDIR), builds examples/plugin
# against that installation twice (its CMake project through
# find_package(kovkit 6), its Makefile through pkg-config), and runs each
# build in the installed kovkit-run through KOV_PLUGIN_PATH: every colour
# byte of the inverted frames is 255 minus the input's, the fourth byte of
# BGR4 pixels is kept.
#
# usage: example_plugin_test.sh BUILD_DIR SOURCE_DIR WORK_DIR PREFIX LIBDIR
set -euo pipefail
build=$1 source=$2 work=$3 prefix=$4 libdir=$5

rm -rf "$work"
mkdir -p "$work"
DESTDIR="$work/root" cmake --install "$build" > "$work/install.log"
root="$work/root$prefix"
run="$root/bin/kovkit-run"
[ -x "$run" ] || { echo "kovkit-run was not installed to $run"; exit 1; }

for file in include/kovkit-6/kovkit/kovkit.h include/kovkit-6/kovkit/enumtypes.h \
    include/kovkit-6/kovkit/plugin_frame.h include/kovkit-6/kovkit-gtk/kovkit-gtk.h \
    "$libdir/libkovkit-plugin-frame.a" "$libdir/pkgconfig/kovkit-gtk-6.pc" \
    "$libdir/cmake/kovkit/kovkitConfig.cmake" "$libdir/girepository-1.0/Kovkit-6.0.typelib" \
    "$libdir/girepository-1.0/KovkitGtk-6.0.typelib" share/gir-1.0/KovkitGtk-6.0.gir; do
  [ -f "$root/$file" ] || { echo "not installed: $file"; exit 1; }
done

cp -r "$source/examples/plugin" "$work/example"

echo "== CMake: find_package(kovkit 6) + kovkit_add_plugin"
cmake -S "$work/example" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$root" \
  -DCMAKE_BUILD_TYPE=Release > "$work/cmake-configure.log"
cmake --build "$work/cmake-build" > "$work/cmake-build.log"
cmake --install "$work/cmake-build" --prefix "$work/plugin-prefix" > /dev/null
installed_plugin="$work/plugin-prefix/$libdir/kovkit-6/plugins/example_invert.so"
[ -f "$installed_plugin" ] || { echo "kovkit_add_plugin did not install $installed_plugin"; exit 1; }

echo "== pkg-config: make"
PKG_CONFIG_PATH="$root/$libdir/pkgconfig" make -s -C "$work/example" > "$work/make.log"
pc_pluginsdir=$(PKG_CONFIG_PATH="$root/$libdir/pkgconfig" pkg-config --variable=pluginsdir kovkit-6)
[ "$(realpath "$pc_pluginsdir")" = "$(realpath "$root/$libdir/kovkit-6/plugins")" ] ||
  { echo "pluginsdir is $pc_pluginsdir"; exit 1; }

# compare PLAIN INVERTED PIXEL_BYTES COLOUR_BYTES
compare() {
  od -An -v -tu1 "$1" | tr -s ' ' '\n' | grep -v '^$' > "$work/a.txt"
  od -An -v -tu1 "$2" | tr -s ' ' '\n' | grep -v '^$' > "$work/b.txt"
  [ -s "$work/a.txt" ] || { echo "$1 is empty"; return 1; }
  paste "$work/a.txt" "$work/b.txt" | awk -v px="$3" -v colour="$4" -v f="$2" '
    { want = ((NR - 1) % px < colour) ? 255 - $1 : $1
      if ($2 != want) { printf "%s: byte %d is %s, expected %d\n", f, NR - 1, $2, want; bad = 1; exit } }
    END { if (!bad && NR == 0) { print f ": no bytes"; bad = 1 } exit bad }'
}

for plugin_dir in "$work/cmake-build" "$work/example"; do
  # Hidden visibility: the module exports its entry points and nothing else.
  exports=$(nm -D --defined-only "$plugin_dir/example_invert.so" | awk '$3 !~ /^_/ { print $3 }' |
    sort | tr '\n' ' ')
  [ "$exports" = "example_invert_get_type kov_plugin_create kov_plugin_initialize " ] ||
    { echo "$plugin_dir/example_invert.so exports: $exports"; exit 1; }
  for case in "GREY 1 1" "BGR3 3 3" "BGR4 4 3"; do
    read -r format px colour <<< "$case"
    out="$work/out/$(basename "$plugin_dir")-$format"
    src="input.testsrc rate=0 width=7 height=5 format=$format"
    KOV_PLUGIN_PATH="$plugin_dir" "$run" -n 3 "$src ! output.file location=$out/plain-%d.raw"
    KOV_PLUGIN_PATH="$plugin_dir" "$run" -n 3 \
      "$src ! example.invert ! output.file location=$out/inverted-%d.raw"
    for n in 0 1 2; do
      compare "$out/plain-$n.raw" "$out/inverted-$n.raw" "$px" "$colour"
    done
  done
done
# Only KOV_PLUGIN_PATH and <libdir>/kovkit-6/plugins are the installed
# library's: a module dropped into <libdir>/../plugins, a folder it does not
# own, must not run inside kovkit programs.
stray="$root/$libdir/../plugins"
mkdir -p "$stray"
cp "$work/example/example_invert.so" "$stray/"
if KOV_PLUGIN_PATH= "$run" -n 1 "input.testsrc rate=0 width=7 height=5 format=GREY ! example.invert ! output.file location=$work/out/stray-%d.raw" \
    > "$work/stray.log" 2>&1; then
  echo "the installed kovkit-run loaded a module from $stray"; exit 1
fi
grep -q "example.invert" "$work/stray.log" || { cat "$work/stray.log"; exit 1; }
rm -rf "$stray"

echo "example.invert built and run both ways"
