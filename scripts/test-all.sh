#!/usr/bin/env bash
# Installs what is missing, builds the presets and runs every test: the Linux
# suite on the simulated machine (with the fault sweep), the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, short runs of the fuzz
# targets, then the Windows build under Wine, and the Windows exe built with
# clang.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all
cmake --preset linux
cmake --build --preset linux
ctest --preset linux
# Instructions per added node and per added program stay flat (callgrind counts, not times).
scripts/growth-check.sh
cmake --preset linux-asan
cmake --build --preset linux-asan
ctest --preset linux-asan
cmake --preset linux-fuzz
cmake --build --preset linux-fuzz
ctest --preset linux-fuzz
cmake --preset windows
cmake --build --preset windows
ctest --preset windows
# The Windows exe again with a second compiler, clang, warnings as errors.
cmake --preset windows-clang
cmake --build --preset windows-clang
