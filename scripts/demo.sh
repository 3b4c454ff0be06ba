#!/usr/bin/env bash
# The demo: installs what is missing, builds, generates a small sample store
# in a temporary folder and runs the program's jobs on it. Nothing outside
# that folder is touched; the run log goes there too and syslog is not used.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

prog=$PWD/build/zuv_maintenance
mkstore=$PWD/build/zuv_mkstore
work=$(mktemp -d /tmp/zuv-demo.XXXXXX)
logs="$work/log"
store="$work/store"
mkdir -p "$store"

# run ARGS...: shows the command, runs it with the run log in the demo folder,
# and shows a non-zero exit status instead of stopping the demo.
run() {
  echo
  echo "\$ zuv_maintenance $*"
  local rc=0
  "$prog" "$@" --no-syslog --log-path "$logs" || rc=$?
  [ "$rc" -eq 0 ] || echo "(exit status $rc)"
}
section() {
  echo
  echo "==== $*"
}

echo "demo folder: $work"

# Each step of the demo is one file in scripts/demo.d, run in name order.
for step in scripts/demo.d/*.sh; do
  # shellcheck source=/dev/null
  . "$step"
done

section "run log ($logs/maintenance.log)"
cat "$logs/maintenance.log"
