#!/usr/bin/env bash
# Installs what building and testing zuv_maintenance needs, from Debian's
# packages. Idempotent: does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libssl-dev libzstd-dev liblz4-dev libgtest-dev libbenchmark-dev
  openssl zstd clang
  libclang-rt-dev gcovr
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
