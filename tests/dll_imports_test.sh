#!/bin/sh
# dll_imports_test.sh OBJDUMP NM ALLOW-LIST DLL...
# Each codec DLL as a host with only part of Windows loads it: it imports only
# the functions in the allow-list (DLL names in any case), its entry point is its
# own DllMain (no C runtime start-up), and it has no static constructors, which
# nothing would run.
set -e
objdump=$1 nm=$2 allowed=$3
shift 3
status=0
for dll in "$@"; do
  [ -f "$dll" ] || { echo "missing $dll: build its preset first"; exit 1; }
  imports=$("$objdump" -p "$dll" | awk '/DLL Name:/ { dll = toupper($3); next }
    dll && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print dll, $3 }')
  echo "$dll imports $(echo "$imports" | wc -l) functions:"
  echo "$imports" | awk '{ n[$1]++ } END { for (d in n) print "  " d, n[d] }' | sort
  unknown=$(echo "$imports" | while read -r d f; do
    grep -v '^#' "$allowed" | awk -v d="$d" -v f="$f" 'toupper($1) == d && $2 == f { found = 1 } END { exit !found }' ||
      echo "$d $f"
  done)
  if [ -n "$unknown" ]; then
    echo "  not in the allow-list:"; echo "$unknown" | sed 's/^/    /'; status=1
  fi
  start=$("$objdump" -f "$dll" | awk '/start address/ { print $3 }' | sed 's/^0x0*//')
  entry=$("$nm" "$dll" | awk -v a="$start" '{ sub(/^0*/, "", $1) } $1 == a && $2 == "T" { print $3 }')
  case " $(echo $entry) " in
    *" DllMain "* | *" _DllMain@12 "*) ;;
    *) echo "  the entry point (0x$start: $entry) is not DllMain"; status=1 ;;
  esac
  ctors=$("$nm" "$dll" | awk '$3 ~ /^_?_GLOBAL__sub_I_/ { print $3 }')
  if [ -n "$ctors" ]; then
    echo "  static constructors, which no start-up runs:"; echo "$ctors" | sed 's/^/    /'; status=1
  fi
done
exit $status
