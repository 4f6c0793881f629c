#!/usr/bin/env bash
# Installs the Debian packages needed to build, test, fuzz and demonstrate the project.
# Quick when everything is already present; safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-tidy pkg-config make
  libgtest-dev libgmock-dev libbenchmark-dev libpugixml-dev libblkid-dev
  libhivex-dev libhivex-bin libxxhash-dev
  ntfs-3g fuse3 fdisk gdisk dosfstools mtools util-linux procps python3 jq
  partclone time xvfb xauth x11-apps netpbm
  g++-mingw-w64-x86-64-posix googletest wine wine64
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-svg-dev libqt6svg6
  qt6-qpa-plugins libgl-dev fonts-noto-cjk
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

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
$sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
