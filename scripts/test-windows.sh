#!/usr/bin/env bash
# Builds the Windows program and runs its tests under Wine: the logic, the
# Windows host against real folders and the registry, and the Win32 window
# on an Xvfb display. Wine keeps its own C: drive and registry in a prefix
# inside build-windows/, made on first use. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build-windows.sh

export WINEPREFIX="$PWD/build-windows/wine-prefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their install prompts would
# wait for a user.
export WINEDLLOVERRIDES="mscoree,mshtml="

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "==> making a Wine prefix in $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi

# One display and one wineserver for the whole run; the server goes with it.
status=0
# A test that hangs fails after 5 minutes instead of holding the run.
xvfb-run -a -s "-screen 0 1024x768x24" \
  ctest --test-dir build-windows --output-on-failure --timeout 300 || status=$?
wineserver -k 2>/dev/null || true
exit $status
