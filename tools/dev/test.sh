#!/bin/sh
# Builds everything and runs every test: the simulated machine's unit and
# system tests, the same under ASan/UBSan, and the Windows build.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
sh tools/dev/deps.sh test

echo "== sim: build and test"
cmake --preset sim
cmake --build --preset sim
ctest --preset sim

echo "== sim-asan: build and test"
cmake --preset sim-asan
cmake --build --preset sim-asan
ctest --preset sim-asan -LE wine

echo "== windows: cross build"
cmake --preset windows
cmake --build --preset windows
