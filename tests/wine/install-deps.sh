#!/bin/sh
# Installs what the Wine tests need on Debian 12: Wine (64-bit), vkd3d for
# Direct3D 12, Mesa's Vulkan drivers (lavapipe) and a virtual X server.
# Does nothing when everything is already there.
set -eu

packages="wine64 libvkd3d1 mesa-vulkan-drivers xvfb xauth"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO="sudo -n"
  else
    echo "install-deps.sh: need root to install:$missing" >&2
    exit 1
  fi
else
  SUDO=""
fi

export DEBIAN_FRONTEND=noninteractive
# A fresh container may have no package lists yet.
if ! $SUDO apt-get install -y $missing; then
  $SUDO apt-get update
  $SUDO apt-get install -y $missing
fi
