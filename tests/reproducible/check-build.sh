#!/usr/bin/env bash
# Checks what lets two builds of one commit give the same bytes (scripts/reproduce.sh builds it
# twice to show the whole of it): every PROGRAM's PE header carries the commit's time (0 outside a
# checkout, SOURCE_DATE_EPOCH when that is set), and neither the SOURCE nor the BUILD folder's
# path appears in it, with any character in place of each that is no letter or digit, and in
# UTF-16 too.
#
#   check-build.sh SOURCE BUILD PROGRAM...
set -euo pipefail
source=$1 build=$2
shift 2
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=0 # the header's "no time", for a source that is no checkout of its own
    if [ "$(git -C "$source" rev-parse --show-toplevel 2>/dev/null)" -ef "$source" ]; then
        SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct)
    fi
fi

# Any character but a letter or digit may have become another on its way into the program
# (dlltool makes "_" of each in the names of its symbols), so each stands for any such character.
loose() { sed 's/[^A-Za-z0-9]/[^A-Za-z0-9]/g'; }
# The folder's path followed by one of its own entries, so that a short path such as /build does
# not match the tool chain's own paths in the libraries it links.
pattern() {
    printf '%s' "$1" | loose
    printf '[^A-Za-z0-9](%s)' "$(ls -A "$1" | loose | paste -sd'|')"
}

failures=()
for program in "$@"; do
    header=$(od -An -tu4 -j60 -N4 "$program" | tr -d ' ')
    stamp=$(od -An -tu4 -j$((header + 8)) -N4 "$program" | tr -d ' ')
    [ "$stamp" = "$SOURCE_DATE_EPOCH" ] || failures+=("$program: time stamp $stamp, not $SOURCE_DATE_EPOCH")
    for folder in "$source" "$build"; do
        found=$(tr -d '\0' <"$program" | grep -a -o -E "$(pattern "$folder")[ -~]{0,24}" | sort -u | head -n 3) || true
        [ -z "$found" ] || failures+=("$program holds the path of $folder:"$'\n'"$found")
    done
done
for failure in "${failures[@]}"; do
    echo "check-build: $failure"
done
[ ${#failures[@]} -eq 0 ] && echo "check-build: $* carry the time $SOURCE_DATE_EPOCH and no path of $source or $build"
