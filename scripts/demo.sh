#!/bin/sh
# Installs what is missing, builds the library and qvtool, and runs the demo.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF -DQV_BUILD_TOOLS=ON >/dev/null
cmake --build build -j"$(nproc)"
QV=build/tools/qvtool

echo '$ qvtool text "Grüße, € and 😀"'
"$QV" text "Grüße, € and 😀"

# A file from receive-file to send-file over QVCP on loopback, compressed with LZ4.
DEMO_DIR=$(mktemp -d)
trap 'rm -rf "$DEMO_DIR"' EXIT
mkdir "$DEMO_DIR/received"
for i in $(seq 1 20000); do echo "line $i of a generated file"; done >"$DEMO_DIR/generated.txt"
echo
echo '$ qvtool receive-file 0 DIR &   # any free port'
"$QV" receive-file 0 "$DEMO_DIR/received" >"$DEMO_DIR/receiver.log" 2>&1 &
RECEIVER=$!
PORT=""
for _ in $(seq 1 50); do
  PORT=$(sed -n 's/^listening on port //p' "$DEMO_DIR/receiver.log")
  [ -n "$PORT" ] && break
  sleep 0.1
done
echo "\$ qvtool send-file 127.0.0.1:$PORT generated.txt --compress lz4"
"$QV" send-file "127.0.0.1:$PORT" "$DEMO_DIR/generated.txt" --compress lz4
wait "$RECEIVER"
cat "$DEMO_DIR/receiver.log"
if cmp -s "$DEMO_DIR/generated.txt" "$DEMO_DIR/received/generated.txt"; then
  echo "the received file is identical to the one sent ($(wc -c <"$DEMO_DIR/generated.txt") bytes)"
else
  echo "the received file differs from the one sent" >&2
  exit 1
fi
