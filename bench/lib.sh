# shellcheck shell=bash
# Shared pieces of the benchmarks: settings, the cached NTFS fixture volume,
# mounts that never outlive the script, timed runs in alternating rounds,
# medians and the result tables. Sourced by the bench/*.sh scripts.
#
# Settings (environment):
#   BENCH_DIR           cache of fixtures and scratch space (default /var/tmp/stowline-bench)
#   BENCH_ROUNDS        timed rounds per tool (default 5)
#   BENCH_VOLUME_SIZE   size of the fixture volume (default 4G)
#   BENCH_SMALL_FILES   number of small files on it (default 20000)
#   BENCH_FILL_PERCENT  share of the volume in use (default 50)
#   BENCH_SUMMARY       file that collects one line per measured tool (optional)

BENCH_DIR=${BENCH_DIR:-/var/tmp/stowline-bench}
BENCH_ROUNDS=${BENCH_ROUNDS:-5}
BENCH_VOLUME_SIZE=${BENCH_VOLUME_SIZE:-4G}
BENCH_SMALL_FILES=${BENCH_SMALL_FILES:-20000}
BENCH_FILL_PERCENT=${BENCH_FILL_PERCENT:-50}
BENCH_SUMMARY=${BENCH_SUMMARY:-}

# Bump when the fixture's recipe changes, so that cached volumes are rebuilt.
BENCH_FIXTURE_RECIPE=1
BENCH_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

declare -A BENCH_NAME=()    # key -> name shown in the tables
declare -A BENCH_SKIP=()    # key -> why it is not measured (any more)
declare -A BENCH_NOTE=()    # key -> remark shown under the table
BENCH_MOUNTS=()             # mount points to release on exit
BENCH_SCRATCH=
BENCH_RESULTS=

bench_say() { printf '%s\n' "$*"; }
bench_die() {
  printf 'bench: %s\n' "$*" >&2
  exit 1
}

# ---------------------------------------------------------------------------
# Set-up and clean-up

bench_require_tools() {
  [ "$(id -u)" -eq 0 ] || bench_die "needs root (NTFS mounts through FUSE)"
  local tool
  for tool in /usr/bin/time mkntfs ntfs-3g ntfsclone ntfsfix partclone.ntfs python3 flock; do
    command -v "$tool" >/dev/null || bench_die "missing $tool (run scripts/install-deps.sh)"
  done
  [ -e /dev/fuse ] || bench_die "no /dev/fuse: ntfs-3g cannot mount"
}

