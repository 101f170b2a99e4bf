#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test under Wine and leaves
# no Wine server or display behind. Extra arguments go to ctest (for example -R text_test).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
started=$SECONDS

"$root/scripts/build.sh"
# CTest's cleanup fixture stops the harness; this catches an interrupted run as well.
trap '"$root/tests/harness/harness" "$build/wine" stop >/dev/null 2>&1 || true' EXIT

status=0
ctest --test-dir "$build" -j2 --output-on-failure "$@" || status=$?
echo "test.sh: finished in $((SECONDS - started)) s (build and tests)"
exit $status
