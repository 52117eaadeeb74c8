#!/usr/bin/env bash
# "/capture" under Wine: in each state the other Wine tests give the prefix
# (the test SDK in each registration case, the maker's software, the device's
# nodes in the Enum tree), the Windows build captures what it read; the Linux
# build replays the capture on the simulated machine to the same report lines
# and exit code, and its capture of the replay is the same machine file. Only
# what belongs to one run is written in a fixed form first: the run's folder
# (a Windows path under Wine, a Linux path on replay) and the time in the
# report's and the capture's file names.
# Usage: capture_round_trip.sh VQ4_Diag.exe WINEPREFIX WINE TESTSDK_DIR LINUX_BINARY QuorvaneHelper.exe PART
# PART is one of three groups of the states below, each set up from a fresh
# prefix, so that the three run side by side: sdk-64 (the 64-bit library's
# cases), sdk-views (the 32-bit library, the registry views, the development
# build, REG_EXPAND_SZ), devices-software (the device's nodes, the maker's software).
# Exits 77 (skipped) when the Linux build's binary is not there.
if [ $# -ne 7 ]; then
    echo "usage: $0 VQ4_Diag.exe WINEPREFIX WINE TESTSDK_DIR LINUX_BINARY QuorvaneHelper.exe PART" >&2
    exit 2
fi
PART=$7
case "$PART" in
    sdk-64 | sdk-views | devices-software) ;;
    *) echo "unknown part: $PART" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
TESTSDK=$4
LINUX_BINARY=$5
HELPER_SRC=$6

if [ ! -x "$LINUX_BINARY" ]; then
    echo "SKIP: no Linux build at $LINUX_BINARY (build the linux preset first)"
    exit 77
fi

ensure_prefix

had_usb_enum=0
"$WINE" reg query "$ENUM_KEY\\USB" >/dev/null 2>&1 && had_usb_enum=1

# MI_03 under WinUSB, as section 3 reads it: its hardware key with the
# firmware's GUID, and that GUID's interface on the node, which Wine's SetupAPI
# lists from the DeviceClasses key (the interface's path then does not open:
# Wine has no such device).
FIRMWARE_GUID='{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}'
MI03='USB\VID_2A7D&PID_5E3C&MI_03\6&WINE&0&0003'
INTERFACE_CLASS_KEY="HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\$FIRMWARE_GUID"
add_mi03_under_winusb() {
    local parameters="$ENUM_KEY\\$MI03\\Device Parameters" interface
    interface="$INTERFACE_CLASS_KEY\\##?#${MI03//\\/#}#$FIRMWARE_GUID"
    wine_reg add "$ENUM_KEY\\$MI03" /v Service /t REG_SZ /d WINUSB /f
    wine_reg add "$parameters" /v RevisionId /t REG_DWORD /d 258 /f
    wine_reg add "$parameters" /v ExtPropDescSemaphore /t REG_DWORD /d 1 /f
    wine_reg add "$parameters" /v DeviceInterfaceGUIDs /t REG_MULTI_SZ /d "$FIRMWARE_GUID" /f
    wine_reg add "$interface" /v DeviceInstance /t REG_SZ /d "$MI03" /f
    wine_reg add "$interface\\#" /v SymbolicLink /t REG_SZ /d "\\\\?\\${MI03//\\/#}#$FIRMWARE_GUID" /f
    wine_reg add "$interface\\#\\Control" /v Linked /t REG_DWORD /d 1 /f
}

# Leave the prefix as the other Wine tests expect it.
restore_prefix() {
    stop_related_process
    remove_related_entries
    remove_test_sdk
    remove_device_keys
    wine_reg delete "$INTERFACE_CLASS_KEY" /f
    [ "$had_usb_enum" -eq 0 ] && wine_reg delete "$ENUM_KEY\\USB" /f
    set_os_version "Windows 10 Pro" 23H2 22631
    wineserver_wait
}
trap restore_prefix EXIT
restore_prefix

# The report of one run with its folder and file-name times in a fixed form.
normalised_report() {  # normalised_report REPORT FOLDER
    local text
    text=$(cat "$1")
    printf '%s\n' "${text//"$2"/<folder>}" |
        sed -E 's/VQ4_Diag_(Report|Machine)_[0-9]{8}_[0-9]{6}/VQ4_Diag_\1_YYYYMMDD_hhmmss/g'
}

