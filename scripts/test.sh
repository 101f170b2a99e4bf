#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test under Wine, leaves no
# Wine server or display behind, then fuzzes the package parser natively for a minute
# (QM_FUZZ_SECONDS). Extra arguments go to ctest (for example -R text_test) and skip the fuzzing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
started=$SECONDS

"$root/scripts/build.sh"
# CTest's cleanup fixture stops the harness; this catches an interrupted run as well.
trap '"$root/tests/harness/harness" "$build/wine" stop >/dev/null 2>&1 || true' EXIT

status=0
ctest --test-dir "$build" -j2 --output-on-failure "$@" || status=$?

if [ $# -eq 0 ]; then
    seconds=${QM_FUZZ_SECONDS:-60}
    echo "test.sh: fuzzing the package parser for $seconds s"
    if QM_FUZZ_DIR="$build/fuzz" "$root/tests/fuzz/run.sh" "$seconds" >"$build/fuzz.log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$build/fuzz.log" | sed 's/^/  /'
    else
        tail -n 40 "$build/fuzz.log"
        echo "test.sh: the fuzzer failed (log: $build/fuzz.log)"
        status=1
    fi
fi
echo "test.sh: finished in $((SECONDS - started)) s"
exit $status
