#!/usr/bin/env bash
# Builds one commit twice and shows that both builds give the same bytes: the unsigned wizard, its
# console package and the packer. Each build clones the commit into a fresh folder of its own (at
# a different path, with the build folder inside the clone for the first and beside it for the
# second), one after the other, in different time zones and with a different umask, without
# ccache, so that no cached object can hide a difference.
#
#   scripts/reproduce.sh [COMMIT]     default: HEAD of this checkout
#
# QM_REPRODUCE_DIR names the scratch folder (default: a new one under /var/tmp). It is removed
# when the builds match and kept for a closer look when they differ. Exit code 0: identical.
# It builds the commit twice, so it is not part of .ci/run; the test
# QuellmarkConsoleSetup.reproducible checks the cheap part (time stamp, no build path) on every
# run of the suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
commit=$(git -C "$root" rev-parse --verify "${1:-HEAD}^{commit}")
scratch=${QM_REPRODUCE_DIR:-$(mktemp -d /var/tmp/qm-reproduce-XXXXXX)}
mkdir -p "$scratch"
export CCACHE_DISABLE=1

"$root/scripts/install-deps.sh"

products=(resources/QuellmarkConsoleSetup.exe
          resources/QuellmarkConsoleSetup.package/package.qmpack
          tools/packer/qmpack.exe)

# build NAME SOURCE BUILD: clones the commit to SOURCE and builds the compared files in BUILD.
build() {
    local name=$1 source=$2 build=$3 started=$SECONDS
    rm -rf "$source" "$build"
    git clone -q --no-checkout "$root" "$source"
    git -C "$source" checkout -q --detach "$commit"
    echo "reproduce: $name build in $build (TZ=$TZ, umask $(umask), $(date -u '+%F %T') UTC)"
    cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" >"$scratch/$name.log" 2>&1
    cmake --build "$build" --target QuellmarkConsoleSetup qmpack >>"$scratch/$name.log" 2>&1 ||
        { tail -n 30 "$scratch/$name.log"; echo "reproduce: the $name build failed (log: $scratch/$name.log)"; exit 1; }
    "$source/tests/harness/harness" "$build/wine" stop >/dev/null 2>&1 || true
    echo "reproduce: $name build done in $((SECONDS - started)) s"
}

first=$scratch/first/quellmark
second=$scratch/second-build-at-another-path/source
(export TZ=UTC; umask 022; build first "$first" "$first/build")
(export TZ=Pacific/Kiritimati; umask 002; build second "$second" "$scratch/second-build-at-another-path/out")

echo "reproduce: commit $commit, time stamp $(git -C "$root" log -1 --format=%ct "$commit") ($(git -C "$root" log -1 --format=%cd --date=iso-strict "$commit"))"
different=0
for product in "${products[@]}"; do
    one=$(sha256sum <"$first/build/$product" | cut -d' ' -f1)
    two=$(sha256sum <"$scratch/second-build-at-another-path/out/$product" | cut -d' ' -f1)
    if [ "$one" = "$two" ]; then
        echo "  same       $one  $product"
    else
        echo "  DIFFERENT  $one  $product (first)"
        echo "             $two  $product (second)"
        different=1
    fi
done
if [ $different -eq 0 ]; then
    rm -rf "$scratch"
    echo "reproduce: both builds are byte-identical"
else
    echo "reproduce: the builds differ; both are kept in $scratch"
fi
exit $different
