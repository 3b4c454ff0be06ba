#!/usr/bin/env bash
# Checks what an operator installs: the man page renders without warnings,
# the systemd units verify, and the Debian package installs into an empty
# root and runs from there. Usage: check.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
# Absolute paths: the unit copies name the built program by this path, and
# systemd accepts only absolute ones.
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
pkg=$src/packaging
# The page as installed: its title line filled in with the version.
man_page=$build/packaging/zuv_maintenance.1
fail=0
note() { printf '%s\n' "$*"; }

# Tools every check below needs; scripts/setup.sh installs them. A missing
# one is reported as such, never as a fault of what it would have checked.
missing=()
for tool in man cpack dpkg dpkg-deb ldd; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ "${#missing[@]}" -gt 0 ]; then
  note "cannot check the packaging: ${missing[*]} not installed (bash scripts/setup.sh installs what is missing)"
  exit 1
fi

version_line=$("$build/zuv_maintenance" --version)

note "== man page"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$man_page" 2>&1 >/dev/null || true)
if [ -n "$warnings" ]; then
  note "man page warnings:"; note "$warnings"; fail=1
fi
# The title line names the program as its --version does.
title=$(head -n 1 "$man_page")
case "$title" in
  ".TH ZUV_MAINTENANCE 1 \"20"*"\" \"$version_line\" "*) ;;
  *) note "man page title '$title' does not name '$version_line'"; fail=1 ;;
esac

note "== bash completion"
bash -n "$pkg/zuv_maintenance.bash-completion" || fail=1

note "== systemd units"
if command -v systemd-analyze >/dev/null 2>&1; then
  units=$(mktemp -d)
  # Verify copies that point at the built program, since it is not installed here.
  for f in "$pkg"/systemd/*; do
    sed "s#/usr/bin/zuv_maintenance#$build/zuv_maintenance#" "$f" > "$units/$(basename "$f")"
  done
  out=$(cd "$units" && SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no \
          ./zuv-scrub@srv-backup.service ./zuv-scrub@srv-backup.timer \
          ./zuv-run-loop@srv-backup.service 2>&1 || true)
  rm -rf "$units"
  if [ -n "$out" ]; then note "$out"; fail=1; fi
else
  # Optional: a container or chroot may have no systemd at all.
  note "skipped: systemd-analyze is not installed, units not verified"
fi

note "== Debian package"
out=$(mktemp -d)
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/*.deb)
# The package's version is the program's, with Debian's "~" for a pre-release.
deb_version=$(dpkg-deb -f "$deb" Version)
if [ "zuv_maintenance ${deb_version/\~/-}" != "$version_line" ]; then
  note "package version $deb_version is not that of '$version_line'"; fail=1
fi
depends=$(dpkg-deb -f "$deb" Depends)
for need in libssl3 libzstd1 liblz4-1; do
  case "$depends" in *"$need"*) ;; *) note "Depends lacks $need: $depends"; fail=1 ;; esac
done
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/zuv_maintenance ./usr/share/man/man1/zuv_maintenance.1 \
         ./usr/share/bash-completion/completions/zuv_maintenance \
         ./usr/lib/systemd/system/zuv-scrub@.service ./usr/lib/systemd/system/zuv-scrub@.timer \
         ./usr/lib/systemd/system/zuv-run-loop@.service \
         ./usr/share/doc/zuv-maintenance/examples/zuv-scrub.default; do
  grep -q " $f\$" <<<"$contents" || { note "package lacks $f"; fail=1; }
done
if grep -q -E 'zuv_mkstore|zuv_bench|zuv_tests' <<<"$contents"; then
  note "package contains a test tool"; fail=1
fi
# Every shared library the program loads comes from a package it depends on.
while read -r lib; do
  owner=$(dpkg -S "$(readlink -f "$lib")" 2>/dev/null | head -n1 | cut -d: -f1 || true)
  [ -n "$owner" ] || owner=$(dpkg -S "$lib" 2>/dev/null | head -n1 | cut -d: -f1 || true)
  case "$owner" in
    ""|libc6|libgcc-s1) ;;
    *) case "$depends" in *"$owner"*) ;; *) note "$lib comes from $owner, not in Depends"; fail=1 ;; esac ;;
  esac
done < <(ldd "$build/zuv_maintenance" | awk '/=> \//{print $3}')

root=$(mktemp -d)
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The empty root has no package database of its own, so its dependencies
# are those of this machine. Every path is installed even where this
# machine's dpkg leaves some out (container images drop /usr/share/man).
if ! log=$(dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless \
             --path-include='*' -i "$deb" 2>&1); then
  note "$log"; fail=1
fi
if ! "$root/usr/bin/zuv_maintenance" --selftest; then fail=1; fi
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$root/usr/share/man/man1/zuv_maintenance.1" 2>/dev/null \
  | grep -q 'zuv_maintenance - offline maintenance' || { note "installed man page unreadable"; fail=1; }
rm -rf "$root" "$out"

exit $fail
