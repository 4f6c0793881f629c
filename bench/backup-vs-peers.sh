#!/usr/bin/env bash
# Backup speed against the peers, in the same run and alternating rounds:
# stowline-cli backup (with its checksum file, without it, and with the
# read-back of --verify), ntfsclone --save-image, partclone.ntfs -c with and
# without checksums, and cp of a plain file of the volume's used size (the
# I/O floor). Prints medians, the ratio of each to ntfsclone and peak memory.
#
# Usage: backup-vs-peers.sh STOWLINE_CLI   (settings: see bench/lib.sh)
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[ $# -eq 1 ] || bench_die "usage: $0 STOWLINE_CLI"
BENCH_CLI=$(realpath "$1")
[ -x "$BENCH_CLI" ] || bench_die "not an executable: $1"

BENCH_NAME=(
  [stowline]="stowline-cli backup"
  [stowline_nosums]="stowline-cli backup --no-checksums"
  [stowline_verify]="stowline-cli backup --verify"
  [ntfsclone]="ntfsclone --save-image"
  [partclone]="partclone.ntfs -c (CRC32)"
  [partclone_a0]="partclone.ntfs -c -a0"
  [cp_floor]="cp + fsync of used size (floor)"
)

# Each case writes into a fresh folder of the scratch space and leaves nothing.
out_dir() {
  local d=$BENCH_SCRATCH/out
  rm -rf "$d"
  mkdir -p "$d"
  printf '%s\n' "$d"
}

stowline_case() {
  local key=$1 round=$2 d
  shift 2
  d=$(out_dir)
  if ! bench_time "$key" "$d/backup.img" "$BENCH_CLI" backup "$BENCH_FIXTURE" "$d/backup.img" \
    --yes --quiet "$@"; then
    bench_skip "$key" "failed: $(bench_last_words "$key")"
  elif [ "$round" -eq 1 ] && ! "$BENCH_CLI" inspect "$d/backup.img" --verify \
    >"$BENCH_SCRATCH/inspect.log" 2>&1; then
    BENCH_NOTE[$key]="stowline-cli inspect --verify refused the image: $(tail -n 1 "$BENCH_SCRATCH/inspect.log")"
  fi
  rm -rf "$d"
}

case_stowline() { stowline_case stowline "$1"; }
case_stowline_nosums() { stowline_case stowline_nosums "$1" --no-checksums; }
case_stowline_verify() { stowline_case stowline_verify "$1" --verify; }

case_ntfsclone() {
  local d
  d=$(out_dir)
  bench_time ntfsclone "$d/ntfsclone.img" ntfsclone --quiet --save-image \
    --output "$d/ntfsclone.img" "$BENCH_FIXTURE" ||
    bench_skip ntfsclone "failed: $(bench_last_words ntfsclone)"
  rm -rf "$d"
}

partclone_case() {
  local key=$1 d
  shift
  d=$(out_dir)
  bench_time "$key" "$d/partclone.img" partclone.ntfs --quiet --clone "$@" \
    --logfile "$BENCH_SCRATCH/partclone.log" --source "$BENCH_FIXTURE" \
    --output "$d/partclone.img" || bench_skip "$key" "failed: $(bench_last_words "$key")"
  rm -rf "$d"
}

case_partclone() { partclone_case partclone; }
case_partclone_a0() { partclone_case partclone_a0 -a0; }

case_cp_floor() {
  local d
  d=$(out_dir)
  bench_time cp_floor "$d/floor" cp --reflink=never "$BENCH_FLOOR_FILE" "$d/floor" ||
    bench_skip cp_floor "failed: $(bench_last_words cp_floor)"
  rm -rf "$d"
}

bench_init
bench_fixture
bench_say "Backup benchmark: $(bench_fixture_text); $BENCH_ROUNDS rounds"
bench_cli_has backup || bench_skip stowline "stowline-cli has no backup command"
bench_warm_cache
bench_rounds stowline stowline_nosums stowline_verify ntfsclone partclone partclone_a0 cp_floor
bench_report "Backup of a $(bench_fixture_text) into an image file" ntfsclone \
  stowline stowline_nosums stowline_verify ntfsclone partclone partclone_a0 cp_floor
