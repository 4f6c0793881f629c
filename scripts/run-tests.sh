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
exit $status
