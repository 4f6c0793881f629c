#!/usr/bin/env bash
# Runs every test of a build through CTest, then checks that the integration
# tests really ran where this machine can run them.
set -uo pipefail
build=${1:-build}

cd "$build" || exit 1
ctest --output-on-failure -j "$(nproc)" --output-junit ctest-results.xml
status=$?
cd - >/dev/null || exit 1

python3 scripts/check-integration-ran.py "$build" || status=1

# The Windows build's tests under Wine, wherever Wine is installed; there they
# must run (the script fails on anything missing rather than skipping).
if command -v wine >/dev/null 2>&1; then
  make --no-print-directory test-windows BUILD="$build" WIN_BUILD="${WIN_BUILD:-build-windows}" ||
    status=1
else
  echo "Wine is not installed: the Windows build's tests did not run (scripts/install-deps.sh installs it)"
fi
exit $status
