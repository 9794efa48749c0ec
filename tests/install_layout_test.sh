#!/bin/sh
# install_layout_test.sh BUILD_DIR VERSION
# cmake --install of a native build: ruvdec and its manual page under the prefix,
# the installed ruvdec printing the project version, and the manual page reading
# cleanly and naming every option that ruvdec --help names.
set -eu
build=$1 version=$2
prefix="$build/install-check"
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
[ $status -eq 0 ] && echo "installed: $prefix/bin/ruvdec, $page"
exit $status
