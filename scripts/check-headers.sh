#!/usr/bin/env bash
# Checks that every header of the layers compiles alone: builds the
# header-check target (cmake/HeaderCheck.cmake) of a configured build folder,
# going on past failures so that every faulty header is named at once. Prints
# the headers that do not compile alone with the compiler's first error of
# each, and exits 1 when there is any.
#   scripts/check-headers.sh [BUILD]
# BUILD defaults to build-lint; it must have been configured with CMake and
# the Ninja generator.
set -uo pipefail
build=${1:-build-lint}
jobs=${LINT_JOBS:-2}

if [ ! -f "$build/build.ninja" ]; then
  echo "header check: $build is not a configured Ninja build; configure it with" \
    "cmake -G Ninja first" >&2
  exit 2
fi
if ! ninja -C "$build" -t targets all 2>/dev/null | grep '^header-check:' >/dev/null; then
  echo "header check: $build has no header-check target; configure it again with" \
    "this source tree" >&2
  exit 2
fi

log="$build/header-check.log"
cmake --build "$build" --target header-check -j "$jobs" -- -k 0 >"$log" 2>&1
status=$?
if [ "$status" -eq 0 ]; then
  count=$(find "$build/header-check" -name '*.cpp' | wc -l)
  echo "header check: all $count header(s) compile alone"
  exit 0
fi

failed=$(grep -oE '^FAILED: .*/header-check/.*\.cpp\.o' "$log" |
  sed -E 's#^FAILED: .*/header-check/(.*)\.cpp\.o$#\1.h#' | sort -u)
if [ -z "$failed" ]; then
  echo "header check: the build of header-check failed before any header was compiled;" \
    "see $log" >&2
  exit 1
fi
for header in $failed; do
  first=$(grep -m1 -E "error: " <(awk -v h="/header-check/${header%.h}.cpp.o" \
    'index($0, "FAILED: ") == 1 { on = index($0, h) > 0 } on' "$log"))
  echo "$header: does not compile alone: ${first:-see the log}"
done
echo "header check: $(printf '%s\n' "$failed" | wc -l) header(s) do not compile alone: add the" \
  "includes (or forward declarations) of what they use; the full output is in $log"
exit 1
