#!/usr/bin/env bash
# Builds the sample disk image used by the demo: an MBR disk with one primary
# and one logical NTFS partition, each filled with a few files through ntfs-3g.
# Usage: make-sample-disk.sh IMAGE
set -euo pipefail
image=$1

loop=
mnt=$(mktemp -d)
cleanup() {
  mountpoint -q "$mnt" && umount "$mnt"
  # ntfs-3g on a loop partition is a fuseblk mount: umount waits for it.
  if [ -n "$loop" ]; then
    partx -d "$loop" 2>/dev/null || true
    losetup -d "$loop" 2>/dev/null || true
  fi
  rmdir "$mnt" 2>/dev/null || true
}
trap cleanup EXIT

rm -f "$image"
truncate -s 256M "$image"
sfdisk --quiet "$image" <<'TABLE'
label: dos
label-id: 0x5eed0001
start=2048, size=96MiB, type=7, bootable
start=198656, type=f
start=200704, size=80MiB, type=7
TABLE

loop=$(losetup --find --show "$image")
partx -a "$loop"

fill() {
  local part=$1 start=$2 label=$3
  mkntfs --quiet --fast --force --label "$label" --partition-start "$start" \
    --heads 255 --sectors-per-track 63 "$part" >/dev/null
  ntfs-3g "$part" "$mnt"
  mkdir -p "$mnt/Documents/Reports" "$mnt/Pictures"
  for i in $(seq 1 40); do
    printf 'Report %d\n' "$i" >"$mnt/Documents/Reports/report-$i.txt"
  done
  head -c 3M /dev/urandom >"$mnt/Pictures/holiday.raw"
  head -c 700K /dev/urandom >"$mnt/Documents/archive.bin"
  truncate -s 20M "$mnt/Documents/sparse.vhd"
  printf 'tail\n' | dd of="$mnt/Documents/sparse.vhd" bs=1 seek=$((19 * 1024 * 1024)) conv=notrunc status=none
  echo "Notes for $label" >"$mnt/readme.txt"
  umount "$mnt"
}

fill "${loop}p1" 2048 "SAMPLE-PRIMARY"
fill "${loop}p5" 200704 "SAMPLE-LOGICAL"
