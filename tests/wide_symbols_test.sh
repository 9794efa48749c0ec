#!/bin/sh
# wide_symbols_test.sh NM OBJECTS...
# An object built with AVX2 or AVX-512 flags (kernels_avx2, kernels_avx512)
# must define no global symbol that
# another object also defines: for such a symbol (an inline function with
# external linkage, a template instance) the linker keeps one copy for every
# caller, and if it keeps the wide one, code built for any processor runs
# instructions that only some processors have.
set -eu
nm=$1
shift
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/wide" "$dir/other"
for f in "$@"; do
  case $(basename "$f") in
    *avx2* | *avx512*) list=wide ;;
    *) list=other ;;
  esac
  # Code only (T, W, i): the type information that the sanitizers' builds emit
  # in every object is data, which runs nowhere.
  "$nm" -g --defined-only "$f" | awk 'NF >= 3 && $2 ~ /^[TWi]$/ {print $3}' >>"$dir/$list"
done
[ -s "$dir/wide" ] || { echo "no wide object among the objects given"; exit 1; }
sort -u "$dir/wide" >"$dir/wide.sorted"
sort -u "$dir/other" >"$dir/other.sorted"
shared=$(comm -12 "$dir/wide.sorted" "$dir/other.sorted")
if [ -n "$shared" ]; then
  echo "defined both in a wide object and elsewhere:"
  echo "$shared"
  exit 1
fi
echo "$(wc -l <"$dir/wide.sorted") global functions of the wide objects, none defined elsewhere"
