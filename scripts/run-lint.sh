#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the project's own sources,
# using the compile database of a configured build folder. Prints every finding
# once (a finding in a header shows up in each file that includes it) and exits
# 1 when there is any, or when clang-tidy could not check a file.
#   scripts/run-lint.sh [BUILD] [FILES]
# BUILD defaults to build-lint. FILES is an extended regular expression over the
# paths relative to the top folder (default: every source of the layers), e.g.
# 'engine/disk/' to check only the files whose path starts so.
set -uo pipefail
build=${1:-build-lint}
layers='support|platform|engine|discovery|tasks|bootrepair|rescue|cli|ui'
files=${2:-($layers)/}
jobs=${LINT_JOBS:-2}
root=$(cd "$(dirname "$0")/.." && pwd)

if [ ! -f "$build/compile_commands.json" ]; then
  echo "lint: $build/compile_commands.json is missing; configure $build with CMake first" >&2
  exit 2
fi
tidy=$(command -v run-clang-tidy-14 || command -v run-clang-tidy) || {
  echo "lint: run-clang-tidy is not installed; run scripts/install-deps.sh" >&2
  exit 2
}

# The window's sources include what Qt's code generators write (forms, meta
# objects, resources): generate them, without building anything else.
for target in stowline_qt_autogen stowline_autogen; do
  if ninja -C "$build" -t targets all 2>/dev/null | grep "^$target:" >/dev/null; then
    cmake --build "$build" --target "$target" >/dev/null || {
      echo "lint: the generated sources of $target could not be made" >&2
      exit 2
    }
  fi
done

# The top folder as a regular expression: its path may hold '.', '+' and the like.
rootRe=$(printf '%s' "$root" | sed 's/[][\.*^$()+?{}|]/\\&/g')
log="$build/clang-tidy.log"
"$tidy" -p "$build" -j "$jobs" -quiet \
  -header-filter="^$rootRe/($layers)/" "^$rootRe/$files" >"$log" 2>&1
status=$?
# run-clang-tidy asks for colours; the log is read by people and grep.
sed -i 's/\x1b\[[0-9;]*m//g' "$log"

findings=$(grep -E '^/.*:[0-9]+:[0-9]+: (warning|error): ' "$log" | sed "s#^$root/##" | sort -u)
checked=$(grep -c '^clang-tidy.* -p=' "$log")
if [ -n "$findings" ]; then
  printf '%s\n' "$findings"
  echo "lint: $(printf '%s\n' "$findings" | wc -l) finding(s) in $checked file(s) checked;" \
    "the full output is in $log"
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "lint: clang-tidy failed on some file; see $log" >&2
  exit 1
fi
if [ "$checked" -eq 0 ]; then
  echo "lint: no file matched '$files'" >&2
  exit 2
fi
echo "lint: no findings in $checked file(s)"
