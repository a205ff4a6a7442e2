#!/bin/sh
# Installs what is missing, builds the library with its tests, runs every test, then
# installs the library into a scratch prefix and builds a small consumer against the
# installed CMake package and pkg-config file.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD=${QV_BUILD_DIR:-build-test}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=ON -DQV_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
(cd "$BUILD" && ctest --output-on-failure -j"$(nproc)")

PREFIX=$(mktemp -d)
trap 'rm -rf "$PREFIX"' EXIT
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
cmake -S tests/consumer -B "$PREFIX/consumer-build" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$PREFIX/consumer-build" -j"$(nproc)"
LD_LIBRARY_PATH="$PREFIX/lib" "$PREFIX/consumer-build/consumer_cmake"
LD_LIBRARY_PATH="$PREFIX/lib" "$PREFIX/consumer-build/consumer_pkgconfig"
echo "all tests passed"
