#!/bin/bash
# Makes room for an EFI system partition on a GPT disk that has none, taking it
# from the end of an NTFS partition of that disk:
#
#   AssistSplitPartition.sh DISK PARTITION SIZE_MIB VOLUME
#
#   DISK       the program's number of the disk that holds the volume (loop device N: 1000 + N)
#   PARTITION  the volume's partition number on that disk
#   SIZE_MIB   the volume's size in MiB, as the program saw it
#   VOLUME     the volume's device path (/dev/sdb2)
#
# The three numbers must describe the volume as it is now; a volume that has
# moved to another disk or number, or changed its size, is refused. The NTFS
# file system is shrunk with ntfsresize, then its partition (same start, same
# number, type, identifier and name), and a FAT32 EFI system partition is made
# in the room freed behind it. When the disk already has enough unallocated
# room right behind the partition, that room is used and nothing is shrunk.
#
# Everything is checked before the first change (ntfsresize --info and
# --no-action, the partition tools' dry runs). The file system is always made
# smaller before its partition, so a failure at any point leaves a partition at
# least as large as its file system and every file in place; a second run
# finishes what the first began.
#
# Prints one line: on success on standard output, on failure on standard error
# with what happened and what to do. Exit status:
#   0  done, or the disk already has an EFI system partition with a FAT file system
#   2  the arguments are not as above
#   3  a tool is missing, or not run as root
#   4  the volume is not the one described (disk, partition number or size differ)
#   5  the disk's partition table is not GPT, or it is damaged
#   6  the volume is in use (mounted, swap, or held by another device)
#   7  the volume holds no NTFS file system, or ntfsresize refuses it
#   8  the volume has not enough free space for the EFI system partition
#   9  a step failed after changes began; the message says what state the disk is in

set -u
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
export LC_ALL=C

readonly SCRIPT_NAME="AssistSplitPartition"
readonly MIB=1048576
# The EFI system partition: 100 MiB holds the boot files of several systems; on
# disks of 4096-byte sectors FAT32 needs at least 65525 clusters of 4 KiB.
readonly ESP_MIB_SMALL_SECTORS=100
readonly ESP_MIB_LARGE_SECTORS=260
readonly ESP_TYPE_GUID="C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
readonly ESP_NAME="EFI system partition"
readonly ESP_LABEL="EFI"
# Loop device N is disk 1000 + N; fixed disks are numbered below it.
readonly LOOP_DISK_BASE=1000

fail() {
  local code=$1
  shift
  printf '%s: %s\n' "$SCRIPT_NAME" "$*" >&2
  exit "$code"
}

# The first line of a tool's output that reads as an error, or its last line.
reason_of() {
  local text=$1 line
  line=$(printf '%s\n' "$text" | grep -m1 -E '^(ERROR|Error|error)|[Ff]ailed|[Rr]efus' || true)
  [ -n "$line" ] || line=$(printf '%s\n' "$text" | grep -v '^[[:space:]]*$' | tail -n1)
  printf '%s' "$line" | tr -s '\t\r' '  '
}

# The little-endian number of `count` bytes at `offset` of a file or device.
le_number() {
  dd if="$1" bs=1 skip="$2" count="$3" status=none 2>/dev/null | od -An -v -tu1 |
    awk '{ for (i = 1; i <= NF; i++) b[n++] = $i } END {
      if (n == 0) exit; v = 0; for (i = n - 1; i >= 0; i--) v = v * 256 + b[i]; printf "%.0f\n", v }'
}

# Copies the volume's boot sector into its sector `$1` and reads it back.
write_boot_copy() {
  dd if="$volume" of="$volume" bs="$bytes_per_sector" count=1 seek="$1" conv=notrunc,fsync \
    status=none 2>/dev/null &&
    cmp -s -n "$bytes_per_sector" "$volume" \
      <(dd if="$volume" bs="$bytes_per_sector" skip="$1" count=1 status=none 2>/dev/null)
}

# --- Arguments ----------------------------------------------------------------

