#!/usr/bin/env bash
# Sets up what is missing, builds everything and runs every test: the logic,
# the Linux host and window, the logic and host again under ThreadSanitizer,
# all three under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, the store-library reader under a time-bounded fuzzer, the
# real program end to end, and the Windows build under Wine. Exits non-zero
# if anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh test
./scripts/build.sh

status=0
step() {
  echo "==> $*"
  "$@" || { echo "FAILED: $*" >&2; status=1; }
}
step ctest --test-dir build --output-on-failure
step ./scripts/test-tsan.sh
step ./scripts/test-asan.sh
step ./scripts/test-fuzz.sh
step ./scripts/test-windows.sh
step ./scripts/test-e2e.sh
exit $status
