#!/usr/bin/env bash
# Runs the README's commands on a pristine minimal Debian 12, as a new user
# or a fresh CI runner meets them: a machine of our own has tools that a
# fresh one lacks, and a green run there can hide a missing install step.
#
#   scripts/fresh-check.sh [OPTIONS] [TARGET]
#
# TARGET is what is cloned: a branch, tag or commit of this repository
# (default: main), or the path of a git repository or work tree, whose
# checked-out commit is taken (--ref picks another one of it). Only
# committed work is seen: the clone is a clean one.
#
#   (default)   the test command, `bash .ci/run`
#   --demo      the demo, `bash scripts/demo.sh`, instead
#   --all       both, each on a pristine root of its own
#   --ref REF   the commit to take from a TARGET path
#   --refresh   make the cached root anew (else it is kept between runs)
#   --keep      keep the root afterwards (unmounted) to look into
#
# The root is made once with `debootstrap --variant=minbase bookworm` from
# the Debian mirror this machine's apt uses and kept as a tarball in
# $ZUV_FRESH_CACHE (default /var/cache/zuv-fresh); every run unpacks a fresh
# copy under $ZUV_FRESH_WORK (default /var/tmp), clones into /root/zuv
# there, mounts /proc, /sys and a private /dev (null, zero, full, random,
# urandom, tty, pts, shm), and runs the command as root in a chroot with
# CI=true, no standard input and no environment of this machine. Mounts and
# the copy are removed on every way out. The whole output also goes to
# $ZUV_FRESH_LOG (default /var/tmp/zuv-fresh-check.<time>.log). The last
# line is the verdict; the exit status is that of the command (or 1).
# Needs root (chroot, mount), debootstrap (installed when missing) and git.
set -euo pipefail

usage() { sed -n '2,30p' "$0" | sed 's/^# \{0,1\}//'; }

modes=(test)
ref=""
target=""
refresh=0
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --demo) modes=(demo) ;;
    --all) modes=(test demo) ;;
    --ref) ref="${2:?--ref needs a commit}"; shift ;;
    --refresh) refresh=1 ;;
    --keep) keep=1 ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "fresh-check: unknown option '$1'" >&2; usage >&2; exit 2 ;;
    *) [ -z "$target" ] || { echo "fresh-check: one TARGET only" >&2; exit 2; }; target="$1" ;;
  esac
  shift
done

if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || { echo "fresh-check: needs root (chroot, mount)" >&2; exit 1; }
  exec sudo --preserve-env=ZUV_FRESH_CACHE,ZUV_FRESH_WORK,ZUV_FRESH_LOG,ZUV_FRESH_MIRROR \
    bash "$0" "$@"
fi

here=$(cd "$(dirname "$0")/.." && pwd)
# What to clone, and which commit of it.
if [ -n "$target" ] && [ -d "$target" ]; then
  source=$(cd "$target" && pwd)
  ref=${ref:-HEAD}
else
  source=$here
  [ -z "$ref" ] || [ -z "$target" ] || { echo "fresh-check: --ref goes with a path" >&2; exit 2; }
  ref=${ref:-${target:-main}}
fi
commit=$(git -C "$source" rev-parse --verify --quiet "$ref^{commit}") ||
  { echo "fresh-check: no commit '$ref' in $source" >&2; exit 2; }
described="$ref of $source ($(git -C "$source" log -1 --format='%h %s' "$commit" | cut -c1-72))"

cache=${ZUV_FRESH_CACHE:-/var/cache/zuv-fresh}
tarball=$cache/bookworm-minbase.tar
log=${ZUV_FRESH_LOG:-/var/tmp/zuv-fresh-check.$(date +%Y%m%d-%H%M%S).log}
mkdir -p "$cache" "$(dirname "$log")"
exec > >(tee -a "$log") 2>&1

say() { printf 'fresh-check: %s\n' "$*"; }

