#!/bin/sh
# Makes the template Wine prefix that every Wine test copies: a fresh prefix
# as Wine creates it (Windows 7), without Mono or Gecko.
# Usage: make-prefix.sh DIR
set -eu
dir=$1
if [ -d "$dir" ]; then
  WINEPREFIX=$dir wineserver -k 2>/dev/null || true
fi
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
export WINEPREFIX="$dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i
wineserver -w
test -f "$dir/system.reg"
test -f "$dir/drive_c/windows/system32/d3d12.dll"
