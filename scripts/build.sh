#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build/): everything, or the targets named.
#
#   scripts/build.sh [TARGET...]
#
# Settings from the environment:
#   QM_BUILD_DIR  build folder
#   QM_CMAKE_ARGS extra arguments for the configure step (for example -DQM_CONSOLE_DIR=...)
#   QM_SIGNING_PKCS12, QM_SIGNING_PASSWORD_FILE, QM_SIGNING_TIMESTAMP_URL
#                 sign the wizard (README, "Signing a release"); taken afresh on every run, so
#                 that a build without them is never signed with what an earlier run named
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DQM_SIGNING_PKCS12="${QM_SIGNING_PKCS12:-}" -DQM_SIGNING_PASSWORD_FILE="${QM_SIGNING_PASSWORD_FILE:-}" \
      -DQM_SIGNING_TIMESTAMP_URL="${QM_SIGNING_TIMESTAMP_URL:-}" ${QM_CMAKE_ARGS:-} >/dev/null
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --build "$build" "${targets[@]}"
