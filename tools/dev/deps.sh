#!/bin/sh
# Installs the Debian packages that building and testing dmcheck needs, when
# they are missing. Usage: deps.sh [build|test]
set -eu

build="cmake ninja-build g++ libgtest-dev nlohmann-json3-dev libpng-dev g++-mingw-w64-x86-64-posix"
test="$build libbenchmark-dev valgrind clang libclang-rt-14-dev"

case "${1:-build}" in
  build) packages=$build ;;
  test) packages=$test ;;
  *) echo "usage: deps.sh [build|test]" >&2; exit 2 ;;
esac

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done

if [ -n "$missing" ]; then
  echo "deps.sh: installing$missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  # A fresh machine may have no package lists yet.
  apt-get install -y -q $missing || { apt-get update -q && apt-get install -y -q $missing; }
fi

if [ "${1:-build}" = test ] && [ -f "$(dirname "$0")/../../tests/wine/install-deps.sh" ]; then
  sh "$(dirname "$0")/../../tests/wine/install-deps.sh"
fi
