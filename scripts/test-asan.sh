#!/usr/bin/env bash
# Builds the logic, the Linux host and the Qt window tests with
# AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/ and runs
# them: a read out of bounds, a use after free, undefined behaviour or a leak
# (LeakSanitizer, at each program's end) fails this step.
set -euo pipefail
cd "$(dirname "$0")/.."
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build build-asan --target quelmar_logic_tests quelmar_linux_host_tests \
  quelmar_qt_window_tests quelmar_message_box_tests
# Nothing is suppressed: Qt and fontconfig, as Debian 12 builds them, leave
# no leak at the end of these programs either.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
build-asan/bin/quelmar_logic_tests
build-asan/bin/quelmar_linux_host_tests
QT_QPA_PLATFORM=offscreen build-asan/bin/quelmar_qt_window_tests
QT_QPA_PLATFORM=offscreen build-asan/bin/quelmar_message_box_tests
