#!/usr/bin/env bash
# Long crash loop: kills recompress and synthetic-full with SIGKILL at random
# moments, KILLS times in all (half each; default 2000), and checks the store
# after every kill (see tests/ops/crash_test.cc). The test command runs the
# same loop with 200 kills.
#
#   scripts/crash.sh [KILLS]
#
# ZUV_CRASH_SEED=N repeats a failing run (the seed is printed on failure);
# ZUV_CRASH_DIR=D puts the store elsewhere (default $TMPDIR or /tmp);
# BUILD_DIR=B uses another build directory.
set -euo pipefail

kills="${1:-2000}"
case "$kills" in
  '' | *[!0-9]*) echo "usage: scripts/crash.sh [KILLS]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target zuv_tests >/dev/null

# On the disk by default (the test command runs in memory): there the
# directory flushes between renames take real time, and kills land in them.
export ZUV_CRASH_DIR="${ZUV_CRASH_DIR:-${TMPDIR:-/tmp}}"
export ZUV_CRASH_KILLS=$(((kills + 1) / 2))
exec "$build/tests/zuv_tests" --gtest_filter='CrashTest.*'
