#!/usr/bin/env bash
# Builds the logic and the Linux host tests with ThreadSanitizer into
# build-tsan/ and runs them: the walk reads folders on helper threads, and
# any data race between them fails this step.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build-tsan --target quelmar_logic_tests quelmar_linux_host_tests
# The readers are one pool of threads for the whole process, kept once
# started; the host tests that walk in a mount namespace of their own fork,
# and the child starts readers of its own, which ThreadSanitizer refuses
# after a fork from a process with threads unless told otherwise.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0"
# Newer kernels randomise more address bits than this ThreadSanitizer can
# map around; running without address randomisation sidesteps that.
run() { setarch "$(uname -m)" -R "$@"; }
run build-tsan/bin/quelmar_logic_tests
run build-tsan/bin/quelmar_linux_host_tests
