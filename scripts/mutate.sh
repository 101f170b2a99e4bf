#!/usr/bin/env bash
# Mutation check: do the tests notice when the product breaks? Applies the mutations of
# tests/mutations.tsv one at a time to a scratch copy of this tree, rebuilds what the named tests
# need, runs exactly those tests and restores the file, whatever happens. A mutation is caught when
# one of its tests fails. The tree this script was started from is only read.
#
#   scripts/mutate.sh [--skip-baseline] [FILTER]
#
# FILTER is an extended regular expression matched against each row's id and file
# ("health" or "^windows/" or "service-0[12]"). Settings from the environment:
#   QM_MUTATE_DIR   scratch folder (default /var/tmp/qm-mutate-<hash of this tree's path>); its
#                   copy of the tree and its build folder are kept, so later runs build incrementally
#   QM_MUTATE_JOBS  tests run in parallel (default 2)
#   QM_MUTATIONS    the list (default tests/mutations.tsv)
#
# The list is tab-separated: id, file, original, replacement, tests (a ctest regular expression;
# the programs it names are rebuilt), behaviour (what a user or Windows would notice). The
# original text must occur exactly once in the file. In both texts "⏎" stands for a line break.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=${QM_MUTATIONS:-$root/tests/mutations.tsv}
scratch=${QM_MUTATE_DIR:-/var/tmp/qm-mutate-$(printf '%s' "$root" | md5sum | cut -c1-12)}
jobs=${QM_MUTATE_JOBS:-2}
source_copy=$scratch/src
build=$scratch/build
logs=$scratch/logs

baseline=1
filter=""
for argument in "$@"; do
    case $argument in
    --skip-baseline) baseline=0 ;;
    -h | --help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) filter=$argument ;;
    esac
done

# Mirrors the files that git would commit from the working tree (tracked and new, not ignored).
# Only changed files are copied, and copies get a new time, so the scratch build sees exactly
# what changed; a file that was mutated and restored keeps its newer time and is rebuilt.
sync_tree() {
    mkdir -p "$source_copy"
    local wanted=$scratch/files
    git -C "$root" ls-files --cached --others --exclude-standard | sort -u >"$wanted"
    local file
    while IFS= read -r file; do
        [ -f "$root/$file" ] || continue # deleted in the working tree
        if ! cmp -s "$root/$file" "$source_copy/$file"; then
            mkdir -p "$(dirname "$source_copy/$file")"
            cp "$root/$file" "$source_copy/$file"
        fi
    done <"$wanted"
    (cd "$source_copy" && find . -type f | sed 's|^\./||' | sort) | comm -23 - "$wanted" |
        while IFS= read -r file; do rm -f "$source_copy/$file"; done
}

# The rows of the list that the filter selects, one per line, fields separated by tabs.
selected_rows() {
    local line id file
    while IFS= read -r line || [ -n "$line" ]; do
        case $line in '' | '#'* | id$'\t'*) continue ;; esac
        id=${line%%$'\t'*}
        file=${line#*$'\t'}
        file=${file%%$'\t'*}
        [ -z "$filter" ] || [[ "$id $file" =~ $filter ]] || continue
        printf '%s\n' "$line"
    done <"$list"
}

# The test programs (CTest names start with "<program>.") that a test expression selects.
programs_of() {
    ctest --test-dir "$build" -N -R "$1" | sed -n 's/^ *Test *#[0-9]*: \([^.]*\)\..*/\1/p' | grep -v '^harness$' |
        sort -u
}

# Runs the tests of an expression; true when they all pass. The output goes to the log.
run_tests() {
    ctest --test-dir "$build" -j"$jobs" --output-on-failure -R "$1" >"$2" 2>&1
}

# Names of the tests that ran and failed, from a ctest log; the harness's own fixtures, and tests
# that did not run because a fixture failed, are left out.
failed_tests() {
    sed -n '/The following tests FAILED:/,$ { /(Not Run/d; s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p; }' "$1" |
        grep -v '^harness\.' || true
}

