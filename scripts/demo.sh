#!/bin/sh
# Installs what is missing, builds the library and qvtool, and runs the demo.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
QV=build/tools/qvtool

echo '$ qvtool text "Grüße, € and 😀"'
"$QV" text "Grüße, € and 😀"