# The Debian mirror of this machine's apt sources (one-line or deb822
# form): the URI that serves bookworm, and the one that serves
# bookworm-security.
apt_uri_for() {
  local suite=$1
  {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      awk -v s="$suite" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) while ($i !~ /\]$/) i++;
                                       if ($2 ~ /^\[/) i++; if ($(i + 1) == s) print $i }'
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      awk -v s="$suite" '
        /^[ \t]*$/ { if (ok && deb) print uri; uri = ""; ok = 0; deb = 0; next }
        /^URIs:/ { uri = $2 }
        /^Types:/ { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
        /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == s) ok = 1 }
        END { if (ok && deb) print uri }' "$f"
    done
  } | head -n 1
}
mirror=${ZUV_FRESH_MIRROR:-$(apt_uri_for bookworm)}
mirror=${mirror:-http://deb.debian.org/debian}
security=$(apt_uri_for bookworm-security)
security=${security:-http://deb.debian.org/debian-security}

make_cache() {
  command -v debootstrap >/dev/null 2>&1 || {
    say "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
  }
  local base
  base=$(mktemp -d "$cache/make.XXXXXX")
  say "debootstrap --variant=minbase bookworm from $mirror (once; cached in $tarball)"
  if ! debootstrap --variant=minbase bookworm "$base/root" "$mirror" >"$base/debootstrap.log" 2>&1; then
    tail -n 30 "$base/debootstrap.log"
    # debootstrap may leave its /proc mounted when it fails.
    umount "$base/root/proc" 2>/dev/null || true
    rm -rf --one-file-system "$base"
    say "FAILED: debootstrap could not make the root"
    exit 1
  fi
  # The sources of an installed Debian 12: the release, its updates and
  # its security updates.
  cat >"$base/root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security bookworm-security main
EOF
  tar --numeric-owner -C "$base/root" -cpf "$base/root.tar" .
  mv "$base/root.tar" "$tarball"
  rm -rf --one-file-system "$base"
}

(
  flock 9
  if [ "$refresh" = 1 ] || [ ! -s "$tarball" ]; then make_cache; fi
) 9>"$cache/.lock"

work=""
root=""
# Every mount under the root, deepest first.
mounts_under() {
  awk -v r="$1" '{ gsub(/\\040/, " ", $5); if ($5 == r || index($5, r "/") == 1) print $5 }' \
    /proc/self/mountinfo | sort -r
}
# Ends what was left running inside the root, unmounts everything under it
# and removes the copy; never removes anything while a mount is left.
cleanup() {
  if [ -n "$root" ] && [ -d "$root" ]; then
    local p m
    for p in /proc/[0-9]*; do
      if [ "$(readlink "$p/root" 2>/dev/null || true)" = "$root" ]; then
        kill -9 "${p#/proc/}" 2>/dev/null || true
      fi
    done
    for m in $(mounts_under "$root"); do
      umount "$m" 2>/dev/null || umount -l "$m" || true
    done
    if [ -n "$(mounts_under "$root")" ]; then
      say "mounts left under $root, not removing it:"
      mounts_under "$root"
    elif [ "$keep" = 1 ]; then
      say "root kept in $root"
    else
      rm -rf --one-file-system "$work" || true
    fi
  fi
  root=""
}
on_exit() {
  local rc=$?
  cleanup
  if [ "$rc" -ne 0 ] && [ "$verdict_said" = 0 ]; then
    say "FAILED: stopped before a verdict (exit status $rc); log: $log"
  fi
}
verdict_said=0
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# run_fresh NAME COMMAND: one pristine root, one clean clone, one command;
# sets cmd_status and elapsed. A step of the preparation that fails stops
# the script (set -e).
run_fresh() {
  local name=$1 cmd=$2 start n
  start=$(date +%s)
  work=$(mktemp -d "${ZUV_FRESH_WORK:-/var/tmp}/zuv-fresh.XXXXXX")
  root=$work/root
  mkdir "$root"
  tar --numeric-owner -C "$root" -xpf "$tarball"

  git clone --quiet --no-local --no-checkout "$source" "$root/root/zuv"
  git -C "$root/root/zuv" checkout --quiet --detach "$commit"

  cp -L /etc/resolv.conf "$root/etc/resolv.conf"
  [ -s "$root/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\tlocalhost\n' >"$root/etc/hosts"
  # Packages installed in a chroot start no services on this machine.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"

  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys" 2>/dev/null || mount --rbind -o ro /sys "$root/sys"
  # A /dev of its own: the usual nodes, bound one by one from this machine's.
  mount -t tmpfs -o mode=755,nosuid tmpfs "$root/dev"
  for n in null zero full random urandom tty; do
    touch "$root/dev/$n"
    mount --bind "/dev/$n" "$root/dev/$n"
  done
  mkdir -p "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts" 2>/dev/null ||
    mount --bind /dev/pts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
  ln -s /proc/self/fd "$root/dev/fd"
  ln -s /proc/self/fd/0 "$root/dev/stdin"
  ln -s /proc/self/fd/1 "$root/dev/stdout"
  ln -s /proc/self/fd/2 "$root/dev/stderr"

  say "$name: \`$cmd\` in a pristine bookworm minbase root ($root), clone of $described"
  set +e
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb CI=true \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/zuv && $cmd" </dev/null 2>&1 | tee "$work/output"
  cmd_status=${PIPESTATUS[0]}
  set -e
  # A script that goes on past a missing program (`|| true`, a demo step
  # that only shows a failure) must not pass for it.
  if [ "$cmd_status" -eq 0 ] && grep -q 'command not found' "$work/output"; then
    say "$name: a command was not found:"
    grep 'command not found' "$work/output" | head -n 5
    cmd_status=1
  fi
  elapsed=$(( $(date +%s) - start ))
  cleanup
}

overall=0
verdicts=()
for mode in "${modes[@]}"; do
  case "$mode" in
    test) cmd="bash .ci/run" ;;
    demo) cmd="bash scripts/demo.sh" ;;
  esac
  run_fresh "$mode" "$cmd"
  took="$((elapsed / 60))m$((elapsed % 60))s"
  if [ "$cmd_status" -eq 0 ]; then
    verdicts+=("PASSED: \`$cmd\` on a pristine Debian 12 in $took")
  else
    verdicts+=("FAILED (exit status $cmd_status): \`$cmd\` on a pristine Debian 12 after $took")
    [ "$overall" -ne 0 ] || overall=$cmd_status
  fi
done
verdict_said=1
say "log: $log"
say "clone of $described"
for v in "${verdicts[@]}"; do say "$v"; done
exit "$overall"
