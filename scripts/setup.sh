#!/usr/bin/env bash
# Installs what building, testing and the demo of zuv_maintenance need, from
# Debian's packages, on a machine as bare as a minimal Debian 12 (debootstrap
# --variant=minbase: no man, no python, no compiler). Idempotent: does
# nothing when everything is already there.
set -euo pipefail

packages=(
  # the build
  cmake g++ make pkg-config
  libssl-dev libzstd-dev liblz4-dev libgtest-dev
  # tools the tests and the demo run: openssl and zstd check our output
  # against the real programs; python3 with the Prometheus client parses
  # metrics text; setpriv, script and fincore (util-linux, bsdutils,
  # util-linux-extra) run the program as another user, on a terminal and
  # look at the page cache
  openssl zstd python3 python3-prometheus-client util-linux util-linux-extra bsdutils
  # packaging/check.sh: man renders the man page (dpkg, ldd and cpack come
  # with the system and cmake)
  man-db
  # scripts/fuzz.sh: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-dev
  # the benchmarks (bench/*.sh) and scripts/coverage.sh
  libbenchmark-dev time bc gcovr
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