# Creates the scratch folder and arms the clean-up; call once per script.
bench_init() {
  bench_require_tools
  mkdir -p "$BENCH_DIR"
  BENCH_SCRATCH=$(mktemp -d "$BENCH_DIR/scratch.XXXXXX")
  BENCH_RESULTS=$BENCH_SCRATCH/results
  mkdir -p "$BENCH_RESULTS"
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

bench_cleanup() {
  local m
  for m in "${BENCH_MOUNTS[@]}"; do
    bench_unmount "$m"
  done
  [ -n "$BENCH_SCRATCH" ] && rm -rf "$BENCH_SCRATCH"
}

# Mounts an NTFS volume (a file) with ntfs-3g; extra ntfs-3g options may follow.
bench_mount() {
  local volume=$1 dir=$2 opts=${3:-rw}
  mkdir -p "$dir"
  ntfs-3g -o "$opts,big_writes" "$volume" "$dir" || return 1
  BENCH_MOUNTS+=("$dir")
}

# On a regular file ntfs-3g is a plain FUSE mount and umount returns before
# the driver has written its last changes: wait for the driver to exit.
bench_unmount() {
  local dir=$1 i
  mountpoint -q "$dir" || return 0
  for i in $(seq 1 50); do
    umount "$dir" 2>/dev/null && break
    sleep 0.2
  done
  mountpoint -q "$dir" && umount -l "$dir"
  for i in $(seq 1 200); do
    pgrep -f -- "ntfs-3g .* $dir\$" >/dev/null || break
    sleep 0.05
  done
  local kept=()
  for i in "${BENCH_MOUNTS[@]}"; do
    [ "$i" = "$dir" ] || kept+=("$i")
  done
  BENCH_MOUNTS=("${kept[@]}")
}

# ---------------------------------------------------------------------------
# The fixture: an NTFS volume filled to about half with large files, many
# small files, fragmented files, and stale random data in its free space.
# Sets BENCH_FIXTURE, BENCH_FIXTURE_BYTES, BENCH_USED_BYTES, BENCH_FILE_COUNT
# and BENCH_FLOOR_FILE (a plain file of the used size, for the cp floor).

bench_fixture() {
  local name="ntfs-${BENCH_VOLUME_SIZE}-${BENCH_SMALL_FILES}-${BENCH_FILL_PERCENT}-r${BENCH_FIXTURE_RECIPE}"
  BENCH_FIXTURE=$BENCH_DIR/$name.img
  BENCH_FLOOR_FILE=$BENCH_DIR/$name.floor
  local meta=$BENCH_DIR/$name.meta
  exec 9>"$BENCH_DIR/.fixture.lock"
  flock 9
  if [ ! -f "$meta" ] || [ ! -f "$BENCH_FIXTURE" ] || [ ! -f "$BENCH_FLOOR_FILE" ]; then
    bench_build_fixture "$meta" || bench_die "the fixture volume could not be built"
  else
    bench_say "Fixture: reusing $BENCH_FIXTURE"
  fi
  flock -u 9
  # shellcheck disable=SC1090
  . "$meta"
  # shellcheck disable=SC2034 # used by the scripts that source this file
  BENCH_FIXTURE_BYTES=$(stat -c %s "$BENCH_FIXTURE")
}

bench_build_fixture() {
  local meta=$1 partial=$BENCH_FIXTURE.partial mnt=$BENCH_SCRATCH/fixture-mnt
  bench_say "Fixture: building $BENCH_FIXTURE (takes minutes, done once)"
  rm -f "$partial" "$meta" "$BENCH_FLOOR_FILE"
  truncate -s "$BENCH_VOLUME_SIZE" "$partial"
  mkntfs --quiet --fast --force --label BENCH "$partial" >/dev/null 2>&1 || return 1
  bench_mount "$partial" "$mnt" || return 1
  if ! python3 "$BENCH_LIB_DIR/fill-volume.py" "$mnt" --small "$BENCH_SMALL_FILES" \
    --fill-percent "$BENCH_FILL_PERCENT" | sed 's/^/  /'; then
    bench_unmount "$mnt"
    return 1
  fi
  local used files
  used=$(df -B1 --output=used "$mnt" | tail -n 1 | tr -d ' ')
  files=$(find "$mnt" -type f | wc -l)
  bench_unmount "$mnt"
  # A volume the peers refuse (dirty, needing a check) would measure nothing.
  ntfsfix -n "$partial" >/dev/null 2>&1 || return 1
  bench_say "  writing the cp floor file ($((used / 1048576)) MiB)"
  head -c "$used" /dev/urandom >"$BENCH_FLOOR_FILE.partial" || return 1
  mv "$BENCH_FLOOR_FILE.partial" "$BENCH_FLOOR_FILE"
  mv "$partial" "$BENCH_FIXTURE"
  printf 'BENCH_USED_BYTES=%s\nBENCH_FILE_COUNT=%s\n' "$used" "$files" >"$meta"
}

# Reads the fixture and the floor file once, so that every round starts warm.
bench_warm_cache() {
  cat "$BENCH_FIXTURE" "$BENCH_FLOOR_FILE" >/dev/null
}

# Counts the files on an NTFS volume through ntfs-3g (read-only).
bench_count_files() {
  local volume=$1 mnt=$BENCH_SCRATCH/count-mnt count
  bench_mount "$volume" "$mnt" ro || return 1
  count=$(find "$mnt" -type f | wc -l)
  bench_unmount "$mnt"
  printf '%s\n' "$count"
}

# ---------------------------------------------------------------------------
# Timed runs

# bench_time KEY OUTPUT COMMAND...
# Runs COMMAND under GNU time, then fsyncs OUTPUT, so that every tool pays for
# getting its data to the disk. Records the wall time (command plus fsync) and
# the peak resident set; the command's output goes to KEY.log. Returns the
# command's exit status.
bench_time() {
  local key=$1 out=$2
  shift 2
  local tv=$BENCH_RESULTS/$key.time status=0 t0 t1
  # Untimed: whatever the previous run (or anything else on the machine) left
  # dirty would otherwise be written back during this run and its fsync.
  sync
  t0=$(date +%s%N)
  /usr/bin/time -v -o "$tv" "$@" >"$BENCH_RESULTS/$key.log" 2>&1 || status=$?
  [ "$status" -eq 0 ] && [ -e "$out" ] && sync "$out"
  t1=$(date +%s%N)
  if [ "$status" -eq 0 ]; then
    echo "$(((t1 - t0) / 1000000))" >>"$BENCH_RESULTS/$key.ms"
    awk -F': ' '/Maximum resident set size/ {print $2}' "$tv" >>"$BENCH_RESULTS/$key.rss"
    if [ ! -f "$BENCH_RESULTS/$key.written" ] && [ -e "$out" ]; then
      # Allocated bytes, not the apparent size: sparse outputs wrote less.
      echo $(($(stat -c '%b * %B' "$out"))) >"$BENCH_RESULTS/$key.written"
    fi
  fi
  return "$status"
}

# Marks KEY as not measured from now on.
bench_skip() {
  BENCH_SKIP[$1]=$2
  bench_say "  skipped: ${BENCH_NAME[$1]}: $2"
}

# The last line a failed command printed, for the skip reason.
bench_last_words() {
  local log=$BENCH_RESULTS/$1.log
  [ -s "$log" ] && grep -v '^[[:space:]]*$' "$log" | tail -n 1 | cut -c1-160
}

# bench_rounds CASE... : each CASE names a function case_<CASE> that takes the
# round number, times one run through bench_time and removes its output. The
# order changes from round to round, and with it which tool runs right after
# which: a run finds the page cache, the freed memory and the write-back as
# the one before left them, and a fixed neighbour would favour or burden the
# same tool in every round. Round r starts at case r-1 and walks the list in
# steps of s_r, the step taking in turn every value coprime with the number of
# cases (1, 2, 3, ... for seven), so that each pair of neighbours changes.
bench_order() {
  local n=$1 round=$2 steps=() s a b t
  for s in $(seq 1 $((n > 1 ? n - 1 : 1))); do
    a=$n b=$s
    while [ "$b" -ne 0 ]; do
      t=$((a % b))
      a=$b
      b=$t
    done
    [ "$a" -eq 1 ] && steps+=("$s")
  done
  s=${steps[$(((round - 1) % ${#steps[@]}))]}
  local i
  for i in $(seq 0 $((n - 1))); do
    printf '%s\n' $((((round - 1) + i * s) % n))
  done
}

bench_rounds() {
  local cases=("$@") round i
  local n=${#cases[@]}
  for round in $(seq 1 "$BENCH_ROUNDS"); do
    printf 'Round %d/%d:' "$round" "$BENCH_ROUNDS"
    for i in $(bench_order "$n" "$round"); do
      local c=${cases[$i]}
      [ -n "${BENCH_SKIP[$c]:-}" ] && continue
      "case_$c" "$round"
      local last
      last=$(tail -n 1 "$BENCH_RESULTS/$c.ms" 2>/dev/null || true)
      [ -n "${BENCH_SKIP[$c]:-}" ] || printf ' %s %s s' "$c" "$(bench_seconds "$last")"
    done
    printf '\n'
  done
}

bench_seconds() { awk -v ms="${1:-0}" 'BEGIN { printf "%.2f", ms / 1000 }'; }

# Median of the numbers in a file, one a line.
bench_median() {
  sort -g "$1" | awk '{ v[NR] = $1 } END {
    if (NR == 0) exit 1
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

bench_max() { sort -g "$1" | tail -n 1; }

# bench_report SECTION BASELINE KEY... : the table of medians, ratios to the
# baseline, peak memory and bytes written; one line per key also goes to
# BENCH_SUMMARY as "section<TAB>name<TAB>median s<TAB>ratio<TAB>peak MiB".
bench_report() {
  local section=$1 base=$2
  shift 2
  local base_ms=
  [ -s "$BENCH_RESULTS/$base.ms" ] && base_ms=$(bench_median "$BENCH_RESULTS/$base.ms")
  printf '\n%s\n' "$section"
  printf '%-36s %9s %8s %8s %11s %9s %11s\n' "tool" "median s" "min s" "max s" \
    "vs ${BENCH_NAME[$base]%% *}" "peak MiB" "written MiB"
  local key
  for key in "$@"; do
    local name=${BENCH_NAME[$key]} ms=$BENCH_RESULTS/$key.ms
    if [ ! -s "$ms" ] || [ -n "${BENCH_SKIP[$key]:-}" ]; then
      printf '%-36s skipped: %s\n' "$name" "${BENCH_SKIP[$key]:-no successful run}"
      [ -n "$BENCH_SUMMARY" ] && printf '%s\t%s\tskipped\t-\t-\n' "$section" "$name" >>"$BENCH_SUMMARY"
      continue
    fi
    local med min max ratio rss written
    med=$(bench_median "$ms")
    min=$(sort -g "$ms" | head -n 1)
    max=$(bench_max "$ms")
    ratio=-
    [ -n "$base_ms" ] && ratio=$(awk -v a="$med" -v b="$base_ms" 'BEGIN { printf "%.2fx", a / b }')
    rss=$(awk -v k="$(bench_max "$BENCH_RESULTS/$key.rss")" 'BEGIN { printf "%.1f", k / 1024 }')
    written=-
    [ -f "$BENCH_RESULTS/$key.written" ] &&
      written=$(awk -v b="$(cat "$BENCH_RESULTS/$key.written")" 'BEGIN { printf "%.0f", b / 1048576 }')
    printf '%-36s %9s %8s %8s %11s %9s %11s\n' "$name" "$(bench_seconds "$med")" \
      "$(bench_seconds "$min")" "$(bench_seconds "$max")" "$ratio" "$rss" "$written"
    [ -n "$BENCH_SUMMARY" ] && printf '%s\t%s\t%s\t%s\t%s\n' "$section" "$name" \
      "$(bench_seconds "$med")" "$ratio" "$rss" >>"$BENCH_SUMMARY"
  done
  for key in "$@"; do
    [ -n "${BENCH_NOTE[$key]:-}" ] && printf '  note: %s: %s\n' "${BENCH_NAME[$key]}" "${BENCH_NOTE[$key]}"
  done
  printf '(%d rounds, warm cache; times include an fsync of the output; load average now %s)\n' \
    "$BENCH_ROUNDS" "$(cut -d' ' -f1-3 /proc/loadavg)"
}

# The fixture's description for the table titles.
bench_fixture_text() {
  printf '%s NTFS volume, %s MiB in use, %s files' "$BENCH_VOLUME_SIZE" \
    "$((BENCH_USED_BYTES / 1048576))" "$BENCH_FILE_COUNT"
}

# Whether stowline-cli has COMMAND (its --help succeeds).
bench_cli_has() {
  "$BENCH_CLI" "$1" --help >/dev/null 2>&1
}
