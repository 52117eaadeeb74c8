#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, only what is missing.
# Usage: install-deps.sh [linux|all|bench]
set -euo pipefail
scope=${1:-all}
packages=(cmake make g++ nlohmann-json3-dev libgtest-dev googletest)
if [ "$scope" = all ] || [ "$scope" = bench ]; then
    # clang and its runtime for the fuzz targets (libFuzzer, sanitizers)
    packages+=(clang libclang-rt-14-dev)
    packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64)
    # the windows-clang preset: clang with the MinGW-w64 libraries above, linked by lld
    packages+=(lld)
    # the check of the download package (tests/packaging/check_package.py)
    packages+=(python3)
fi
# scripts/bench.sh and the growth check of scripts/test-all.sh count instructions with callgrind.
if [ "$scope" = all ] || [ "$scope" = bench ]; then
    packages+=(valgrind)
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
