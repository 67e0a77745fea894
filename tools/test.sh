#!/bin/sh
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test; then builds the thread tests again under ThreadSanitizer and runs them.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

sh tools/install-deps.sh
jobs=$(nproc)

cmake -S . -B build/test -G Ninja -DZELMORA_SANITIZE=address,undefined
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs" --timeout 900

cmake -S . -B build/tsan -G Ninja -DZELMORA_SANITIZE=thread -DZELMORA_GAME=OFF
cmake --build build/tsan -j "$jobs" --target norva_thread_tests norva_archive_thread_tests
ctest --test-dir build/tsan -L thread --output-on-failure --timeout 900
