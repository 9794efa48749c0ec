#!/bin/sh
# install_layout_test.sh BUILD_DIR VERSION [EXAMPLE_C]
# cmake --install of a native build: ruvdec and its manual page under the prefix,
# the installed ruvdec printing the project version, and the manual page reading
# cleanly and naming every option that ruvdec --help names; libruv's header and
# libraries, a C program built against them through pkg-config (shared and
# static) and through find_package, each decoding a stream (where EXAMPLE_C is given).
set -eu
build=$1 version=$2 example=${3:-}
prefix="$(cd "$build" && pwd)/install-check"
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
status=0
got=$("$prefix/bin/ruvdec" --version)
[ "$got" = "ruvdec $version" ] || { echo "installed ruvdec says '$got', not 'ruvdec $version'"; status=1; }
page="$prefix/share/man/man1/ruvdec.1"
[ -f "$page" ] || { echo "no manual page at $page"; exit 1; }
grep -q "ruvdec $version" "$page" || { echo "the manual page does not carry version $version"; status=1; }
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || { echo "groff: $warnings"; status=1; }
  text=$(groff -man -Tutf8 "$page" 2>/dev/null | sed 's/.\x08//g')
else
  text=$(cat "$page")
fi
for option in $("$prefix/bin/ruvdec" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  printf '%s\n' "$text" | grep -q -- "$option" || { echo "the manual page does not describe $option"; status=1; }
done
[ -n "$example" ] || { [ $status -eq 0 ] && echo "installed: $prefix/bin/ruvdec, $page"; exit $status; }

# The library folder is the one libruv went to (lib/x86_64-linux-gnu can also
# hold only the VLC module, under vlc/).
lib="$prefix/lib"
for dir in "$prefix/lib64" "$prefix/lib/x86_64-linux-gnu"; do
  [ -f "$dir/libruv.a" ] && lib=$dir
done
work="$build/install-check-c"
rm -rf "$work" && mkdir -p "$work"
export PKG_CONFIG_PATH="$lib/pkgconfig"
[ "$(pkg-config --modversion ruv)" = "$version" ] || { echo "ruv.pc does not say $version"; status=1; }
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/shared" "$example" $(pkg-config --cflags --libs ruv)
LD_LIBRARY_PATH="$lib" "$work/shared" || { echo "the C program linked to libruv.so failed"; status=1; }
# shellcheck disable=SC2046
cc -std=c99 -o "$work/static" "$example" $(pkg-config --cflags ruv) "$lib/libruv.a" $(pkg-config --libs-only-other --static ruv) -lstdc++ -lm
"$work/static" || { echo "the C program linked to libruv.a failed"; status=1; }
mkdir -p "$work/cmake"
cp "$example" "$work/cmake/example.c"
printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(example C)' 'find_package(ruv REQUIRED)' \
  'add_executable(example example.c)' 'target_link_libraries(example PRIVATE ruv::ruv)' >"$work/cmake/CMakeLists.txt"
if cmake -S "$work/cmake" -B "$work/cmake/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null &&
   cmake --build "$work/cmake/build" >/dev/null; then
  LD_LIBRARY_PATH="$lib" "$work/cmake/build/example" || { echo "the find_package(ruv) program failed"; status=1; }
else
  echo "find_package(ruv) did not build"; status=1
fi
[ $status -eq 0 ] && echo "installed: $prefix/bin/ruvdec, $page, libruv in $lib"
exit $status
