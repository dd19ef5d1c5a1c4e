#!/usr/bin/env bash
# Runs the built programs end to end in real windows on a virtual screen,
# installs and starts the .deb, and runs the portable archive where the
# system's Qt cannot be seen. Expects scripts/build.sh (and, for Windows,
# scripts/build-windows.sh) to have run.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
echo "== Linux program"
timeout 300 tests/e2e/linux.sh build/bin/quelmar build/e2e || status=1
echo "== Linux program as a command, with no display"; timeout 120 tests/e2e/command_line.sh build/bin/quelmar || status=1
echo "== Linux program against a mount that never answers"; timeout 180 tests/e2e/hang.sh build/bin/quelmar build/e2e || status=1
if [ -x tests/e2e/windows.sh ] && [ -f build-windows/bin/quelmar.exe ]; then
  echo "== Windows program under Wine"
  timeout 900 tests/e2e/windows.sh build-windows/bin/quelmar.exe build-windows/e2e || status=1
  echo "== Windows command in cmd.exe under Wine"
  timeout 300 tests/e2e/windows_command_line.sh build-windows/bin/quelmar.exe || status=1
fi
echo "== Linux package"
timeout 600 tests/e2e/deb.sh build || status=1
echo "== Portable Linux archive, with the system's Qt hidden"
timeout 600 tests/e2e/portable.sh build || status=1
exit $status
