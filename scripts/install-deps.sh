#!/usr/bin/env bash
# Installs the Debian 12 packages Quelmar needs.
# Usage: scripts/install-deps.sh [run|test]
#   run    what it takes to build and start the Linux program (scripts/run.sh)
#   test   that and everything the tests need (scripts/test.sh); the default
# Safe to run again: apt skips what is already there.
set -euo pipefail

# The compiler and build tools, Qt 6 with the X11 and Wayland platform
# plugins (a Wayland session without X has no other way to show the
# window; Qt's CMake files want the OpenGL headers even though the window
# draws in software), the fonts the window is laid out for, and the virtual
# screen run.sh falls back to where no desktop is found.
run_packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-wayland libgl-dev
  fonts-liberation fonts-dejavu-core
  xvfb xauth
)
# GoogleTest, clang for the fuzzer, the tools that drive and inspect real
# windows, the Windows cross-compiler and Wine, the benchmarks' references,
# the package checks, and the Qt plugins the portable archive carries.
test_packages=(
  googletest libgtest-dev
  clang-14 libclang-rt-14-dev
  xdotool x11-utils imagemagick
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  hyperfine fd-find jq time
  dpkg-dev file unzip patchelf
  openbox wmctrl strace python3 libxfixes3 libglib2.0-bin fuse3 libfuse3-dev python3-fusepy
  dbus-bin at-spi2-core gir1.2-atspi-2.0 python3-gi
  lintian desktop-file-utils appstream
  qt6-gtk-platformtheme qt6-xdgdesktopportal-platformtheme weston
)
case "${1:-test}" in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac

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
