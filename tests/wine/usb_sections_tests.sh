#!/usr/bin/env bash
# Sections 1 and 2 of the Windows build under Wine: the Windows version values
# read from the prefix's registry, and the device's USB nodes found through
# the real SetupAPI. Wine has no USB bus here, so the device is first absent;
# then its nodes are written into the prefix's Enum tree, where Wine's SetupAPI
# lists them as present devices.
# Usage: usb_sections_tests.sh VQ4_Diag.exe WINEPREFIX WINE
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"

ensure_prefix

had_usb_enum=0
"$WINE" reg query "$ENUM_KEY\\USB" >/dev/null 2>&1 && had_usb_enum=1

# Leave the prefix as the other Wine tests expect it.
restore_prefix() {
    remove_device_keys
    [ "$had_usb_enum" -eq 0 ] && wine_reg delete "$ENUM_KEY\\USB" /f
    set_os_version "Windows 10 Pro" 23H2 22631
    wineserver_wait
}
trap restore_prefix EXIT

# Runs the exe once; sets $report_text (the report file's bytes, with CR LF)
# and $exit_code.
run_exe() {
    local dir reports
    dir=$(fresh_exe_dir)
    ( cd "$dir" && "$WINE" "$dir/VQ4_Diag.exe" /nopause /nofix > "$dir/stdout.txt" 2> "$dir/stderr.txt" )
    exit_code=$?
    wineserver_wait
    reports=("$dir"/VQ4_Diag_Report_*.txt)
    report_text=$(cat "${reports[0]}" 2>/dev/null)
    rm -rf "$dir"
}

# Sets $block: from the section 1 header to the header that follows section 2.
# (A variable, not command output, which would lose the final line end.)
sections_1_and_2() {
    local text=$1 first=$'\r\n==== 1. ' second=$'\r\n==== 2. ' next=$'\r\n==== '
    block="(sections 1 and 2 not found)"
    [[ "$text" == *"$first"*"$second"* ]] || return
    local after1=${text#*"$first"}
    local before2=${after1%%"$second"*}
    local after2=${after1#*"$second"}
    block="$first$before2$second${after2%%"$next"*}"
}

same_text() {  # same_text EXPECTED ACTUAL
    [ "$1" = "$2" ] && return 0
    diff <(printf '%s\n' "$1" | cat -A) <(printf '%s\n' "$2" | cat -A) | head -20
    return 1
}

# Every expected line below is the report's own text; lines end in CR LF.
header1=$'\r\n==== 1. System information ====\r\n'
header2=$'\r\n==== 2. USB detection (VID_2A7D&PID_5E3C - Quorvane Vantro Q4) ====\r\n'
built_as=$'[ INFO ] System architecture: x64\r\n[ INFO ] This diagnostic tool was built as: x64\r\n'
active=$'[  OK  ]   -> Driver active, no problem reported by Windows.\r\n'

# ---- 1. No device; DisplayVersion missing; a build before 22000 ----
remove_device_keys
set_os_version "Windows 10 Enterprise" - 19045
run_exe
expected="$header1"$'[ INFO ] OS: Windows 10 Enterprise (version ?, build 19045)\r\n'"$built_as$header2"
expected+=$'[ FAIL ] No USB node matching VID_2A7D&PID_5E3C was found. The Vantro Q4 does not seem to be plugged in'
expected+=$' (check the cable, the USB port, or that the device is powered on).\r\n'
sections_1_and_2 "$report_text"
check "device absent: sections 1 and 2" same_text "$expected" "$block"
check "device absent: exit code 1 ($exit_code)" [ "$exit_code" -eq 1 ]

# ---- 2. The device's nodes in the Enum tree; Windows 11 rule ----
set_os_version "Windows 10 Pro" 23H2 22631
add_device_nodes
run_exe
expected="$header1"$'[ INFO ] OS: Windows 11 Pro (version 23H2, build 22631)\r\n'"$built_as$header2"
expected+=$'[  OK  ] Device detected: 4 USB node(s) found.\r\n'
expected+=$'[ INFO ] composite device (parent): USB\\VID_2A7D&PID_5E3C\\QV4WINE01\r\n'
expected+=$'         Description: USB Composite Device\r\n         Driver (service): usbccgp\r\n'"$active"
expected+=$'[ INFO ] interface MI_00: USB\\VID_2A7D&PID_5E3C&MI_00\\6&WINE&0&0000\r\n'
expected+=$'         Description: Vantro Q4 Audio\r\n         Driver (service): usbaudio2\r\n'"$active"
expected+=$'[ INFO ] interface MI_01: USB\\VID_2A7D&PID_5E3C&MI_01\\6&WINE&0&0001\r\n'
expected+=$'         Driver (service): usbaudio2\r\n'"$active"
expected+=$'[ INFO ] interface MI_03: USB\\VID_2A7D&PID_5E3C&MI_03\\6&WINE&0&0003\r\n'
expected+=$'         Description: Vantro Q4 Vendor Interface\r\n         Driver (service): (none)\r\n'"$active"
sections_1_and_2 "$report_text"
check "device nodes in the Enum tree: sections 1 and 2" same_text "$expected" "$block"

finish
