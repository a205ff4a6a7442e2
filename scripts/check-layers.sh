#!/bin/bash
# Checks the layering of a built library: reads the symbols each layer's objects define and
# leave undefined (nm), and fails when a layer uses a symbol that a later layer defines, or
# when the uses between layers form a cycle. The order of the layers is QV_LAYERS in
# src/CMakeLists.txt.
#
#   scripts/check-layers.sh [BUILD_DIR]      (default: build)
#
# A symbol belongs to the layer whose objects give its one strong definition. Symbols that
# are only defined weakly (inline functions and template instances from headers, which
# every user emits for itself) belong to no layer and are not counted.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
OBJECTS="$BUILD/src/CMakeFiles"
if [ ! -d "$OBJECTS" ]; then
   echo "check-layers: no objects under $OBJECTS (build the library first)" >&2
   exit 2
fi

read -r -a LAYERS <<<"$(sed -n 's/^set(QV_LAYERS \(.*\))$/\1/p' src/CMakeLists.txt)"
if [ ${#LAYERS[@]} -eq 0 ]; then
   echo "check-layers: no QV_LAYERS line in src/CMakeLists.txt" >&2
   exit 2
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# One line per symbol: "D rank layer symbol object" for a strong definition, "U rank layer
# symbol object" for a use.
rank=0
for layer in "${LAYERS[@]}"; do
   rank=$((rank + 1))
   dir="$OBJECTS/qv_$layer.dir"
   [ -d "$dir" ] || continue
   find "$dir" -name '*.o' | sort | while read -r object; do
      name=${object#"$dir"/}
      nm "$object" | awk -v rank="$rank" -v layer="$layer" -v obj="$name" '
         $1 == "U" { print "U", rank, layer, $2, obj; next }
         NF == 3 && $2 ~ /^[TDBRGSi]$/ { print "D", rank, layer, $3, obj }'
   done
done >"$WORK/symbols"

if [ ! -s "$WORK/symbols" ]; then
   echo "check-layers: no layer objects found under $OBJECTS" >&2
   exit 2
fi

# Uses between layers: "user-rank user owner-rank owner symbol object".
awk '
   NR == FNR { if ($1 == "D") { owner[$4] = $3; ownerRank[$4] = $2 } next }
   $1 == "U" && ($4 in owner) && owner[$4] != $3 { print $2, $3, ownerRank[$4], owner[$4], $4, $5 }
' "$WORK/symbols" "$WORK/symbols" | sort -u >"$WORK/uses"

status=0

echo "Layers, lowest first: ${LAYERS[*]}"
echo "Uses between layers (symbols used):"
awk '{ n[$2 " -> " $4]++; r[$2 " -> " $4] = $1 * 1000 + $3 }
     END { for (e in n) printf "%06d   %s (%d)\n", r[e], e, n[e] }' "$WORK/uses" | sort | cut -c8-

upward=$(awk '$3 > $1' "$WORK/uses" | wc -l)
if [ "$upward" -gt 0 ]; then
   status=1
   echo
   echo "FAIL: $upward use(s) of a higher layer:"
   awk '$3 > $1 { print $2, $4, $5, $6 }' "$WORK/uses" | while read -r user owner symbol object; do
      echo "  $user ($object) uses $owner: $(echo "$symbol" | c++filt)"
   done
fi

# Cycles, whatever the order says: tsort reports every loop it meets.
awk '{ print $2, $4 }' "$WORK/uses" | sort -u >"$WORK/edges"
if ! tsort "$WORK/edges" >/dev/null 2>"$WORK/tsort"; then
   status=1
   echo
   echo "FAIL: the uses between layers form a cycle:"
   awk '/input contains a loop/ { if (loop != "") print "  " loop; loop = ""; next }
        { sub(/^tsort: /, ""); loop = (loop == "") ? $1 : loop " -> " $1 }
        END { if (loop != "") print "  " loop }' "$WORK/tsort"
fi

if [ "$status" -eq 0 ]; then
   echo "OK: no use of a higher layer, no cycle."
fi
exit "$status"
