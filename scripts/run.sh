#!/usr/bin/env bash
# Sets up what the program needs (not the tests' tools), builds the program
# alone and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh run
# The tests need packages this leaves out, GoogleTest first among them, so a
# new build folder is set up without them. It is the same folder
# scripts/build.sh uses: the tests, turned on there later, build beside the
# program, which stays up to date. One already set up is left as it is.
[ -f build/build.ninja ] ||
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELMAR_TESTS=OFF >/dev/null
cmake --build build --target quelmar
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No desktop session found (DISPLAY is not set); starting Quelmar on a virtual screen instead." >&2
  exec xvfb-run -a build/bin/quelmar
fi
exec build/bin/quelmar
