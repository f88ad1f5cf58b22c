#!/bin/sh
# Builds the benchmarks in the optimised build of preset sim (RelWithDebInfo,
# -O2) and prints their table.
#   bench/run.sh [--no-real-time] [--dispatch-only] [Google Benchmark flags]
# BUILD_DIR picks the build directory (default build/bench). The whole set
# takes about half a minute, ten seconds of it the real-time run.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-"$root/build/bench"}
cd "$root"
cmake --preset sim -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target dmcheck_bench
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), load $(cut -d' ' -f1-3 /proc/loadavg)"
exec "$build/bench/dmcheck_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
