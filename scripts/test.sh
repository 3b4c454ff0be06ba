#!/usr/bin/env bash
# The test command: installs what is missing, builds, runs every test, then
# runs every fuzz target for a fixed number of runs, then builds again with
# AddressSanitizer + UndefinedBehaviorSanitizer and runs every test again, so
# ctest's summary line is the last one. Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (release with debug info)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
echo "== tests"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== fuzz targets, fixed runs from the committed seeds"
bash scripts/fuzz.sh --ci

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZUV_SANITIZE=ON -DZUV_BUILD_TOOLS=ON >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests under the sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$jobs")
