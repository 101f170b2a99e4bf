#!/usr/bin/env bash
# Builds and runs the benchmarks and prints every figure: extraction of the reference-size
# package on 1, 2 and all threads against the work it cannot avoid, the parse time, peak memory,
# the stages of a headless installation and uninstallation, and the packer's throughput on the
# reference folder.
#
#   benchmarks/run.sh [BUILD_DIR]     (default: QM_BUILD_DIR or build/; configured when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${QM_BUILD_DIR:-$root/build}}

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
fi
cmake --build "$build" --target run_benchmarks
