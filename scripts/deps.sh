#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when any is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-webengine-dev libqt6webenginecore6-bin qt6-svg-dev qt6-qpa-plugins
  qt6-image-formats-plugins
  libgl1-mesa-dev libxkbcommon-dev libxcb1-dev fonts-dejavu-core
  xvfb x11-utils xdotool
  wine bubblewrap
  dpkg-dev desktop-file-utils appstream
  libgit2-dev zlib1g-dev git strace python3
  libcurl4-openssl-dev
  libarchive-dev libsodium-dev minisign libarchive-tools
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q "${missing[@]}"
