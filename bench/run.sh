#!/usr/bin/env bash
# Runs the benchmarks against ntfsclone and partclone and ends with one summary
# table. `make bench` calls it with the release build's stowline-cli.
#
# Usage: run.sh STOWLINE_CLI   (settings: see bench/lib.sh; BENCH_ONLY=backup
# or BENCH_ONLY=restore-copy runs one of the two)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -eq 1 ] || {
  echo "usage: $0 STOWLINE_CLI" >&2
  exit 2
}
cli=$(realpath "$1")

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
export BENCH_SUMMARY=$summary

status=0
only=${BENCH_ONLY:-}
if [ -z "$only" ] || [ "$only" = backup ]; then
  "$here/backup-vs-peers.sh" "$cli" || status=$?
  echo
fi
if [ -z "$only" ] || [ "$only" = restore-copy ]; then
  "$here/restore-copy-vs-peers.sh" "$cli" || status=$?
  echo
fi

echo "Summary (median seconds, ratio to ntfsclone, peak resident memory)"
awk -F'\t' '
  $1 != section { section = $1; printf "\n%s\n", section }
  { printf "  %-36s %9s %8s %10s\n", $2, $3 == "skipped" ? "skipped" : $3 " s", $4,
      $5 == "-" ? "-" : $5 " MiB" }
' "$summary"
exit "$status"