# Splits a row at its tabs into the array fields, keeping empty fields.
split_row() {
    local rest=$1
    fields=()
    while [[ $rest == *$'\t'* ]]; do
        fields+=("${rest%%$'\t'*}")
        rest=${rest#*$'\t'}
    done
    fields+=("$rest")
}

# Replaces the one occurrence of original in file. Returns 3 when it is missing, 4 when it occurs
# more than once; the file is then unchanged.
apply_mutation() {
    local LC_ALL=C file=$1 original=$2 replacement=$3 content rest
    IFS= read -r -d '' content <"$file" || true
    rest=${content#*"$original"}
    [ "$rest" != "$content" ] || return 3
    [[ $rest != *"$original"* ]] || return 4
    printf '%s' "${content%%"$original"*}$replacement$rest" >"$file"
}

pending="" # the scratch file that holds a mutation right now
restore() {
    if [ -n "$pending" ]; then
        cp "$scratch/original" "$pending" # a plain copy: a new time, so the next build recompiles it
        pending=""
    fi
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

# The verdict on the mutated scratch tree: rebuilds the test programs that the expression names
# and runs those tests.
judge() {
    local tests=$1 log=$2 programs
    mapfile -t programs < <(programs_of "$tests")
    if [ ${#programs[@]} -eq 0 ]; then
        echo "NO TESTS"
    elif ! cmake --build "$build" --target "${programs[@]}" >"$log" 2>&1; then
        echo "BUILD FAILED"
    elif run_tests "$tests" "$log"; then
        echo "survived"
    elif [ -n "$(failed_tests "$log")" ]; then
        echo "caught"
    else
        echo "HARNESS FAILED"
    fi
}

# One row: prints its verdict line and returns 0 only when the mutation was caught.
mutate() {
    local id=$1 file=$2 original=${3//⏎/$'\n'} replacement=${4//⏎/$'\n'} tests=$5 behaviour=$6
    local target=$source_copy/$file log=$logs/$id.log verdict status=0 started=$SECONDS
    rm -f "$log"
    if [ ! -f "$target" ]; then
        verdict="NO FILE"
    else
        cp "$target" "$scratch/original"
        pending=$target
        apply_mutation "$target" "$original" "$replacement" || status=$?
        case $status in
        0) verdict=$(judge "$tests" "$log") ;;
        3) verdict="NOT FOUND" ;;
        *) verdict="AMBIGUOUS" ;;
        esac
        restore
    fi
    printf '%-14s %-12s %-34s %4d s' "$verdict" "$id" "$file" $((SECONDS - started))
    [ "$verdict" = caught ] && { echo; return 0; }
    printf '   %s\n' "$behaviour"
    [ ! -f "$log" ] || printf '%14s log: %s\n' "" "$log"
    return 1
}

# The whole run lives in a function, so that bash has read all of it before it starts: a run
# takes an hour or more, and the file may be edited meanwhile.
main() {
    [ -f "$list" ] || { echo "mutate.sh: no list at $list" >&2; exit 2; }
    mapfile -t rows < <(selected_rows)
    [ ${#rows[@]} -gt 0 ] || { echo "mutate.sh: no mutation matches '$filter'" >&2; exit 2; }
    mkdir -p "$scratch" "$logs"
    # One run at a time per scratch folder: two would mutate and rebuild the same copy.
    exec 9>"$scratch/lock"
    flock -n 9 || { echo "mutate.sh: another run is using $scratch" >&2; exit 2; }
    echo "mutate.sh: ${#rows[@]} mutations; scratch copy and build in $scratch"

    sync_tree
    QM_BUILD_DIR=$build "$source_copy/scripts/build.sh" >"$logs/build.log" 2>&1 ||
        { tail -n 30 "$logs/build.log"; echo "mutate.sh: the unmutated tree does not build" >&2; exit 2; }

    if [ $baseline -eq 1 ]; then
        expressions=()
        for row in "${rows[@]}"; do
            split_row "$row"
            [ ${#fields[@]} -ne 6 ] || expressions+=("(${fields[4]})")
        done
        union=$(IFS='|'; echo "${expressions[*]}")
        if ! run_tests "$union" "$logs/baseline.log"; then
            failed_tests "$logs/baseline.log" | sed 's/^/  /'
            echo "mutate.sh: these tests fail on the unmutated tree (log: $logs/baseline.log); fix them first" >&2
            exit 2
        fi
    fi

    caught=0
    started=$SECONDS
    for row in "${rows[@]}"; do
        split_row "$row"
        if [ ${#fields[@]} -ne 6 ]; then
            printf '%-14s %s: %d fields instead of 6\n' "MALFORMED" "${fields[0]}" ${#fields[@]}
            continue
        fi
        if mutate "${fields[@]}"; then
            caught=$((caught + 1))
        fi
    done
    elapsed=$((SECONDS - started))
    echo "mutate.sh: ${#rows[@]} mutations in $elapsed s, $((elapsed / ${#rows[@]})) s each; logs in $logs"
    echo "$caught/${#rows[@]} caught"
}

main; exit
