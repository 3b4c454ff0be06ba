#!/usr/bin/env bash
# The demo: installs what is missing, builds, and shows the program at work in
# a temporary folder (nothing outside it is touched).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

prog=build/zuv_maintenance
work=$(mktemp -d /tmp/zuv-demo.XXXXXX)
logs="$work/log"
run() {
  echo
  echo "\$ zuv_maintenance $*"
  "$prog" "$@" --no-syslog --log-path "$logs" || echo "(exit status $?)"
}

echo "demo folder: $work"
echo
echo "\$ zuv_maintenance --version"
"$prog" --version
run
echo
echo "run log ($logs/maintenance.log):"
cat "$logs/maintenance.log"
