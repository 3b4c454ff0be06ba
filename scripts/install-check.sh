#!/usr/bin/env bash
# Follows the README's "Install" section as an operator would, so that it
# cannot rot unseen (the test command runs it):
#   - the Release build, configured exactly as written: warnings are not
#     errors there, as in any user's or distribution's build (GCC 12 warns
#     a false -Wrestrict inside libstdc++ at -O3; that stays a warning);
#   - `cmake --install` into a scratch prefix, and with DESTDIR under
#     --prefix /usr as a packager does; each installed program passes
#     --selftest and nothing but the program and its files is installed;
#   - `(cd BUILD && cpack -G DEB)`: the package from that build, which apt
#     can install here (a dry run) and which packaging/check.sh checks.
# Usage: scripts/install-check.sh [BUILD_DIR]   (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-release}
jobs=$(nproc 2>/dev/null || echo 2)
fail=0
note() { printf '%s\n' "$*"; }

echo "== README install: Release build in $build"
# A build directory kept from an earlier run starts from a fresh cache, so
# that no option set there carries over into what a user's build would be.
rm -f "$build/CMakeCache.txt"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$jobs"
version_line=$("$build/zuv_maintenance" --version)

echo "== README install: cmake --install (a scratch prefix, and DESTDIR with --prefix /usr)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
DESTDIR="$scratch/destdir" cmake --install "$build" --prefix /usr >/dev/null
for root in "$scratch/prefix" "$scratch/destdir/usr"; do
  for f in bin/zuv_maintenance share/man/man1/zuv_maintenance.1 \
           share/bash-completion/completions/zuv_maintenance \
           lib/systemd/system/zuv-scrub@.service lib/systemd/system/zuv-scrub@.timer \
           lib/systemd/system/zuv-run-loop@.service; do
    [ -f "$root/$f" ] || { note "not installed: $root/$f"; fail=1; }
  done
  head -n 1 "$root/share/man/man1/zuv_maintenance.1" | grep -qF "\"$version_line\"" ||
    { note "installed man page does not name '$version_line'"; fail=1; }
  "$root/bin/zuv_maintenance" --selftest || fail=1
done

if find "$scratch" -type f | grep -E 'zuv_mkstore|zuv_bench|zuv_tests|\.a$|\.h$'; then
  note "installed a test tool, library or header"; fail=1
fi

echo "== README package: (cd $build && cpack -G DEB)"
rm -f "$build"/zuv-maintenance_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/zuv-maintenance_*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  note "cpack made no single package: ${debs[*]}"
  exit 1
fi
# `apt install ./build/zuv-maintenance_*.deb` as the README has it, as a dry
# run: its dependencies resolve on this machine.
if ! log=$(apt-get install --simulate "./${debs[0]}" 2>&1); then
  note "$log"; fail=1
fi
(cd "$build" && ctest --output-on-failure -R '^packaging\.check$') || fail=1

exit $fail
