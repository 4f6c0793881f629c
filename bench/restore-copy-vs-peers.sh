#!/usr/bin/env bash
# Restore and copy speed against the peers, in the same run and alternating
# rounds, each onto a fresh destination file of the fixture volume's size:
#   restore: stowline-cli restore (checking each chunk against the image's
#            checksum file, of the same image without that file, and with the
#            read-back of --verify), ntfsclone --restore-image, partclone.ntfs
#            -r (of a CRC32 image and of an -a0 image);
#   copy:    stowline-cli copy (and copy --verify), ntfsclone --overwrite,
#            partclone.ntfs -b;
# and cp of a plain file of the used size as the I/O floor. The images that
# the restores read are made once, untimed, before the rounds.
#
# Usage: restore-copy-vs-peers.sh STOWLINE_CLI   (settings: see bench/lib.sh)
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[ $# -eq 1 ] || bench_die "usage: $0 STOWLINE_CLI"
BENCH_CLI=$(realpath "$1")
[ -x "$BENCH_CLI" ] || bench_die "not an executable: $1"

BENCH_NAME=(
  [stowline_restore]="stowline-cli restore"
  [stowline_restore_nosums]="stowline-cli restore (no checksum file)"
  [stowline_restore_verify]="stowline-cli restore --verify"
  [ntfsclone_restore]="ntfsclone --restore-image"
  [partclone_restore]="partclone.ntfs -r (CRC32 image)"
  [partclone_restore_a0]="partclone.ntfs -r (-a0 image)"
  [stowline_copy]="stowline-cli copy"
  [stowline_copy_verify]="stowline-cli copy --verify"
  [ntfsclone_copy]="ntfsclone --overwrite"
  [partclone_copy]="partclone.ntfs -b"
  [cp_floor]="cp + fsync of used size (floor)"
)

INPUTS=
DEST=  # one path for every run: the cases name it in their commands before making it

# A fresh, sparse destination of the fixture's size, as a new partition file.
fresh_dest() {
  rm -f "$DEST"
  truncate -s "$BENCH_FIXTURE_BYTES" "$DEST"
}

make_inputs() {
  INPUTS=$BENCH_SCRATCH/inputs
  mkdir -p "$INPUTS"
  bench_say "Making the images to restore (untimed)"
  if [ -z "${BENCH_SKIP[stowline_restore]:-}" ] &&
    ! "$BENCH_CLI" backup "$BENCH_FIXTURE" "$INPUTS/stowline.img" --yes --quiet \
      >"$BENCH_SCRATCH/input-backup.log" 2>&1; then
    bench_skip stowline_restore "no image to restore: stowline-cli backup failed: \
$(tail -n 1 "$BENCH_SCRATCH/input-backup.log")"
  fi
  ntfsclone --quiet --save-image --output "$INPUTS/ntfsclone.img" "$BENCH_FIXTURE" >/dev/null 2>&1 ||
    bench_die "ntfsclone could not save the fixture"
  partclone.ntfs --quiet --clone --logfile "$BENCH_SCRATCH/partclone.log" \
    --source "$BENCH_FIXTURE" --output "$INPUTS/partclone.img" >/dev/null 2>&1 ||
    bench_die "partclone.ntfs could not save the fixture"
  partclone.ntfs --quiet --clone -a0 --logfile "$BENCH_SCRATCH/partclone.log" \
    --source "$BENCH_FIXTURE" --output "$INPUTS/partclone-a0.img" >/dev/null 2>&1 ||
    bench_die "partclone.ntfs -a0 could not save the fixture"
  # The same image without its checksum file: what a restore costs unchecked.
  mkdir -p "$INPUTS/nosums"
  [ -e "$INPUTS/stowline.img" ] && ln "$INPUTS/stowline.img" "$INPUTS/nosums/stowline.img"
  cat "$INPUTS"/*.img >/dev/null
}

# Checks a stowline destination once: ntfs-3g's own check must pass and the
# volume must hold as many files as the source.
check_dest() {
  local key=$1 count
  if ! ntfsfix -n "$DEST" >"$BENCH_SCRATCH/check.log" 2>&1; then
    BENCH_NOTE[$key]="ntfsfix -n refused the result: $(tail -n 1 "$BENCH_SCRATCH/check.log")"
    return
  fi
  count=$(bench_count_files "$DEST") || count="(not mountable)"
  if [ "$count" != "$BENCH_FILE_COUNT" ]; then
    BENCH_NOTE[$key]="the result holds $count files, the source $BENCH_FILE_COUNT"
  fi
}

stowline_case() {
  local key=$1 round=$2
  shift 2
  fresh_dest
  if ! bench_time "$key" "$DEST" "$BENCH_CLI" "$@" "$DEST" --yes --quiet; then
    bench_skip "$key" "failed: $(bench_last_words "$key")"
  elif [ "$round" -eq 1 ]; then
    check_dest "$key"
  fi
  rm -f "$DEST"
}

case_stowline_restore() { stowline_case stowline_restore "$1" restore "$INPUTS/stowline.img"; }
case_stowline_restore_nosums() {
  stowline_case stowline_restore_nosums "$1" restore "$INPUTS/nosums/stowline.img"
}
case_stowline_restore_verify() {
  stowline_case stowline_restore_verify "$1" restore --verify "$INPUTS/stowline.img"
}
case_stowline_copy() { stowline_case stowline_copy "$1" copy "$BENCH_FIXTURE"; }
case_stowline_copy_verify() { stowline_case stowline_copy_verify "$1" copy --verify "$BENCH_FIXTURE"; }

peer_case() {
  local key=$1
  shift
  fresh_dest
  bench_time "$key" "$DEST" "$@" || bench_skip "$key" "failed: $(bench_last_words "$key")"
  rm -f "$DEST"
}

case_ntfsclone_restore() {
  peer_case ntfsclone_restore ntfsclone --quiet --restore-image --overwrite "$DEST" \
    "$INPUTS/ntfsclone.img"
}
case_partclone_restore() {
  peer_case partclone_restore partclone.ntfs --quiet --restore \
    --logfile "$BENCH_SCRATCH/partclone.log" --source "$INPUTS/partclone.img" --overwrite "$DEST"
}
case_partclone_restore_a0() {
  peer_case partclone_restore_a0 partclone.ntfs --quiet --restore \
    --logfile "$BENCH_SCRATCH/partclone.log" --source "$INPUTS/partclone-a0.img" --overwrite "$DEST"
}
case_ntfsclone_copy() { peer_case ntfsclone_copy ntfsclone --quiet --overwrite "$DEST" "$BENCH_FIXTURE"; }
case_partclone_copy() {
  peer_case partclone_copy partclone.ntfs --quiet --dev-to-dev \
    --logfile "$BENCH_SCRATCH/partclone.log" --source "$BENCH_FIXTURE" --overwrite "$DEST"
}

case_cp_floor() {
  local out=$BENCH_SCRATCH/floor
  rm -f "$out"
  bench_time cp_floor "$out" cp --reflink=never "$BENCH_FLOOR_FILE" "$out" ||
    bench_skip cp_floor "failed: $(bench_last_words cp_floor)"
  rm -f "$out"
}

bench_init
DEST=$BENCH_SCRATCH/dest.img
bench_fixture
bench_say "Restore and copy benchmark: $(bench_fixture_text); $BENCH_ROUNDS rounds"
bench_cli_has restore || bench_skip stowline_restore "stowline-cli has no restore command yet"
bench_cli_has copy || bench_skip stowline_copy "stowline-cli has no copy command yet"
make_inputs
bench_warm_cache
bench_rounds stowline_restore stowline_restore_nosums stowline_restore_verify ntfsclone_restore \
  partclone_restore partclone_restore_a0 stowline_copy stowline_copy_verify ntfsclone_copy \
  partclone_copy cp_floor
bench_report "Restore of the image of a $(bench_fixture_text) onto a file of its size" \
  ntfsclone_restore stowline_restore stowline_restore_nosums stowline_restore_verify \
  ntfsclone_restore partclone_restore partclone_restore_a0 cp_floor
bench_report "Copy of a $(bench_fixture_text) onto a file of its size" ntfsclone_copy \
  stowline_copy stowline_copy_verify ntfsclone_copy partclone_copy cp_floor
