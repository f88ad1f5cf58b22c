#!/bin/sh
# Builds dmcheck for the simulated machine and runs it there.
# Arguments go to dmsim, e.g.: tools/dev/run.sh --virtual-time -- --no-force-dsc 2
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
sh tools/dev/deps.sh build
cmake --preset sim >/dev/null
cmake --build --preset sim --target dmsim >/dev/null
exec build/sim/dmsim "$@"
