#!/usr/bin/env bash
# Installs what is missing, builds the presets and runs every test: the Linux
# suite on the simulated machine (with the fault sweep), the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, short runs of the fuzz
# targets, then the Windows build under Wine, and the Windows exe built with
# clang.
#
# Each stage is timed; the table at the end (also in build/test-all-stages.txt)
# is what the README's CI budget figures come from. Budget: 45 minutes on a
# fresh two-core machine.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=()
started_all=$SECONDS
stage() {  # stage NAME COMMAND...: runs it, notes its time
    local name=$1 started=$SECONDS
    shift
    echo "==== $name"
    "$@"
    stages+=("$(printf '%-34s %6d s' "$name" $((SECONDS - started)))")
}
report_stages() {
    local status=$?
    mkdir -p build
    {
        echo "Stages of scripts/test-all.sh ($(nproc) cores)$([ $status -ne 0 ] && echo ", FAILED with exit code $status")"
        printf '%s\n' "${stages[@]}"
        printf '%-34s %6d s\n' "total" $((SECONDS - started_all))
    } | tee build/test-all-stages.txt
}
trap report_stages EXIT

stage "install" scripts/install-deps.sh all
stage "linux: configure" cmake --preset linux
stage "linux: build" cmake --build --preset linux
stage "linux: ctest" ctest --preset linux
# Instructions per added node and per added program stay flat (callgrind counts, not times).
stage "growth check" scripts/growth-check.sh
stage "linux-asan: configure" cmake --preset linux-asan
stage "linux-asan: build" cmake --build --preset linux-asan
stage "linux-asan: ctest" ctest --preset linux-asan
stage "linux-fuzz: configure" cmake --preset linux-fuzz
stage "linux-fuzz: build" cmake --build --preset linux-fuzz
stage "linux-fuzz: ctest" ctest --preset linux-fuzz
stage "windows: configure" cmake --preset windows
stage "windows: build" cmake --build --preset windows
stage "windows: ctest (Wine)" ctest --preset windows
# The Windows exe again with a second compiler, clang, warnings as errors.
stage "windows-clang: configure" cmake --preset windows-clang
stage "windows-clang: build" cmake --build --preset windows-clang
