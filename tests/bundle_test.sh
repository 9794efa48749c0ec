#!/bin/sh
# bundle_test.sh BUNDLE.tar.gz
# Unpacks the release bundle and its Windows .zip as a user would and checks
# what they hold: every file listed, every checksum, and a Linux ruvdec that
# runs from the bundle and needs nothing but the C library.
set -eu
bundle=$(realpath "$1")
name=$(basename "$bundle" .tar.gz)
zip="${bundle%.tar.gz}-windows.zip"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "bundle: $*"; exit 1; }

tar -C "$dir" -xzf "$bundle"
cd "$dir/$name"
for f in codec/Ruv_dec.dll codec/Ruv_dec_x64.dll codec/ruvdec.inf codec/codecs.conf windows/ruvdec.exe \
         linux/ruvdec linux/ruvdec.1 linux/gstreamer/libgstruv.so linux/vlc/libruv_plugin.so GUIDE.md LICENSE SHA256SUMS; do
  [ -f "$f" ] || fail "$f is missing"
done
sha256sum --check --quiet SHA256SUMS || fail "a checksum does not match"
[ "$(wc -l <SHA256SUMS)" -eq "$(find . -type f ! -name SHA256SUMS | wc -l)" ] || fail "a file has no checksum"

version=${name#ruvdec-}
[ "$(linux/ruvdec --version)" = "ruvdec $version" ] || fail "linux/ruvdec --version is not ruvdec $version"
# Only what every glibc system has: libc, libm, libgcc_s, the loader and the kernel's vDSO.
others=$(ldd linux/ruvdec | awk '{print $1}' |
  grep -v -e '^linux-vdso' -e '^libc\.so' -e '^libm\.so' -e '^libgcc_s\.so' -e 'ld-linux' || true)
[ -z "$others" ] || fail "linux/ruvdec needs $others"
newest=$(objdump -T linux/ruvdec | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
[ "$(printf '%s\n' "$newest" GLIBC_2.34 | sort -V | tail -1)" = GLIBC_2.34 ] ||
  fail "linux/ruvdec needs $newest, but GUIDE.md promises glibc 2.34"
man -l linux/ruvdec.1 >/dev/null 2>&1 || [ ! -x "$(command -v man)" ] || fail "linux/ruvdec.1 does not render"
# The stripped GStreamer plugin loads and offers its element.
GST_PLUGIN_PATH="$PWD/linux/gstreamer" GST_REGISTRY="$dir/registry.bin" gst-inspect-1.0 ruvdec >/dev/null ||
  fail "linux/gstreamer/libgstruv.so offers no element ruvdec"

# The Windows .zip: the Windows files alone, with checksums of their own.
mkdir "$dir/zip"
python3 -m zipfile -e "$zip" "$dir/zip"
cd "$dir/zip/$name"
[ ! -e linux ] || fail "the Windows .zip holds the Linux files"
for f in codec/Ruv_dec.dll codec/Ruv_dec_x64.dll codec/ruvdec.inf codec/codecs.conf windows/ruvdec.exe GUIDE.md LICENSE; do
  cmp -s "$f" "$dir/$name/$f" || fail "the .zip's $f differs from the bundle's"
done
sha256sum --check --quiet SHA256SUMS || fail "a checksum in the .zip does not match"
echo "bundle: $name.tar.gz and $name-windows.zip hold every file, and every checksum matches"
