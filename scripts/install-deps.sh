#!/usr/bin/env bash
# Installs the Debian 12 packages Quelmar needs to build, run and test.
# Safe to run again: apt skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  googletest libgtest-dev
  clang-14 libclang-rt-14-dev
  fonts-liberation fonts-dejavu-core
  xvfb xauth xdotool x11-utils imagemagick
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  hyperfine fd-find jq time
  dpkg-dev file unzip patchelf
  openbox wmctrl strace python3 libxfixes3 libglib2.0-bin
  dbus-bin at-spi2-core gir1.2-atspi-2.0 python3-gi
  lintian desktop-file-utils appstream
  qt6-gtk-platformtheme qt6-xdgdesktopportal-platformtheme qt6-wayland weston
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
