#!/usr/bin/env bash
# The demo: builds a sample disk, shows its partition table and each NTFS
# volume's metadata as stowline-cli reads them, backs a volume up, restores and
# copies it, and takes a picture of the window with the sample disk attached.
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

# --- Backup: the primary volume into an image file beside the sample disk,
# with its progress, then the image's header and structure as inspect reads them.
backup="$out/sample-primary.vmg"
rm -f "$backup"
echo
echo "== Backup: stowline-cli backup ${loop}p1 $backup"
"$cli" backup "${loop}p1" "$backup" --yes
echo
echo "== Image: stowline-cli inspect $backup"
"$cli" inspect "$backup"

# --- Restore and copy: the primary volume's image restored into a new volume
# file, and the primary volume copied onto the logical one; ntfs-3g then reads
# the same files from each result as from the original.
restore_mounts=()
restore_cleanup() {
  local m
  for m in "${restore_mounts[@]}"; do
    mountpoint -q "$m" && umount "$m"
    rmdir "$m" 2>/dev/null || true
  done
  restore_mounts=()
}
trap 'restore_cleanup; cleanup' EXIT

# Mounts a volume read-only on a new folder, named in $mounted (not echoed: a
# command substitution would run in a subshell and lose the cleanup list).
mount_ro() {
  mounted=$(mktemp -d)
  restore_mounts+=("$mounted")
  ntfs-3g -o ro "$1" "$mounted"
}

# One line: whether the two volumes hold the same files, and how many.
compare_volumes() {
  local a b files
  mount_ro "$1"
  a=$mounted
  mount_ro "$2"
  b=$mounted
  files=$(find "$a" -type f | wc -l)
  if diff -r "$a" "$b" >/dev/null; then
    echo "ntfs-3g reads the same files from $1 and $2: $files files identical"
  else
    echo "DIFFERENT: ntfs-3g reads other files from $2 than from $1" >&2
    restore_cleanup
    return 1
  fi
  restore_cleanup
}

image="$out/sample-primary-restore.vmg"
restored="$out/restored-primary.img"
rm -f "$image" "$restored"
echo
echo "== Restore: stowline-cli backup ${loop}p1, then restore it into $restored"
"$cli" backup "${loop}p1" "$image" --yes --quiet
truncate -s "$(blockdev --getsize64 "${loop}p1")" "$restored"
"$cli" restore "$image" "$restored" --yes --quiet
compare_volumes "${loop}p1" "$restored"

echo
echo "== Copy: stowline-cli copy ${loop}p1 ${loop}p5"
"$cli" copy "${loop}p1" "${loop}p5" --yes --quiet
compare_volumes "${loop}p1" "${loop}p5"

# --- The window: started on a virtual screen while the sample disk is attached,
# so that its volumes are in the list; one picture of it, then it is closed.
window="$(dirname "$cli")/stowline"
picture="$out/window.png"
echo
if [ ! -x "$window" ]; then
  echo "== Window: not built ($window is missing); the command line above is the whole demo"
elif ! command -v xvfb-run >/dev/null || ! command -v xwd >/dev/null || ! command -v pnmtopng >/dev/null; then
  echo "== Window: xvfb-run, xwd or pnmtopng is missing (scripts/install-deps.sh installs them)"
else
  echo "== Window: $window on a virtual screen, with the sample disk's volumes in its list"
  rm -f "$picture"
  runtime=$(mktemp -d)
  XDG_RUNTIME_DIR="$runtime" xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    "$1" & pid=$!
    sleep 8  # the start screen, then the main window with the inventory
    xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > "$2"
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    exit 0' _ "$window" "$picture"
  rm -rf "$runtime"
  if [ -s "$picture" ]; then
    echo "A picture of the window is in $picture"
  else
    echo "The window's picture could not be taken" >&2
    exit 1
  fi
fi
