#!/usr/bin/env bash
# The elevated relaunch on the real API under Wine, with shell32.dll loaded
# when it is asked for, and the hand-over of the elevated report: the report
# path and /nopause passed on, the child's report read back. And the exe's
# import table: system DLLs only, and no shell32.dll, whose loading at start
# cost more than the rest of a run.
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

# A folder name the ANSI code page cannot hold: Cyrillic, CJK, and a
# full-width quote that a best-fit conversion would turn into a real '"'.
# Wine takes the host's file names as UTF-8 in a UTF-8 locale.
export LC_ALL=C.UTF-8
parent=$(mktemp -d "$(dirname "$WINEPREFIX")/wine-relaunch.XXXXXX")
dir="$parent/Инструменты 漢字 ＂q＂"
mkdir "$dir"
cp "$PROBE" "$dir/vq4_relaunch_probe.exe"
( cd "$dir" && "$WINE" "$dir/vq4_relaunch_probe.exe" > "$dir/stdout.txt" 2> "$dir/stderr.txt" )
code=$?
wineserver_wait
output=$(tr -d '\r' < "$dir/stdout.txt")
echo "$output"
check "the probe ran to its end" [ "$code" -eq 0 ]
windir="Z:${dir//\//\\}"
own="$windir\\VQ4_Diag_Report_20260304_050607.txt"
# _2.json was planted before the names were reserved: the pair is _3.
elevated="$windir\\VQ4_Diag_Report_20260304_050607_3.txt"
check "the own report was written" grep -qxF "Own report: $own" <<< "$output"
check "both elevated names were reserved" grep -qx 'Reserved: 1 1' <<< "$output"
check "a reserved name holding bytes is refused (ERROR_FILE_EXISTS)" \
    grep -qx 'Open reserved, a file with bytes: 80' <<< "$output"
check "a reserved name with nothing there is ERROR_FILE_NOT_FOUND" \
    grep -qx 'Open reserved, nothing there: 2' <<< "$output"
check "the parameters carry the mark, the quoted path past the planted JSON, /nopause, /json" \
    grep -qxF "Parameters: /fix /elevated \"/report:$elevated\" /nopause /json" <<< "$output"
check "ShellExecuteExW succeeded" grep -qx 'ShellExecuteExW: 0' <<< "$output"
check "the wait ended with the child" grep -qx 'WaitForSingleObject: 0' <<< "$output"
check "the child read its arguments as the tool does and wrote its report (exit code 42)" \
    grep -qx 'GetExitCodeProcess: 0, exit code 42' <<< "$output"
check "the elevated report is beside the own one" [ -s "$dir/VQ4_Diag_Report_20260304_050607_3.txt" ]
check "the elevated instance filled its reserved JSON" grep -q '"probe": true' "$dir/VQ4_Diag_Report_20260304_050607_3.json"
check "no report beside the planted JSON" [ ! -e "$dir/VQ4_Diag_Report_20260304_050607_2.txt" ]
check "the elevated report was read back" grep -qx 'Elevated report read: 0' <<< "$output"
check "its step" grep -qxF 'Elevated instance: the repair of USB\VID_2A7D&PID_5E3C&MI_03\PROBE worked at step 1/3.' \
    <<< "$output"
check "its summary" grep -qxF 'Elevated instance, Summary after repair: 1 test(s) OK, 0 warning(s), 0 failure(s). Everything appears to be working correctly.' \
    <<< "$output"
check "its path" grep -qxF "Elevated instance's report: $elevated" <<< "$output"

rm -rf "$parent"
finish