# The capture replaces the user's, the PC's and other devices' names (Wine
# sets USERPROFILE, USERNAME and COMPUTERNAME), so the replay shows
# "[profile]", "[user]", "[computer]" or "[serial-N]" where the Wine report
# shows those texts; every other character is the same.
same_but_placeholders() {  # same_but_placeholders CUSTOMER_REPORT REPLAYED_REPORT
    python3 - "$1" "$2" <<'EOF'
import re, sys
customer, replayed = sys.argv[1].split('\n'), sys.argv[2].split('\n')
placeholder = re.compile(r'\[(?:profile|user|computer|serial-[0-9]+)\]')
def same(a, b):
    pieces = placeholder.split(b)
    return a == b or (len(pieces) > 1 and re.fullmatch('(.+)'.join(map(re.escape, pieces)), a, re.S) is not None)
sys.exit(0 if len(customer) == len(replayed) and all(map(same, customer, replayed)) else 1)
EOF
}

capture_line=$'[ INFO ] Machine capture written to: <folder>\\VQ4_Diag_Machine_YYYYMMDD_hhmmss.json\r'

# round_trip WHAT [VAR=VALUE...]: captures under Wine (the variables set for
# the exe, the files named in $exe_dir_files copied beside it), replays the
# capture, compares. The two folders are kept when they differ.
exe_dir_files=()
round_trip() {
    local what=$1 wine_dir sim_dir wine_code sim_code file wine_report sim_report capture
    shift
    wine_dir=$(fresh_exe_dir)
    for file in "${exe_dir_files[@]}"; do cp "$TESTSDK/$file" "$wine_dir/"; done
    exe_dir_files=()
    ( cd "$wine_dir" && { [ $# -eq 0 ] || export "$@"; } && wine_unelevated "$wine_dir/VQ4_Diag.exe" /nopause /capture \
        > "$wine_dir/stdout.txt" 2> "$wine_dir/stderr.txt" )
    wine_code=$?
    # The tool has ended (the launcher waits for it). A running helper of
    # the maker's software keeps the wineserver up until it is stopped, so
    # the wait for every process is only made without one.
    [ -z "${related_helper_pid:-}" ] && wineserver_wait

    shopt -s nullglob
    local reports=("$wine_dir"/VQ4_Diag_Report_*.txt) captures=("$wine_dir"/VQ4_Diag_Machine_*.json)
    shopt -u nullglob
    check "$what: one report and one capture under Wine" [ "${#reports[@]}:${#captures[@]}" = 1:1 ]
    if [ "${#reports[@]}:${#captures[@]}" != 1:1 ]; then
        echo "kept: $wine_dir (the exe exited with code $wine_code)"
        return
    fi
    capture=${captures[0]}
    wine_report=$(normalised_report "${reports[0]}" "$(winpath "$wine_dir")")
    check "$what: the Wine report names the capture in its last line" \
        [ "$(printf '%s\n' "$wine_report" | tail -n 1)" = "$capture_line" ]

    sim_dir=$(mktemp -d "$(dirname "$WINEPREFIX")/sim-run.XXXXXX")
    cp "$LINUX_BINARY" "$sim_dir/VQ4_Diag"
    ( cd "$sim_dir" && VQ4_DIAG_MACHINE="$capture" "$sim_dir/VQ4_Diag" /nopause /capture \
        > "$sim_dir/stdout.txt" 2> "$sim_dir/stderr.txt" )
    sim_code=$?
    check "$what: the capture loads on the simulated machine" [ ! -s "$sim_dir/stderr.txt" ]
    head -n 5 "$sim_dir/stderr.txt"
    sim_report="(no report)"
    reports=("$sim_dir"/VQ4_Diag_Report_*.txt)
    [ -f "${reports[0]}" ] && sim_report=$(normalised_report "${reports[0]}" "$sim_dir")

    check "$what: the same exit code ($wine_code under Wine, $sim_code on replay)" [ "$wine_code" -eq "$sim_code" ]
    check "$what: the replay's report is the Wine report, placeholders aside" \
        same_but_placeholders "$wine_report" "$sim_report"
    # The simulated machine read what Windows (here Wine) gave: capturing the
    # replay gives the same machine file again, byte for byte.
    local recaptures=("$sim_dir"/VQ4_Diag_Machine_*.json)
    check "$what: capturing the replay gives the Wine capture again" cmp -s "$capture" "${recaptures[0]}"
    if [ "$wine_code" -eq "$sim_code" ] && [ "$wine_report" = "$sim_report" ] && cmp -s "$capture" "${recaptures[0]}"; then
        rm -rf "$wine_dir" "$sim_dir"
    else
        diff <(printf '%s\n' "$wine_report") <(printf '%s\n' "$sim_report") | head -n 40
        diff "$capture" "${recaptures[0]}" | head -n 20
        echo "kept: $wine_dir $sim_dir"
    fi
}

# ---- The test SDK, in each registration case of sdk_sections_tests.sh ----
if [ "$PART" = sdk-64 ]; then
set_os_version "Windows 10 Pro" 23H2 22631
install_sdk "$X64U" x64/qtv_api_core.dll x64/vxlinkapi_x64.dll
register_sdk 64 "$X64W\\qtv_api_core.dll"
round_trip "64-bit view only, no device"
round_trip "QTV_IsDeviceChanged never says so" QTVTEST_CHANGED=never 'QTVTEST_DEVICES=0;2A7D;5E3C;0102;SN;Vantro Q4;x'
round_trip "a negative device count" QTVTEST_DEVICE_COUNT=-1
round_trip "QTV_Init fails" QTVTEST_INIT_RESULT=-12

install_sdk "$X64U" x64-no-device-changed/qtv_api_core.dll x64/vxlinkapi_x64.dll
round_trip "no QTV_IsDeviceChanged, a device at the second attempt" QTVTEST_APPEAR_AT=2 \
    'QTVTEST_DEVICES=0;2A7D;5E3C;0151;QV4A1B2C3D;Vantro Q4;\\?\usb#vid_2a7d&pid_5e3c&mi_03#6&1#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}'

install_sdk "$X64U" x64-no-device-info/qtv_api_core.dll x64/vxlinkapi_x64.dll
round_trip "a required entry point missing, no version resource"

install_sdk "$X64U" x64/qtv_api_core.dll
register_sdk 32 "$X64W"
round_trip "the USB access library missing; the 32-bit view names a folder"

rm -rf "$X64U"
wine_reg delete "$CLSID_KEY" /f /reg:32
round_trip "nothing at the registered path"

mkdir -p "$X64U"
printf 'not a library\r\n' > "$X64U/qtv_api_core.dll"
register_sdk 32 ''
round_trip "a file that is no PE image; an empty 32-bit value"
fi
if [ "$PART" = sdk-views ]; then
set_os_version "Windows 10 Pro" 23H2 22631

install_sdk "$X86U" x86/qtv_api_core.dll x86/vxlinkapi_x86.dll
register_sdk 64 "$X86W\\qtv_api_core.dll"
wine_reg delete "$CLSID_KEY" /f /reg:32
round_trip "a 32-bit library in the 64-bit view"

wine_reg delete "$CLSID_KEY" /f /reg:64
register_sdk 32 "$X86W\\qtv_api_core.dll"
round_trip "32-bit view only"

wine_reg delete "$CLSID_KEY" /f /reg:32
register_sdk 64 ''
round_trip "an empty value in the 64-bit view"

rm -rf "$C_DRIVE/Program Files (x86)/Quorvane"
install_sdk "$DEVU" x64/qtv_api_core.dll x64/vxlinkapi_x64.dll
register_sdk 64 "$DEVW\\qtv_api_core.dll"
register_sdk 32 "$DEVW\\qtv_api_core.dll"
round_trip "a development build in both views, two devices" QTVTEST_VERSION=1A05 QTVTEST_APPEAR_AT=3 \
    'QTVTEST_DEVICES=-7;0;0;0;;;|0;0ABC;0001;0A05;;*FULL*;'

wine_reg delete "$CLSID_KEY" /f /reg:32
register_sdk 64 'qtv_api_core.dll'
exe_dir_files=(x64/qtv_api_core.dll x64/vxlinkapi_x64.dll)
round_trip "a bare file name, the library beside the exe"

install_sdk "$X64U" x64/qtv_api_core.dll x64/vxlinkapi_x64.dll
install_sdk "$X86U" x86/qtv_api_core.dll x86/vxlinkapi_x86.dll
register_sdk 64 '%ProgramFiles%\Quorvane\Tonvela SDK\qtv_api_core.dll' REG_EXPAND_SZ
register_sdk 32 '%ProgramFiles%\Quorvane\Tonvela SDK\qtv_api_core.dll' REG_EXPAND_SZ
round_trip "REG_EXPAND_SZ in both views"
remove_test_sdk
fi

# ---- The device's nodes, as usb_sections_tests.sh puts them in the prefix ----
if [ "$PART" = devices-software ]; then
set_os_version "Windows 10 Enterprise" - 19045
round_trip "no device, no DisplayVersion"
set_os_version "Windows 10 Pro" 23H2 22631
add_device_nodes
round_trip "the device's nodes in the Enum tree"
add_mi03_under_winusb
round_trip "MI_03 under WinUSB, with its hardware key and interface"
install_sdk "$X64U" x64/qtv_api_core.dll x64/vxlinkapi_x64.dll
register_sdk 64 "$X64W\\qtv_api_core.dll"
round_trip "the SDK finds no device; MI_03 under WinUSB"
remove_test_sdk
remove_device_keys
wine_reg delete "$INTERFACE_CLASS_KEY" /f

# ---- The maker's software, as related_software_tests.sh sets it up ----
add_related_entries
check "sc create made the test service" add_related_service >/dev/null
check "QuorvaneHelper.exe started" start_related_process "$HELPER_SRC"
round_trip "Uninstall entries, a stopped service, a running process"
fi

finish
