#!/usr/bin/env bash
# The demo: builds a sample disk, shows its partition table and each NTFS
# volume's metadata as stowline-cli reads them.
set -euo pipefail
cli=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/demo-output"
mkdir -p "$out"
disk="$out/sample-disk.img"

if [ "$(id -u)" -ne 0 ]; then
  echo "The demo needs root (loop devices and FUSE)." >&2
  exit 1
fi

echo "== Building the sample disk ($disk)"
"$root/scripts/make-sample-disk.sh" "$disk"

echo
echo "== Partition table: stowline-cli ptable $disk"
"$cli" ptable "$disk"

loop=
cleanup() {
  if [ -n "$loop" ]; then
    partx -d "$loop" 2>/dev/null || true
    losetup -d "$loop" 2>/dev/null || true
  fi
}
trap cleanup EXIT
loop=$(losetup --find --show "$disk")
partx -a "$loop"

for part in "${loop}p1" "${loop}p5"; do
  echo
  echo "== NTFS volume: stowline-cli info $part"
  "$cli" info "$part"
done
