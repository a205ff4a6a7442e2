#!/bin/bash
# Checks that every C++ source and header of the project is formatted as the project's
# .clang-format says. With --fix, formats them in place instead.
#
#   scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
FORMAT=${CLANG_FORMAT:-clang-format}
mapfile -t files < <(git ls-files -- 'src/*.cpp' 'src/*.h' 'include/*.h' 'tests/*.cpp' 'tests/*.h' \
                        'bench/*.cpp' 'bench/*.h' 'fuzz/*.cpp' 'fuzz/*.h' 'tools/*.cpp' 'tools/*.h')
if [ "${1:-}" = "--fix" ]; then
   "$FORMAT" -i "${files[@]}"
   exit 0
fi
if ! "$FORMAT" --dry-run --Werror "${files[@]}" 2>"${TMPDIR:-/tmp}/qv-format.$$"; then
   grep -E '^[^ ].*: (error|warning):' "${TMPDIR:-/tmp}/qv-format.$$" | cut -d: -f1 | sort -u | sed 's/^/  /'
   rm -f "${TMPDIR:-/tmp}/qv-format.$$"
   echo "FAIL: the files above are not formatted as .clang-format says; fix with: scripts/check-format.sh --fix"
   exit 1
fi
rm -f "${TMPDIR:-/tmp}/qv-format.$$"
echo "OK: ${#files[@]} files formatted as .clang-format says."
