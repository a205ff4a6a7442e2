#!/bin/sh
# Installs the Debian packages that building and testing libqorvel need, when missing.
# Uses sudo when not run as root.
set -eu

PACKAGES="cmake make g++ pkg-config libssl-dev zlib1g-dev liblz4-dev libjansson-dev
libexpat1-dev libtre-dev uthash-dev googletest libgtest-dev libbenchmark-dev clang gdb
libclang-rt-14-dev clang-format libspdlog-dev
libprotobuf-dev protobuf-compiler libboost-dev libpoco-dev
liboping-dev iproute2 libgit2-dev libpugixml-dev"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  SUDO=""
else
  SUDO="sudo"
fi
echo "installing:$missing"
$SUDO apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
