#!/usr/bin/env bash
# Fuzzes the package parser natively: builds it with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, writes a seed corpus of valid packages and fuzzes for a while.
#
#   tests/fuzz/run.sh [seconds]       default 60
#
# Exits non-zero when the build fails or the fuzzer finds a crash, a sanitizer report, a leak or a
# refusal that is not one of the parser's messages; the input that did it is kept in
# <work>/artifacts/. Environment:
#   QM_FUZZ_DIR   work folder for the programs, corpus and artifacts (default: <repo>/build-fuzz)
#   QM_FUZZ_RUNS  stop after this many executions instead of after the given seconds
#   QM_FUZZ_JOBS  parallel fuzzing processes (default 1; the machine may be shared)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-60}
work=${QM_FUZZ_DIR:-$root/build-fuzz}
jobs=${QM_FUZZ_JOBS:-1}
mkdir -p "$work/corpus" "$work/artifacts"

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -I"$root" -Wall -Wextra -Werror)
clang++ "${flags[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    "$here/parser_fuzz.cpp" "$root/package/parser.cpp" "$root/package/names.cpp" -o "$work/parser_fuzz"
clang++ "${flags[@]}" "$here/make_seeds.cpp" -o "$work/make_seeds"
rm -rf "$work/seeds"
"$work/make_seeds" "$work/seeds"

limit=(-max_total_time="$seconds")
[ -n "${QM_FUZZ_RUNS:-}" ] && limit=(-runs="$QM_FUZZ_RUNS")
if [ "$jobs" -gt 1 ]; then
    limit+=(-jobs="$jobs" -workers="$jobs")
fi
# New finds go to corpus/ and are kept for the next run; seeds/ is read only.
cd "$work"
exec "$work/parser_fuzz" "${limit[@]}" -max_len=4096 -timeout=10 -print_final_stats=1 \
    -dict="$here/package.dict" -artifact_prefix="$work/artifacts/" "$work/corpus" "$work/seeds"
