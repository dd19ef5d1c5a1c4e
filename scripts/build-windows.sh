#!/usr/bin/env bash
# Cross-compiles the Windows program and its tests into build-windows/ with
# Debian's MinGW-w64; the program is build-windows/bin/quelmar.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build-windows
