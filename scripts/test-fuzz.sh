#!/usr/bin/env bash
# Builds the fuzzers of the store-library reader and of the command line's
# arguments (fuzz/) with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/ and runs each for a bounded time, from a copy of the seed corpus so that what it finds
# stays out of the repository. A crash, a broken property, a leak, a timeout
# or running out of memory fails this step; the input is left in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${QUELMAR_FUZZ_SECONDS:-60}"
mkdir -p build-fuzz
clang++-14 -std=c++20 -g -O1 -Wall -Wextra -I. \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
  fuzz/library_folders_fuzzer.cpp core/game_search.cpp core/texts.cpp -o build-fuzz/library_folders_fuzzer
rm -rf build-fuzz/corpus build-fuzz/artifacts
mkdir -p build-fuzz/corpus build-fuzz/artifacts
cp fuzz/corpus/library_folders/* build-fuzz/corpus/
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
build-fuzz/library_folders_fuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=16384 -dict=fuzz/library_folders.dict -print_final_stats=1 \
  -artifact_prefix=build-fuzz/artifacts/ build-fuzz/corpus

# The arguments' parser is small: a third of the time finds what it can.
clang++-14 -std=c++20 -g -O1 -Wall -Wextra -I. \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
  fuzz/arguments_fuzzer.cpp core/command_line.cpp core/archive_scan.cpp core/read_ahead.cpp core/crew.cpp \
  core/off_window.cpp core/texts.cpp -o build-fuzz/arguments_fuzzer
rm -rf build-fuzz/corpus-arguments && mkdir -p build-fuzz/corpus-arguments
cp fuzz/corpus/arguments/* build-fuzz/corpus-arguments/
build-fuzz/arguments_fuzzer -max_total_time="$(( (seconds + 2) / 3 ))" -timeout=10 -rss_limit_mb=2048 \
  -max_len=256 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ build-fuzz/corpus-arguments
