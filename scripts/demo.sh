#!/bin/sh
# Installs what is missing, builds the library and qvtool, and runs an agent and its client
# on loopback: a key, a configuration, an agent on a free port, each command once, stop.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF -DQV_BUILD_TOOLS=ON >/dev/null
cmake --build build-demo -j"$(nproc)" --target qvtool
QV=$(pwd)/build-demo/tools/qvtool

DEMO=$(mktemp -d)
AGENT=""
cleanup() {
  [ -n "$AGENT" ] && kill "$AGENT" 2>/dev/null && wait "$AGENT" 2>/dev/null
  rm -rf "$DEMO"
}
trap cleanup EXIT
mkdir "$DEMO/files" "$DEMO/fetched"
for i in $(seq 1 20000); do echo "line $i of a generated file"; done >"$DEMO/files/generated.txt"
echo "a file for the agent" >"$DEMO/note.txt"

step() { printf '\n$ %s\n' "$*"; }

step qvtool keygen agent.key
"$QV" keygen "$DEMO/agent.key"
cat >"$DEMO/agent.ini" <<CONFIG
[agent]
Port = 0
ListenAddress = 127.0.0.1
KeyFile = $DEMO/agent.key
AllowedPeer = 127.0.0.1
LogFile = $DEMO/agent.log
LogRotation = size
LogMaxSize = 1M
DebugTag = agent=4
MaxWorkers = 4
AllowExec = yes
FileRoot = $DEMO/files
[schedules]
nightly-backup = "30 2 * * *"
quarter-hourly = "*/15 * * * *"
CONFIG
step cat agent.ini
cat "$DEMO/agent.ini"

step 'qvtool agent --config agent.ini &   # Port 0: any free port'
"$QV" agent --config "$DEMO/agent.ini" >"$DEMO/agent.out" 2>&1 &
AGENT=$!
PORT=""
for _ in $(seq 1 100); do
  PORT=$(sed -n 's/^agent listening on port //p' "$DEMO/agent.out")
  [ -n "$PORT" ] && break
  sleep 0.1
done
[ -n "$PORT" ] || { cat "$DEMO/agent.out"; exit 1; }
cat "$DEMO/agent.out"
AT=127.0.0.1:$PORT

call() {
  step qvtool call "$AT" "$@"
  "$QV" call "$AT" "$@"
}
call info
call schedule
call metrics
call echo hello
call ping 127.0.0.1 || echo "(ICMP needs privileges on the agent's host)"
call exec 'uname -sr; echo done'
call get-file generated.txt --output "$DEMO/fetched"
cmp "$DEMO/files/generated.txt" "$DEMO/fetched/generated.txt" && echo "the fetched file is identical to the agent's"
call put-file "$DEMO/note.txt"
call debug agent=6 --for 60
call info --json | head -n 12

step kill -TERM agent
kill "$AGENT"
wait "$AGENT" || true
AGENT=""
tail -n 1 "$DEMO/agent.out"
