#!/bin/bash
# Checks the exported interface of a built libqorvel.so:
#  - its exported symbols must be exactly those listed in src/qorvel.exports, so that every
#    change of the interface shows as a change of that list;
#  - none of them may be a name that the C or C++ runtime, libcrypto or zlib exports too,
#    which would take the place of the runtime's function in every program that links both.
#
#   scripts/check-exports.sh [BUILD_DIR]            check (default build dir: build)
#   scripts/check-exports.sh --update [BUILD_DIR]   write the list from the built library
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
UPDATE=0
if [ "${1:-}" = "--update" ]; then
   UPDATE=1
   shift
fi
BUILD=${1:-build}
LIB="$BUILD/src/libqorvel.so"
LIST=src/qorvel.exports
if [ ! -e "$LIB" ]; then
   echo "check-exports: $LIB not found (build the library first)" >&2
   exit 2
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Exported names, one per line: the symbol and, after a tab, its demangled form.
nm -D --defined-only --without-symbol-versions "$LIB" | awk 'NF >= 3 { print $3 }' | sort -u >"$WORK/names"
c++filt <"$WORK/names" >"$WORK/demangled"
paste "$WORK/names" "$WORK/demangled" >"$WORK/exports"

if [ "$UPDATE" -eq 1 ]; then
   {
      echo "# The exported symbols of libqorvel.so, one per line with its demangled form."
      echo "# Written by scripts/check-exports.sh --update and compared by it in CI."
      cat "$WORK/exports"
   } >"$LIST"
   echo "check-exports: $LIST written ($(wc -l <"$WORK/exports") symbols)"
fi

status=0

grep -v '^#' "$LIST" >"$WORK/listed" || true
if ! diff -q "$WORK/listed" "$WORK/exports" >/dev/null; then
   status=1
   echo "FAIL: the library's exports differ from $LIST"
   comm -13 <(cut -f1 "$WORK/listed") "$WORK/names" | c++filt | sed 's/^/  new:  /'
   comm -23 <(cut -f1 "$WORK/listed") "$WORK/names" | c++filt | sed 's/^/  gone: /'
   echo "If the change is meant, regenerate the list: scripts/check-exports.sh --update $BUILD"
fi

# Names the runtime libraries export, wherever the dynamic linker finds them here.
# The cache is read whole: an early exit of awk would end ldconfig with SIGPIPE, which
# pipefail turns into a failure of this script.
ldconfig -p >"$WORK/ldcache"
for runtime in libc.so.6 libm.so.6 libstdc++.so.6 libcrypto.so.3 libz.so.1; do
   path=$(awk -v name="$runtime" '$1 == name && /x86-64/ { print $NF; exit }' "$WORK/ldcache")
   if [ -z "$path" ]; then
      path=$(awk -v name="$runtime" '$1 == name { print $NF; exit }' "$WORK/ldcache")
   fi
   if [ -z "$path" ]; then
      echo "check-exports: $runtime not found" >&2
      exit 2
   fi
   nm -D --defined-only --without-symbol-versions "$path" | awk -v lib="$runtime" 'NF >= 3 { print $3 "\t" lib }'
done | sort -u >"$WORK/runtime"

join -t "$(printf '\t')" "$WORK/names" <(sort -t "$(printf '\t')" -k1,1 "$WORK/runtime") >"$WORK/clashes" || true
if [ -s "$WORK/clashes" ]; then
   status=1
   echo "FAIL: libqorvel exports names that a runtime library exports too:"
   while IFS="$(printf '\t')" read -r name lib; do
      echo "  $(echo "$name" | c++filt) (also in $lib)"
   done <"$WORK/clashes"
   echo "Export a qv_-prefixed name instead and map the public name onto it in the header."
fi

if [ "$status" -eq 0 ]; then
   echo "OK: $(wc -l <"$WORK/names") exports as listed in $LIST, none shared with the runtime libraries."
fi
exit "$status"
