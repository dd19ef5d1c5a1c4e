#!/usr/bin/env bash
# Sets up what is missing, builds Quelmar and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No desktop session found (DISPLAY is not set); starting Quelmar on a virtual screen instead." >&2
  exec xvfb-run -a build/bin/quelmar
fi
exec build/bin/quelmar