usage="usage: $SCRIPT_NAME.sh DISK PARTITION SIZE_MIB VOLUME (for example: 0 2 476837 /dev/sda2)"
[ $# -eq 4 ] || fail 2 "expected 4 arguments, got $#: $usage"
disk_arg=$1
part_arg=$2
size_arg=$3
volume=$4
[[ $disk_arg =~ ^[0-9]{1,7}$ ]] || fail 2 "the disk number '$disk_arg' is not a number: $usage"
[[ $part_arg =~ ^[1-9][0-9]{0,3}$ ]] || fail 2 "the partition number '$part_arg' is not a number from 1: $usage"
[[ $size_arg =~ ^[1-9][0-9]{0,11}$ ]] || fail 2 "the size '$size_arg' is not a number of MiB: $usage"
[[ $volume =~ ^/dev/[A-Za-z0-9._/+-]+$ ]] || fail 2 "the volume '$volume' is not a device path such as /dev/sdb2: $usage"
disk_arg=$((10#$disk_arg))
part_arg=$((10#$part_arg))
size_arg=$((10#$size_arg))

# --- Tools ----------------------------------------------------------------------

[ "$(id -u)" -eq 0 ] || fail 3 "changing partitions needs root: run it as root"
# A program of the system's folders, executable (a shell would settle for one that is not).
have_tool() {
  local folder
  for folder in ${PATH//:/ }; do
    [ -f "$folder/$1" ] && [ -x "$folder/$1" ] && return 0
  done
  return 1
}
for tool in ntfsresize:ntfs-3g ntfsfix:ntfs-3g sgdisk:gdisk sfdisk:fdisk mkfs.fat:dosfstools \
  fsck.fat:dosfstools blkid:util-linux partx:util-linux blockdev:util-linux; do
  have_tool "${tool%%:*}" ||
    fail 3 "the program ${tool%%:*} is missing: install the package ${tool##*:} and run again"
done

# --- The volume and its disk --------------------------------------------------------

[ -b "$volume" ] || fail 4 "$volume is not a block device: refresh the list of volumes and choose again"
vol_name=$(basename "$(readlink -f "$volume")")
vol_sys=/sys/class/block/$vol_name
[ -r "$vol_sys/partition" ] ||
  fail 4 "$volume is not a partition of a disk: choose a volume on a GPT disk"
part_now=$(<"$vol_sys/partition")
[ "$part_now" = "$part_arg" ] ||
  fail 4 "$volume is partition $part_now of its disk, not partition $part_arg: refresh the list of volumes and choose again"
disk_name=$(basename "$(dirname "$(readlink -f "$vol_sys")")")
disk=/dev/$disk_name
[ -b "$disk" ] || fail 4 "the disk of $volume ($disk) cannot be found: refresh the list of volumes and choose again"

# The program's number of a whole disk (see docs/disk-numbers.md), or nothing.
disk_number_of() {
  local name=$1 entry n
  if [[ $name =~ ^loop([0-9]+)$ ]]; then
    [ -e "/sys/block/$name/loop/backing_file" ] && echo $((LOOP_DISK_BASE + 10#${BASH_REMATCH[1]}))
    return
  fi
  # Fixed disks in the order of platform/linux/DiskNames.h: runs of digits compare
  # by value (padded here), and the letters of sd, vd, hd and xvd disks count like
  # a number (their count first), so sdz comes before sdaa.
  n=0
  while IFS=$'\t' read -r _ entry; do
    if [ "$entry" = "$name" ]; then
      [ "$n" -lt "$LOOP_DISK_BASE" ] && echo "$n"
      return
    fi
    n=$((n + 1))
  done < <(for entry in /sys/block/*; do
    entry=${entry##*/}
    case $entry in ram* | zram* | sr* | fd* | dm-* | md* | loop*) continue ;; esac
    [ "$(cat "/sys/block/$entry/removable" 2>/dev/null)" = 1 ] && continue
    [ "$(cat "/sys/block/$entry/size" 2>/dev/null)" = 0 ] && continue
    printf '%s\n' "$entry"
  done | awk '{
      s = $0; key = ""
      if (s ~ /^(xvd|sd|vd|hd)[a-z]+$/) {
        kind = (s ~ /^xvd/) ? 3 : 2
        print substr(s, 1, kind) sprintf("%03d", length(s) - kind) substr(s, kind + 1) "\t" $0
        next
      }
      while (match(s, /[0-9]+/)) {
        key = key substr(s, 1, RSTART - 1) substr("00000000000000000000", 1, 20 - RLENGTH) substr(s, RSTART, RLENGTH)
        s = substr(s, RSTART + RLENGTH)
      }
      print key s "\t" $0
    }' | sort -t $'\t' -k1,1)
}

disk_now=$(disk_number_of "$disk_name")
[ -n "$disk_now" ] || fail 4 "$disk, the disk of $volume, is not one of the program's disks (removable or virtual): choose a volume on a fixed disk"
[ "$disk_now" = "$disk_arg" ] ||
  fail 4 "$volume lies on disk $disk_now ($disk), not on disk $disk_arg: refresh the list of volumes and choose again"

# --- The partition table ------------------------------------------------------------

table=$(sfdisk --dump "$disk" 2>&1) ||
  fail 5 "disk $disk_arg ($disk) has no partition table that can be read ($(reason_of "$table")): choose a volume on a GPT disk"
label=$(printf '%s\n' "$table" | sed -n 's/^label: *//p')
case $label in
  gpt) ;;
  dos) fail 5 "disk $disk_arg ($disk) has an MBR partition table; an EFI system partition is made only on GPT disks: choose a volume on a GPT disk, or convert the disk to GPT first" ;;
  *) fail 5 "disk $disk_arg ($disk) has no GPT partition table (found '${label:-none}'): choose a volume on a GPT disk" ;;
esac
verify=$(sgdisk --verify "$disk" 2>&1)
printf '%s\n' "$verify" | grep -q '^No problems found' ||
  fail 5 "the GPT of disk $disk_arg ($disk) has problems ($(reason_of "$verify")): repair it (sgdisk --verify $disk lists them) and run again"

sector=$(printf '%s\n' "$table" | sed -n 's/^sector-size: *//p')
last_lba=$(printf '%s\n' "$table" | sed -n 's/^last-lba: *//p')
[ -n "$sector" ] || sector=$(blockdev --getss "$disk")
[[ $sector =~ ^[0-9]+$ && $last_lba =~ ^[0-9]+$ && $sector -ge 512 ]] ||
  fail 5 "the GPT of disk $disk_arg ($disk) cannot be read (sector size '$sector', last sector '$last_lba'): repair it and run again"

# One line per partition: number start size type.
parts=$(printf '%s\n' "$table" | awk '
  / : start=/ {
    name = $1; sub(/^.*[^0-9]/, "", name)
    start = $0; sub(/.*start= */, "", start); sub(/,.*/, "", start)
    size = $0; sub(/.*size= */, "", size); sub(/,.*/, "", size)
    type = $0; sub(/.*type=/, "", type); sub(/,.*/, "", type)
    print name, start, size, toupper(type)
  }')

# A disk that already has an EFI system partition needs no other.
while read -r number _ _ type; do
  [ "$type" = "$ESP_TYPE_GUID" ] || continue
  esp_dev=""
  for entry in /sys/class/block/"$disk_name"/*/partition; do
    [ -r "$entry" ] && [ "$(<"$entry")" = "$number" ] && esp_dev=/dev/$(basename "$(dirname "$entry")")
  done
  if [ -n "$esp_dev" ] && [ "$(blkid -p -o value -s TYPE "$esp_dev" 2>/dev/null)" = vfat ]; then
    echo "$SCRIPT_NAME: disk $disk_arg ($disk) already has an EFI system partition with a FAT file system ($esp_dev, partition $number); nothing was changed"
    exit 0
  fi
  fail 5 "disk $disk_arg ($disk) already has an EFI system partition (partition $number) without a FAT file system: format it as FAT32 (mkfs.fat -F 32) instead of making another"
done <<<"$parts"

read -r _ part_start part_size _ < <(printf '%s\n' "$parts" | awk -v n="$part_arg" '$1 == n')
[[ ${part_start:-} =~ ^[0-9]+$ && ${part_size:-} =~ ^[0-9]+$ ]] ||
  fail 4 "partition $part_arg is not in the GPT of disk $disk_arg ($disk): refresh the list of volumes and choose again"
part_end=$((part_start + part_size - 1))

# --- The volume itself ----------------------------------------------------------------

fs_type=$(blkid -p -o value -s TYPE "$volume" 2>/dev/null)
[ "$fs_type" = ntfs ] ||
  fail 7 "$volume holds no NTFS file system (found '${fs_type:-nothing}'): only an NTFS volume can give up room here; format it as NTFS first"

vol_dev=$(<"$vol_sys/dev")
mount_point=$(awk -v dev="$vol_dev" -v path="$volume" -v real="/dev/$vol_name" '{
    src = ""
    for (i = 7; i <= NF; i++) if ($i == "-") { src = $(i + 2); break }
    if ($3 == dev || src == path || src == real) { print $5; exit }
  }' /proc/self/mountinfo)
[ -z "$mount_point" ] ||
  fail 6 "$volume is mounted on $mount_point; nothing was changed: unmount it (umount $mount_point) and run again"
if awk 'NR > 1 { print $1 }' /proc/swaps | grep -qxF -e "$volume" -e "/dev/$vol_name"; then
  fail 6 "$volume is in use as swap space; nothing was changed: switch it off (swapoff $volume) and run again"
fi
if [ -n "$(ls -A "$vol_sys/holders" 2>/dev/null)" ]; then
  fail 6 "$volume is held by another device ($(basename "$(find "$vol_sys/holders/" -mindepth 1 -maxdepth 1 | head -n1)")); nothing was changed: release it and run again"
fi

part_mib=$((part_size * sector / MIB))
if [ "$size_arg" -gt "$part_mib" ] || [ "$size_arg" -lt $((part_mib - 1)) ]; then
  fail 4 "$volume is $part_mib MiB, not $size_arg MiB as given: refresh the list of volumes and choose again"
fi

# --- The plan ---------------------------------------------------------------------------

if [ "$sector" -ge 4096 ]; then esp_mib=$ESP_MIB_LARGE_SECTORS; else esp_mib=$ESP_MIB_SMALL_SECTORS; fi
esp_sectors=$((esp_mib * MIB / sector))
align=$((MIB / sector))
[ "$align" -ge 1 ] || align=1

# Unallocated room right behind the partition, up to the next one or the table's end.
next_start=$((last_lba + 1))
while read -r _ start _ _; do
  [[ ${start:-} =~ ^[0-9]+$ ]] || continue
  if [ "$start" -gt "$part_end" ] && [ "$start" -lt "$next_start" ]; then next_start=$start; fi
done <<<"$parts"
gap_start=$(((part_end + 1 + align - 1) / align * align))

# The lowest free entry of the table for the new partition.
esp_number=1
while printf '%s\n' "$parts" | awk -v n="$esp_number" '$1 == n { found = 1 } END { exit !found }'; do
  esp_number=$((esp_number + 1))
done
[ "$esp_number" -le 128 ] || fail 5 "the GPT of disk $disk_arg ($disk) has no free entry for another partition: delete one first"

bytes_per_sector=$(le_number "$volume" 11 2)
[[ ${bytes_per_sector:-} =~ ^[0-9]+$ && $bytes_per_sector -ge 256 ]] ||
  fail 7 "the boot sector of $volume cannot be read; nothing was changed: check the volume and run again"

if [ $((gap_start + esp_sectors - 1)) -lt "$next_start" ]; then
  shrink=0
  esp_start=$gap_start
  new_part_size=$part_size
else
  shrink=1
  esp_start=$(((part_end + 1 - esp_sectors) / align * align))
  new_part_size=$((esp_start - part_start))
  # The file system keeps one sector behind it for the copy of its boot sector.
  new_fs_bytes=$((new_part_size * sector - bytes_per_sector))
  volume_sectors=$(le_number "$volume" 40 8)
  fs_fits=0
  if [ "$new_part_size" -gt 0 ] && [[ ${volume_sectors:-} =~ ^[0-9]+$ ]] &&
    [ $(((volume_sectors + 1) * bytes_per_sector)) -le $((new_part_size * sector)) ]; then
    # The file system is small enough already (an earlier run that stopped after
    # shrinking it): only its partition is left to shrink.
    fs_fits=1
  else
    ntfs_info=$(ntfsresize --info --no-progress-bar "$volume" </dev/null 2>&1) ||
      fail 7 "ntfsresize refuses $volume: $(reason_of "$ntfs_info"); nothing was changed: check the volume (chkdsk in Windows, or ntfsfix $volume) and run again"
    min_bytes=$(printf '%s\n' "$ntfs_info" | sed -n 's/^You might resize at \([0-9]*\) bytes.*/\1/p')
    if [ "$new_part_size" -le 0 ] || [ -z "$min_bytes" ] || [ "$min_bytes" -gt "$new_fs_bytes" ]; then
      free_mib=0
      [ -n "$min_bytes" ] && [ "$min_bytes" -lt "$((part_size * sector))" ] &&
        free_mib=$(((part_size * sector - min_bytes) / MIB))
      fail 8 "$volume has not enough free space: the EFI system partition needs $esp_mib MiB and the volume can give up only $free_mib MiB; nothing was changed: free some space on it and run again"
    fi
  fi
fi
esp_end=$((esp_start + esp_sectors - 1))

# --- Dry runs ------------------------------------------------------------------------------

if [ "$shrink" -eq 1 ]; then
  [ "$fs_fits" -eq 1 ] ||
    out=$(ntfsresize --no-action --no-progress-bar --size "$new_fs_bytes" "$volume" </dev/null 2>&1) ||
    fail 7 "ntfsresize refuses to shrink $volume: $(reason_of "$out"); nothing was changed: check the volume (chkdsk in Windows, or ntfsfix $volume) and run again"
  out=$(echo "$part_start,$new_part_size" |
    sfdisk --no-act --no-reread --no-tell-kernel --quiet -N "$part_arg" "$disk" 2>&1) ||
    fail 5 "sfdisk cannot shrink partition $part_arg of disk $disk_arg ($disk): $(reason_of "$out"); nothing was changed"
fi
esp_args=(--new="$esp_number:$esp_start:$esp_end" --typecode="$esp_number:EF00"
  --change-name="$esp_number:$ESP_NAME")
# The dry run of the new partition sees the shrunk partition in place of the old one.
pretend_args=()
[ "$shrink" -eq 0 ] ||
  pretend_args=(--delete="$part_arg" --new="$part_arg:$part_start:$((esp_start - 1))")
out=$(sgdisk --pretend "${pretend_args[@]}" "${esp_args[@]}" "$disk" 2>&1) ||
  fail 5 "sgdisk cannot make the EFI system partition on disk $disk_arg ($disk): $(reason_of "$out"); nothing was changed"

# --- Changes --------------------------------------------------------------------------------

intact="$volume keeps all its files"
if [ "$shrink" -eq 1 ]; then
  [ "$fs_fits" -eq 1 ] ||
    out=$(printf 'y\n' | ntfsresize --no-progress-bar --size "$new_fs_bytes" "$volume" 2>&1) ||
    fail 9 "ntfsresize failed while shrinking $volume: $(reason_of "$out"); its partition was not changed: check the volume (chkdsk in Windows, or ntfsfix $volume) before using it"
  volume_sectors=$(le_number "$volume" 40 8)
  [[ ${volume_sectors:-} =~ ^[0-9]+$ ]] &&
    [ $(((volume_sectors + 1) * bytes_per_sector)) -le $((new_part_size * sector)) ] ||
    fail 9 "after ntfsresize the file system of $volume is larger than planned ($volume_sectors sectors); its partition was not changed and $intact: run again"
  # The copy of the boot sector: in the last sector of the partition, where the
  # system looks for it, and right behind the file system, where its size puts it
  # (the same sector unless the size was rounded down to whole clusters). Both
  # lie in the room the file system has just given up.
  for backup in "$volume_sectors" $((new_part_size * sector / bytes_per_sector - 1)); do
    write_boot_copy "$backup" ||
      fail 9 "the copy of the boot sector of $volume could not be written; its partition was not changed and $intact: run again"
  done
  out=$(echo "$part_start,$new_part_size" |
    sfdisk --no-reread --no-tell-kernel --quiet -N "$part_arg" "$disk" 2>&1) ||
    fail 9 "$volume was shrunk but its partition could not be ($(reason_of "$out")); $intact: run again"
  out=$(partx -u --nr "$part_arg" "$disk" 2>&1) ||
    fail 9 "the partition of $volume was shrunk but the system could not be told ($(reason_of "$out")); $intact: restart the computer, then run again"
fi

out=$(sgdisk "${esp_args[@]}" "$disk" 2>&1) ||
  fail 9 "the EFI system partition could not be made on disk $disk_arg ($disk): $(reason_of "$out"); $intact: run again"
out=$(partx -a --nr "$esp_number" "$disk" 2>&1) ||
  fail 9 "partition $esp_number was made on disk $disk_arg ($disk) but the system could not be told ($(reason_of "$out")); $intact: restart the computer, then format it: mkfs.fat -F 32 on partition $esp_number"

esp_dev=""
for _ in $(seq 1 50); do
  for entry in /sys/class/block/"$disk_name"/*/partition; do
    [ -r "$entry" ] && [ "$(<"$entry")" = "$esp_number" ] && esp_dev=/dev/$(basename "$(dirname "$entry")")
  done
  [ -n "$esp_dev" ] && [ -b "$esp_dev" ] && break
  esp_dev=""
  sleep 0.1
done
[ -n "$esp_dev" ] ||
  fail 9 "partition $esp_number was made on disk $disk_arg ($disk) but has no device node; $intact: restart the computer, then format it: mkfs.fat -F 32 on partition $esp_number"

out=$(mkfs.fat -F 32 -n "$ESP_LABEL" -h "$esp_start" "$esp_dev" 2>&1) ||
  fail 9 "$esp_dev could not be formatted as FAT32: $(reason_of "$out"); $intact: format it (mkfs.fat -F 32 $esp_dev)"

# --- Checks --------------------------------------------------------------------------------

out=$(fsck.fat -n "$esp_dev" 2>&1) && [ "$(blkid -p -o value -s TYPE "$esp_dev" 2>/dev/null)" = vfat ] ||
  fail 9 "the new FAT32 file system on $esp_dev does not check out ($(reason_of "$out")); $intact: format it again (mkfs.fat -F 32 $esp_dev)"
[ "$shrink" -eq 0 ] || out=$(ntfsfix --no-action "$volume" 2>&1) ||
  fail 9 "the check of $volume after shrinking it failed ($(reason_of "$out")): check it (chkdsk in Windows, or ntfsfix $volume) before using it"

if [ "$shrink" -eq 1 ]; then
  echo "$SCRIPT_NAME: $volume gave up room at its end to the new EFI system partition $esp_dev (partition $esp_number, $esp_mib MiB, FAT32) on disk $disk_arg; all its files are in place"
else
  echo "$SCRIPT_NAME: the new EFI system partition $esp_dev (partition $esp_number, FAT32) on disk $disk_arg took unallocated room behind $volume, which was not changed"
fi
exit 0
