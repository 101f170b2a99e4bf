#!/usr/bin/env bash
# The main job: installs what is missing, builds every program and says what was built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}

"$root/scripts/build.sh"
"$root/tests/harness/harness" "$build/wine" stop >/dev/null 2>&1 || true

echo
echo "Built (Windows x64, statically linked, in $build):"
find "$build" -name '*.exe' -not -path '*/CMakeFiles/*' -not -path '*/wine/*' -printf '%P\t%s bytes\n' | sort |
    awk -F'\t' '{ printf "  %-45s %s\n", $1, $2 }'
