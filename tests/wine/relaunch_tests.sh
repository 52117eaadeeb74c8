#!/usr/bin/env bash
# The elevated relaunch on the real API under Wine, with shell32.dll loaded
# when it is asked for; and the exe's import table: system DLLs only, and no
# shell32.dll, whose loading at start cost more than the rest of a run.
# Usage: relaunch_tests.sh VQ4_Diag.exe WINEPREFIX WINE vq4_relaunch_probe.exe OBJDUMP
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
PROBE=$4
OBJDUMP=$5

ensure_prefix

imports=$("$OBJDUMP" -p "$WINE_EXE_SRC" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
check "the exe imports only KERNEL32, ADVAPI32, SETUPAPI and msvcrt ($imports)" \
    [ "$imports" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL SETUPAPI.DLL " ]

dir=$(mktemp -d "$(dirname "$WINEPREFIX")/wine-relaunch.XXXXXX")
cp "$PROBE" "$dir/vq4_relaunch_probe.exe"
( cd "$dir" && "$WINE" "$dir/vq4_relaunch_probe.exe" > "$dir/stdout.txt" 2> "$dir/stderr.txt" )
code=$?
wineserver_wait
output=$(tr -d '\r' < "$dir/stdout.txt")
echo "$output"
check "the probe ran to its end" [ "$code" -eq 0 ]
check "ShellExecuteExW succeeded" grep -qx 'ShellExecuteExW: 0' <<< "$output"
check "the wait ended with the child" grep -qx 'WaitForSingleObject: 0' <<< "$output"
check "the child's exit code came back" grep -qx 'GetExitCodeProcess: 0, exit code 42' <<< "$output"

rm -rf "$dir"
finish
