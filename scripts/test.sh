#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the wizard signed and time-stamped as a
# release is (with throw-away certificates), runs every test under Wine, leaves no Wine server or
# display behind, then fuzzes the package parser natively for a minute (QM_FUZZ_SECONDS). Extra
# arguments go to ctest (for example -R text_test) and skip the fuzzing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
started=$SECONDS

"$root/scripts/install-deps.sh"

authority_pid=""
finish() {
    [ -z "$authority_pid" ] || kill "$authority_pid" 2>/dev/null || true
    # CTest's cleanup fixture stops the harness; this catches an interrupted run as well.
    "$root/tests/harness/harness" "$build/wine" stop >/dev/null 2>&1 || true
    # This run's time-stamping authority is gone: a later plain "cmake --build" builds the
    # wizard unsigned again rather than failing to sign it.
    [ ! -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -DQM_SIGNING_PKCS12= \
        -DQM_SIGNING_PASSWORD_FILE= -DQM_SIGNING_TIMESTAMP_URL= >/dev/null 2>&1 || true
}
trap finish EXIT

# The wizard is built signed and time-stamped as a release is: with throw-away certificates (kept
# from run to run while they are valid, so that an unchanged wizard is not linked and signed
# again) and a time-stamping authority on the loopback address that lives as long as the build.
signing=$build/test-signing
"$root/tests/signing/make-certificates.sh" "$signing"
exec {authority}< <(exec python3 "$root/tests/signing/tsa.py" "$signing" 2>"$signing/tsa.log")
authority_pid=$!
read -r -t 30 timestamp_url <&$authority || { echo "test.sh: no time-stamping authority"; cat "$signing/tsa.log"; exit 1; }
QM_SIGNING_PKCS12=$signing/signer.p12 QM_SIGNING_PASSWORD_FILE=$signing/password \
    QM_SIGNING_TIMESTAMP_URL=$timestamp_url "$root/scripts/build.sh"
kill "$authority_pid"
authority_pid=""
exec {authority}<&-

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
