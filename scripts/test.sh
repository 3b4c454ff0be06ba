#!/usr/bin/env bash
# The test command: installs what is missing, then
#   0. checks that includes run one way through the layers of src/;
#   1. builds for development (warnings are errors, benchmarks included so
#      they keep compiling) and runs every test;
#   2. follows the README's "Install" section as written: a Release build as
#      a user makes it (warnings stay warnings there), `cmake --install` into
#      a scratch prefix and with DESTDIR, the installed program's --selftest,
#      and the Debian package made from that build with `cpack -G DEB`;
#   3. runs every fuzz target for a fixed number of runs;
#   4. builds with AddressSanitizer + UndefinedBehaviorSanitizer (warnings are
#      errors) and runs every test again, so ctest's summary line is the last
#      one.
# Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$(date +%s)
stage() { echo "== $* ($(( $(date +%s) - started ))s since the start)"; }

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)

stage "include layers"
bash scripts/check-layers.sh

stage "build (release with debug info, warnings are errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DZUV_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
stage "tests"
# The package is checked once, from the Release build below.
(cd build && ctest --output-on-failure -j"$jobs" -E '^packaging\.check$')

stage "the README's install section"
bash scripts/install-check.sh build-release

stage "fuzz targets, fixed runs from the committed seeds"
bash scripts/fuzz.sh --ci

stage "build (AddressSanitizer + UndefinedBehaviorSanitizer, warnings are errors)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZUV_SANITIZE=ON -DZUV_BUILD_TOOLS=ON \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
stage "tests under the sanitizers"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$jobs")
