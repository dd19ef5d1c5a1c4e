#!/usr/bin/env bash
# Configures and builds the Linux program, its tests and the benchmarks into
# build/. The tests are turned on explicitly: scripts/run.sh may have set the
# folder up without them.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELMAR_TESTS=ON >/dev/null
cmake --build build
