#!/usr/bin/env bash
# Sections 4 and 5 of the Windows build under Wine, with the project's own
# test SDK library registered in one or both registry views of the prefix.
# Usage: sdk_sections_tests.sh VQ4_Diag.exe WINEPREFIX WINE TESTSDK_DIR
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
TESTSDK=$4

ensure_prefix

# Leave the prefix as other tests expect it: no SDK registration, no SDK files.
trap remove_test_sdk EXIT
remove_test_sdk

# The report's lines from the section 4 header up to the header that
# follows section 5, without CR and without the empty line before that header.
sdk_blocks() {
    tr -d '\r' < "$1" | awk '/^==== 4\. /{on=1} on && /^==== / && !/^==== [45]\. /{exit} on{print}' | sed '${/^$/d}'
}

# run_tool [VAR=VALUE...]: runs the exe in a fresh folder (after copying the
# files named in $exe_dir_files there); sets $blocks and $calls (the test
# library's call log, repeated lines counted) and $console (its redirected
# standard output).
exe_dir_files=()
run_tool() {
    local dir
    dir=$(fresh_exe_dir)
    for file in "${exe_dir_files[@]}"; do cp "$TESTSDK/$file" "$dir/"; done
    # As the standard user, unless RUN_ELEVATED=1: then with the token Wine gives every process.
    local start=wine_unelevated
    [ "${RUN_ELEVATED:-}" = 1 ] && start=$WINE
    ( cd "$dir" && { [ $# -eq 0 ] || export "$@"; } && export QTVTEST_LOG="$(winpath "$dir/sdk.log")" &&
        "$start" "$dir/VQ4_Diag.exe" /nopause /nofix \
        > "$dir/stdout.txt" 2> "$dir/stderr.txt" )
    local reports=("$dir"/VQ4_Diag_Report_*.txt)
    blocks=$(sdk_blocks "${reports[0]}")
    console=$(cat "$dir/stdout.txt")
    calls=
    [ -f "$dir/sdk.log" ] && calls=$(tr -d '\r' < "$dir/sdk.log" | uniq -c | sed 's/^ *//')
    rm -rf "$dir"
    exe_dir_files=()
}

same_text() {  # same_text WHAT EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        return 0
    fi
    echo "--- $1: expected / +++ actual"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3")
    return 1
}

lines() { printf '%s\n' "$@"; }

H4='==== 4. SDK registry / DLL registration (Quorvane Tonvela API) ===='
H5='==== 5. Functional SDK test (load + real communication) ===='
MISS64='[ FAIL ] CLSID registry key missing (64-bit view): the SDK will not be found by applications running as 64-bit view.'
MISS32='[ WARN ] CLSID registry key missing (32-bit view / WOW6432Node): the SDK will not be found by applications running as 32-bit view / WOW6432Node.'
NOKEY="[ FAIL ] Unable to find the SDK's CLSID key (view matching this process): functional test cancelled."
PRESENT='[  OK  ]   -> File present.'
V151='[ INFO ]   -> File version: 1.51.0.0'
ARCH64='[  OK  ]   -> File architecture is consistent (x64).'
DEP64='[  OK  ]   -> Dependency vxlinkapi_x64.dll present (version 2.3.0.0).'
DEVWARN="[ WARN ]   -> This path looks like a development path (not a standard 'Program Files'-style install). Normal on an SDK dev machine; worth checking it isn't unintentional (e.g. a debug .reg was left active)."
INIT_OK='[  OK  ] SDK initialized successfully (QTV_Init).'
VERSION151='[ INFO ] SDK version loaded: 1.51 (version known in the repository at the time this tool was generated: 1.51).'
NODEVICE='[ FAIL ] The SDK does not detect any Tonvela device after 3000 ms of waiting, even though the DLL was loaded successfully. See sections 2 and 3 above for the hardware/driver diagnosis.'
SKIPPED='[ INFO ] Follow-up test (is MI_03 locked by another process?) skipped: section 3 could not find any usable MI_03 device interface. Fix section 3 first.'
ENTRYPOINTS='[ FAIL ] One or more expected entry points are missing from the DLL (a DLL version incompatible with what this tool expects?).'
detection() { echo "[ INFO ] Device detection by the SDK: $1 attempt(s) out of 100 (~$(($1 * 30)) ms)."; }

SECTION4_X64=("$H4" "[ INFO ] Path declared (64-bit view): $X64W\\qtv_api_core.dll" "$PRESENT" "$V151" "$ARCH64" "$DEP64" "$MISS32")

# ---- The typical installation: no device is found within 100 attempts ----
install_sdk "$X64U" x64/qtv_api_core.dll x64/vxlinkapi_x64.dll
register_sdk 64 "$X64W\\qtv_api_core.dll"
run_tool
check "installed SDK, no device: blocks" same_text "typical" \
    "$(lines "${SECTION4_X64[@]}" "" "$H5" "$INIT_OK" "$VERSION151" "$(detection 100)" "$NODEVICE" "$SKIPPED")" "$blocks"
check "installed SDK, no device: QTV_Init once with 338, 0, 0; 100 polls; QTV_Exit once; then FreeLibrary" same_text \
    "typical calls" "$(lines '1 attach' '1 QTV_Init 338 0 0 -> 0' '1 QTV_Get_SDK_Version' '100 QTV_IsDeviceChanged -> 0' \
    '1 QTV_Exit' '1 detach (FreeLibrary)')" "$calls"
# The 100 polls show a live line on a console only: redirected output holds
# the report's lines, each ending in CR LF, and no carriage return of its own.
no_live_line() {
    grep -q "Device detection by the SDK: 100 attempt" <<<"$1" && ! grep -q "Waiting for" <<<"$1" &&
        [ "$(printf '%s\n' "$1" | sed 's/\r$//' | tr -cd '\r' | wc -c)" -eq 0 ]
}
check "installed SDK, no device: no progress line in redirected output" no_live_line "$console"

# ---- Elevated: a library the user's own processes can change is never loaded ----
# Under Wine the installed file belongs to the user's SID (Wine keeps no other
# owner for it), as a DLL the user copied would on Windows.
RUN_ELEVATED=1 run_tool
not_loaded_elevated() {  # the section 5 block: its header and one Warn line, nothing of the SDK run
    local body
    body=$(printf '%s\n' "$1" | sed -n "/^$H5\$/,\$p" | tail -n +2)
    [ "$(printf '%s\n' "$body" | grep -c .)" -eq 1 ] &&
        grep -qF "[ WARN ] The SDK was not loaded with administrator rights: its file $X64W\\qtv_api_core.dll can be changed by others than administrators (" <<<"$body" &&
        grep -qF '). The run without administrator rights tests it.' <<<"$body"
}
check "elevated: section 5 is one Warn line, the SDK not loaded" not_loaded_elevated "$blocks"
check "elevated: the library was never loaded (no attach, no QTV_Init)" test -z "$calls"

# ---- QTV_IsDeviceChanged never says so: the count is never read ----
run_tool QTVTEST_CHANGED=never 'QTVTEST_DEVICES=0;2A7D;5E3C;0102;SN;Vantro Q4;x'
check "IsDeviceChanged always 0: no device after 100 attempts" same_text "never changed" \
    "$(lines "${SECTION4_X64[@]}" "" "$H5" "$INIT_OK" "$VERSION151" "$(detection 100)" "$NODEVICE" "$SKIPPED")" "$blocks"
check "IsDeviceChanged always 0: QTV_GetDeviceCount never called" same_text "never changed calls" \
    "$(lines '1 attach' '1 QTV_Init 338 0 0 -> 0' '1 QTV_Get_SDK_Version' '100 QTV_IsDeviceChanged -> 0' \
    '1 QTV_Exit' '1 detach (FreeLibrary)')" "$calls"

# ---- A negative count is no device ----
run_tool QTVTEST_DEVICE_COUNT=-1
check "negative count: no device after 100 attempts" same_text "negative count" \
    "$(lines "${SECTION4_X64[@]}" "" "$H5" "$INIT_OK" "$VERSION151" "$(detection 100)" "$NODEVICE" "$SKIPPED")" "$blocks"
check "negative count: read once, when it changed" same_text "negative count calls" \
    "$(lines '1 attach' '1 QTV_Init 338 0 0 -> 0' '1 QTV_Get_SDK_Version' '1 QTV_IsDeviceChanged -> 1' \
    '1 QTV_GetDeviceCount' '99 QTV_IsDeviceChanged -> 0' '1 QTV_Exit' '1 detach (FreeLibrary)')" "$calls"

# ---- QTV_Init fails: released without QTV_Exit ----
run_tool QTVTEST_INIT_RESULT=-12
check "QTV_Init fails" same_text "init fails" \
    "$(lines "${SECTION4_X64[@]}" "" "$H5" \
    '[ FAIL ] QTV_Init failed (return code=-12). The SDK cannot initialize on this machine.')" "$blocks"
check "QTV_Init fails: no QTV_Exit, FreeLibrary" same_text "init fails calls" \
    "$(lines '1 attach' '1 QTV_Init 338 0 0 -> -12' '1 detach (FreeLibrary)')" "$calls"

# ---- Without QTV_IsDeviceChanged the count is read at every attempt ----
install_sdk "$X64U" x64-no-device-changed/qtv_api_core.dll x64/vxlinkapi_x64.dll
run_tool QTVTEST_APPEAR_AT=2 'QTVTEST_DEVICES=0;2A7D;5E3C;0151;QV4A1B2C3D;Vantro Q4;\\?\usb#vid_2a7d&pid_5e3c&mi_03#6&1#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}'
check "no IsDeviceChanged: found at the second attempt" same_text "no changed" \
    "$(lines "${SECTION4_X64[@]}" "" "$H5" "$INIT_OK" "$VERSION151" "$(detection 2)" \
    '[  OK  ] 1 Tonvela device(s) detected by the SDK.' \
    '[ INFO ] Device #0: Vantro Q4 (VID=0x2A7D, PID=0x5E3C)' \
    '[  OK  ]   -> VID/PID matches the Vantro Q4.' \
    '         Firmware version: 1.51' \
    '         Serial number: QV4A1B2C3D' \
    '         Symbolic link: \\?\usb#vid_2a7d&pid_5e3c&mi_03#6&1#{c47d2a19-5e80-4b3f-9a26-81d0e4f3b752}')" "$blocks"
check "no IsDeviceChanged: QTV_GetDeviceCount at each attempt" same_text "no changed calls" \
    "$(lines '1 attach' '1 QTV_Init 338 0 0 -> 0' '1 QTV_Get_SDK_Version' '2 QTV_GetDeviceCount' \
    '1 QTV_GetDeviceInfo 0' '1 QTV_Exit' '1 detach (FreeLibrary)')" "$calls"

# ---- A required entry point missing (a build without version resource) ----
install_sdk "$X64U" x64-no-device-info/qtv_api_core.dll x64/vxlinkapi_x64.dll
run_tool
check "required entry point missing" same_text "no device info" \
    "$(lines "$H4" "[ INFO ] Path declared (64-bit view): $X64W\\qtv_api_core.dll" "$PRESENT" \
    '[ INFO ]   -> File version: (no version info)' "$ARCH64" "$DEP64" "$MISS32" "" "$H5" "$ENTRYPOINTS")" "$blocks"
check "required entry point missing: nothing called, FreeLibrary" same_text "no device info calls" \
    "$(lines '1 attach' '1 detach (FreeLibrary)')" "$calls"

# ---- The USB access library missing: the library refuses to load ----
install_sdk "$X64U" x64/qtv_api_core.dll
register_sdk 32 "$X64W"
run_tool
check "dependency missing, 32-bit view names a folder" same_text "no companion" \
    "$(lines "$H4" "[ INFO ] Path declared (64-bit view): $X64W\\qtv_api_core.dll" "$PRESENT" "$V151" "$ARCH64" \
    '[ FAIL ]   -> Dependency vxlinkapi_x64.dll NOT FOUND in the same folder. Loading qtv_api_core will likely fail.' \
    "[ INFO ] Path declared (32-bit view / WOW6432Node): $X64W" '[ WARN ]   -> File NOT FOUND at this location.' \
    "" "$H5" "[ FAIL ] LoadLibrary failed on $X64W\\qtv_api_core.dll (error code=1114).")" "$blocks"

# ---- Nothing at the registered path ----
rm -rf "$X64U"
wine_reg delete "$CLSID_KEY" /f /reg:32
run_tool
check "registered file absent" same_text "absent" \
    "$(lines "$H4" "[ INFO ] Path declared (64-bit view): $X64W\\qtv_api_core.dll" \
    '[ FAIL ]   -> File NOT FOUND at this location.' "$MISS32" "" "$H5" \
    "[ FAIL ] LoadLibrary failed on $X64W\\qtv_api_core.dll (error code=126).")" "$blocks"

# ---- A file that is no PE image ----
mkdir -p "$X64U"
printf 'not a library\r\n' > "$X64U/qtv_api_core.dll"
register_sdk 32 ''
run_tool
check "not a PE image: no architecture line; empty 32-bit value" same_text "not PE" \
    "$(lines "$H4" "[ INFO ] Path declared (64-bit view): $X64W\\qtv_api_core.dll" "$PRESENT" \
    '[ INFO ]   -> File version: (no version info)' \
    '[ FAIL ]   -> Dependency vxlinkapi_x64.dll NOT FOUND in the same folder. Loading qtv_api_core will likely fail.' \
    '[ WARN ] CLSID registry key present (32-bit view / WOW6432Node) but the value is empty/unreadable.' \
    "" "$H5" "[ FAIL ] LoadLibrary failed on $X64W\\qtv_api_core.dll (error code=193).")" "$blocks"

# ---- A 32-bit library in the 64-bit view ----
install_sdk "$X86U" x86/qtv_api_core.dll x86/vxlinkapi_x86.dll
register_sdk 64 "$X86W\\qtv_api_core.dll"
wine_reg delete "$CLSID_KEY" /f /reg:32
run_tool
check "x86 library in the 64-bit view" same_text "x86 in 64" \
    "$(lines "$H4" "[ INFO ] Path declared (64-bit view): $X86W\\qtv_api_core.dll" "$PRESENT" "$V151" \
    '[ FAIL ]   -> INCONSISTENT architecture: file is x86 (32-bit) while this registry view expects x64.' \
    '[ FAIL ]   -> Dependency vxlinkapi_x64.dll NOT FOUND in the same folder. Loading qtv_api_core will likely fail.' \
    "$MISS32" "" "$H5" "[ FAIL ] LoadLibrary failed on $X86W\\qtv_api_core.dll (error code=193).")" "$blocks"

# ---- Registered only in the 32-bit view ----
wine_reg delete "$CLSID_KEY" /f /reg:64
register_sdk 32 "$X86W\\qtv_api_core.dll"
run_tool
check "32-bit view only" same_text "32 only" \
    "$(lines "$H4" "$MISS64" "[ INFO ] Path declared (32-bit view / WOW6432Node): $X86W\\qtv_api_core.dll" "$PRESENT" \
    "$V151" '[  OK  ]   -> File architecture is consistent (x86 (32-bit)).' \
    '[  OK  ]   -> Dependency vxlinkapi_x86.dll present (version 2.3.0.0).' "" "$H5" "$NOKEY")" "$blocks"
check "32-bit view only: the library is never loaded" same_text "32 only calls" "" "$calls"

# ---- Neither view ----
wine_reg delete "$CLSID_KEY" /f /reg:32
run_tool
check "neither view" same_text "neither" "$(lines "$H4" "$MISS64" "$MISS32" "" "$H5" "$NOKEY")" "$blocks"

# ---- An empty registration in the process's view ----
register_sdk 64 ''
run_tool
check "empty value in the 64-bit view" same_text "empty 64" \
    "$(lines "$H4" '[ FAIL ] CLSID registry key present (64-bit view) but the value is empty/unreadable.' "$MISS32" \
    "" "$H5" '[ FAIL ] SDK registry value is unreadable: functional test cancelled.')" "$blocks"

# ---- A development build registered in both views; two devices ----
rm -rf "$C_DRIVE/Program Files (x86)/Quorvane"
install_sdk "$DEVU" x64/qtv_api_core.dll x64/vxlinkapi_x64.dll
register_sdk 64 "$DEVW\\qtv_api_core.dll"
register_sdk 32 "$DEVW\\qtv_api_core.dll"
run_tool QTVTEST_VERSION=1A05 QTVTEST_APPEAR_AT=3 'QTVTEST_DEVICES=-7;0;0;0;;;|0;0ABC;0001;0A05;;*FULL*;'
check "development build in both views, two devices" same_text "dev build" \
    "$(lines "$H4" "[ INFO ] Path declared (64-bit view): $DEVW\\qtv_api_core.dll" "$DEVWARN" "$PRESENT" "$V151" \
    "$ARCH64" "$DEP64" "[ INFO ] Path declared (32-bit view / WOW6432Node): $DEVW\\qtv_api_core.dll" "$DEVWARN" \
    "$PRESENT" "$V151" \
    '[ FAIL ]   -> INCONSISTENT architecture: file is x64 while this registry view expects x86 (32-bit).' \
    '[ FAIL ]   -> Dependency vxlinkapi_x86.dll NOT FOUND in the same folder. Loading qtv_api_core will likely fail.' \
    "" "$H5" "$INIT_OK" \
    '[ INFO ] SDK version loaded: 1A.05 (version known in the repository at the time this tool was generated: 1.51).' \
    "$(detection 3)" '[  OK  ] 2 Tonvela device(s) detected by the SDK.' \
    '[ WARN ] QTV_GetDeviceInfo(0) failed (code=-7).' \
    "[ INFO ] Device #1: $(printf 'F%.0s' $(seq 260)) (VID=0xABC, PID=0x1)" \
    '[ WARN ]   -> VID/PID differs from 0x2A7D/0x5E3C: another Quorvane Tonvela device may be plugged in.' \
    '         Firmware version: 10.05' '         Serial number: (not available)' '         Symbolic link: ')" \
    "$blocks"
check "development build: calls" same_text "dev build calls" \
    "$(lines '1 attach' '1 QTV_Init 338 0 0 -> 0' '1 QTV_Get_SDK_Version' '2 QTV_IsDeviceChanged -> 0' \
    '1 QTV_IsDeviceChanged -> 1' '1 QTV_GetDeviceCount' '1 QTV_GetDeviceInfo 0' '1 QTV_GetDeviceInfo 1' '1 QTV_Exit' \
    '1 detach (FreeLibrary)')" "$calls"

# ---- A registered name without any folder: no dependency line, and the
# library is not searched for, not even beside the exe ----
wine_reg delete "$CLSID_KEY" /f /reg:32
register_sdk 64 'qtv_api_core.dll'
exe_dir_files=(x64/qtv_api_core.dll x64/vxlinkapi_x64.dll)
run_tool
check "bare file name beside the exe" same_text "bare name" \
    "$(lines "$H4" '[ INFO ] Path declared (64-bit view): qtv_api_core.dll' "$PRESENT" "$V151" "$ARCH64" "$MISS32" \
    "" "$H5" '[ FAIL ] LoadLibrary failed on qtv_api_core.dll (error code=126).')" "$blocks"
check "bare file name beside the exe: the library is never loaded" same_text "bare name calls" "" "$calls"

# ---- REG_EXPAND_SZ in both views, as COM expands it: the declared text is
# shown, the expanded file checked and loaded; a 32-bit process's
# %ProgramFiles% is Program Files (x86) ----
install_sdk "$X64U" x64/qtv_api_core.dll x64/vxlinkapi_x64.dll
install_sdk "$X86U" x86/qtv_api_core.dll x86/vxlinkapi_x86.dll
DECLARED='%ProgramFiles%\Quorvane\Tonvela SDK\qtv_api_core.dll'
register_sdk 64 "$DECLARED" REG_EXPAND_SZ
register_sdk 32 "$DECLARED" REG_EXPAND_SZ
run_tool
check "REG_EXPAND_SZ in both views" same_text "expandable" \
    "$(lines "$H4" "[ INFO ] Path declared (64-bit view): $DECLARED" "$PRESENT" "$V151" "$ARCH64" "$DEP64" \
    "[ INFO ] Path declared (32-bit view / WOW6432Node): $DECLARED" "$PRESENT" "$V151" \
    '[  OK  ]   -> File architecture is consistent (x86 (32-bit)).' \
    '[  OK  ]   -> Dependency vxlinkapi_x86.dll present (version 2.3.0.0).' \
    "" "$H5" "$INIT_OK" "$VERSION151" "$(detection 100)" "$NODEVICE" "$SKIPPED")" "$blocks"
check "REG_EXPAND_SZ: the expanded library is loaded and released" same_text "expandable calls" \
    "$(lines '1 attach' '1 QTV_Init 338 0 0 -> 0' '1 QTV_Get_SDK_Version' '100 QTV_IsDeviceChanged -> 0' \
    '1 QTV_Exit' '1 detach (FreeLibrary)')" "$calls"

finish
