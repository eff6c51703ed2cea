#!/usr/bin/env bash
# Installs every package the build, the tests and the benchmarks need (Debian 12, as root).
# Idempotent: packages already present are left alone and apt is not asked.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libdeflate-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libext2fs-dev comerr-dev ntfs-3g-dev
  e2fsprogs fdisk dosfstools mtools ntfs-3g util-linux
  libfuse3-dev fuse3
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
