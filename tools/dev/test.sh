#!/bin/sh
# Builds everything and runs every test: the simulated machine's unit and
# system tests, the same under ASan/UBSan, the Windows build, and bounded fuzz
# runs.
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

echo "== fuzz: bounded runs of every target"
cmake --preset fuzz
cmake --build --preset fuzz --target fuzz_options fuzz_registry fuzz_driver_records fuzz_image
bash fuzz/run.sh -t "${DMCHECK_FUZZ_SECONDS:-60}"
