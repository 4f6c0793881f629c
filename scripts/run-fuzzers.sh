#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for the given number of seconds each, one
# after another, starting from the committed seed corpus of each.
set -uo pipefail
build=${1:-build-fuzz}
seconds=${2:-300}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for fuzzer in "$build"/bin/*_fuzzer; do
  name=$(basename "$fuzzer")
  work=$(mktemp -d)
  seeds="$root/fuzz/corpus/$name"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null
  echo "== $name: $seconds s"
  if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/$name-" \
      "$work" 2>"$build/$name.log"; then
    echo "$name FAILED; see $build/$name.log"
    status=1
  fi
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|cov:' "$build/$name.log" | tail -3
  rm -rf "$work"
done
exit $status
