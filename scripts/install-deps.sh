#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, when any is missing.
set -euo pipefail

packages=(
    cmake ninja-build
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64   # cross compiler, windres
    googletest                                             # sources, cross-built by the project
    wine wine64 wine64-preloader                           # runs the Windows programs (preloader: README)
    xvfb xdotool imagemagick                               # display, window look-up, screenshots
    clang libclang-rt-14-dev                               # native fuzzing with sanitizers
    osslsigncode openssl python3                           # signing, test certificates, test time stamps
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
