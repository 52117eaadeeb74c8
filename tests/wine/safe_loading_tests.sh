#!/usr/bin/env bash
# DLLs planted beside the tool and in its current directory are never loaded:
# the tool is run from download folders and relaunches itself elevated.
# A marker DLL (testsdk/marker_dll.c) is copied there under the names the
# tool or the SDK would otherwise look for; when loaded, it leaves
# "<its path>.loaded" beside itself.
# Usage: safe_loading_tests.sh VQ4_Diag.exe WINEPREFIX WINE TESTSDK_DIR PROBE.exe OBJDUMP
if [ $# -ne 6 ]; then
    echo "usage: $0 VQ4_Diag.exe WINEPREFIX WINE TESTSDK_DIR PROBE.exe OBJDUMP" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
TESTSDK=$4
PROBE=$5
OBJDUMP=$6
MARKER="$TESTSDK/markers/marker.dll"

ensure_prefix

CLSID_KEY='HKCR\CLSID\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}'
C_DRIVE="$WINEPREFIX/drive_c"
SDKU="$C_DRIVE/Program Files/Quorvane/Tonvela SDK"
SDKW='C:\Program Files\Quorvane\Tonvela SDK'
PLANTED=(cfgmgr32.dll version.dll winusb.dll vxlinkapi_x64.dll qtv_api_core.dll)

scratch=()
# Leave the prefix as other tests expect it: no SDK registration, no SDK files.
clean_up() {
    wine_reg delete "$CLSID_KEY" /f /reg:64
    wine_reg delete "$CLSID_KEY" /f /reg:32
    rm -rf "$C_DRIVE/Program Files/Quorvane"
    [ ${#scratch[@]} -gt 0 ] && rm -rf "${scratch[@]}"
}
trap clean_up EXIT
clean_up
for name in $(env | sed -n 's/^\(QTVTEST_[A-Z_]*\)=.*/\1/p'); do unset "$name"; done

winpath() { local p=$1; echo "Z:${p//\//\\}"; }

plant() {  # plant FOLDER: the marker under every name
    local name
    for name in "${PLANTED[@]}"; do cp "$MARKER" "$1/$name"; done
}

# A folder for the tool (or the probe) and another as its current directory,
# both holding the planted copies.
new_folders() {
    exe_dir=$(fresh_exe_dir)
    cwd_dir=$(mktemp -d "$(dirname "$WINEPREFIX")/wine-cwd.XXXXXX")
    scratch+=("$exe_dir" "$cwd_dir")
    plant "$exe_dir"
    plant "$cwd_dir"
}

loaded_markers() {  # the marker files left in the two folders, by name
    (cd "$exe_dir" && ls -- *.loaded 2>/dev/null | sed 's/^/beside the exe: /')
    (cd "$cwd_dir" && ls -- *.loaded 2>/dev/null | sed 's/^/current directory: /')
}

no_marker_loaded() {
    local found
    found=$(loaded_markers)
    [ -z "$found" ] && return 0
    echo "$found"
    return 1
}

# run_tool: runs the exe with /nopause /nofix from $cwd_dir; sets $code, $report, $stdout, $calls.
run_tool() {
    ( cd "$cwd_dir" && export QTVTEST_LOG="$(winpath "$cwd_dir/sdk.log")" && wine_unelevated "$exe_dir/VQ4_Diag.exe" /nopause /nofix \
        > "$cwd_dir/stdout.txt" 2> "$cwd_dir/stderr.txt" )
    code=$?
    local reports=("$exe_dir"/VQ4_Diag_Report_*.txt)
    report=
    [ -f "${reports[0]}" ] && report=$(tr -d '\r' < "${reports[0]}")
    stdout=$(tr -d '\r' < "$cwd_dir/stdout.txt")
    calls=
    [ -f "$cwd_dir/sdk.log" ] && calls=$(tr -d '\r' < "$cwd_dir/sdk.log" | uniq -c | sed 's/^ *//')
}

run_completed() {
    { [ "$code" -eq 0 ] || [ "$code" -eq 1 ]; } && grep -q '^==== Summary ====$' <<<"$report" &&
        grep -q '^Report saved to:$' <<<"$stdout"
}

has_line() { grep -qxF -- "$2" <<<"$1"; }

# ---- The exe imports only DLLs that Windows takes from System32 whatever lies beside it ----
# (the KnownDLLs of Windows 10 and 11, and ntdll). Wine does not show a
# planted copy of a statically imported system DLL: it runs its own builtin.
KNOWN_DLLS=" advapi32.dll clbcatq.dll combase.dll comdlg32.dll coml2.dll difxapi.dll gdi32.dll gdiplus.dll imagehlp.dll
 imm32.dll kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll ntdll.dll ole32.dll oleaut32.dll psapi.dll rpcrt4.dll
 sechost.dll setupapi.dll shcore.dll shell32.dll shlwapi.dll user32.dll wldap32.dll ws2_32.dll "
only_known_imports() {
    local dll imports
    imports=$("$OBJDUMP" -p "$WINE_EXE_SRC" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
    [ -n "$imports" ] || { echo "no import table read"; return 1; }
    for dll in $imports; do
        case "$KNOWN_DLLS" in
            *[[:space:]]"$dll"[[:space:]]*) ;;
            *) echo "imports $dll, which is no known DLL"; return 1 ;;
        esac
    done
}
check "the exe's static imports are all known DLLs" only_known_imports

# ---- The planted copies do work when loaded: the probe loads one by its full path ----
control=$(mktemp -d "$(dirname "$WINEPREFIX")/wine-control.XXXXXX")
scratch+=("$control")
cp "$MARKER" "$control/qtv_api_core.dll"
new_folders
cp "$PROBE" "$exe_dir/probe.exe"
# The SDK whose QTV_Init loads vxlinkapi_x64.dll by its bare name, installed
# (not registered) for the probe; copies of that name are planted beside the
# probe and in its current directory.
mkdir -p "$SDKU"
cp "$TESTSDK/x64-by-name/qtv_api_core.dll" "$TESTSDK/x64/vxlinkapi_x64.dll" "$SDKU/"
probe=$(cd "$cwd_dir" && "$WINE" "$exe_dir/probe.exe" "$(winpath "$control/qtv_api_core.dll")" \
    "$SDKW\\qtv_api_core.dll" 2>/dev/null | tr -d '\r')
check "control: a marker loaded by its full path leaves its file" [ -f "$control/qtv_api_core.dll.loaded" ]
check "control: ... and loads (load_qualified=0)" has_line "$probe" 'load_qualified=0'

# ---- Every run-time load of the platform layer, with copies planted beside it and in its current directory ----
check "probe: no planted DLL loaded" no_marker_loaded
probe_value() { sed -n "s/^$1=//p" <<<"$probe"; }
system32=$(probe_value system_directory)
from_system32() {  # from_system32 DLL: the probe's module of that name is System32's
    local module
    module=$(probe_value "module $1")
    [ -n "$system32" ] && [ "${module,,}" = "${system32,,}\\$1" ] && return 0
    echo "module $1: $module"
    return 1
}
cm=$(probe_value cm_locate_devnode)
check "probe: CM_Locate_DevNodeW answered ($cm), not by the marker (-99 = 4294967197)" \
    bash -c '[ -n "$1" ] && [ "$1" != 4294967197 ]' _ "$cm"
check "probe: cfgmgr32.dll from System32" from_system32 cfgmgr32.dll
check "probe: version.dll reads kernel32's version resource" \
    bash -c '[[ "$1" =~ ^([0-9]+)\ error=0$ ]] && [ "${BASH_REMATCH[1]}" -gt 0 ]' _ "$(probe_value version_info_size)"
# No module-path check for version.dll: Wine's own setupapi.dll imports it,
# and Wine resolves that import, before the probe starts, by loading its
# builtin version.dll under the name of the file it found beside the exe
# (the marker's code is not run: no marker file, and the answer above is
# real). On Windows setupapi.dll is a known DLL whose imports come from
# System32.
usb=$(probe_value winusb_initialize)
check "probe: WinUsb_Initialize answered ($usb), not by the marker (536890699)" \
    bash -c '[ -n "$1" ] && [ "$1" != 536890699 ]' _ "$usb"
check "probe: winusb.dll from System32" from_system32 winusb.dll
check "probe: a bare name is not searched for (126)" has_line "$probe" 'load_bare=126'
check "probe: a relative path is not searched for (126)" has_line "$probe" 'load_relative=126'
check "probe: the SDK's own load by bare name finds nothing without its folder in the search (-22)" \
    has_line "$probe" 'by_name_without_folder=-22'
check "probe: ... and its own copy with its folder added (0)" has_line "$probe" 'by_name_with_folder=0'
[ "$failures" -eq 0 ] || printf '%s\n' "$probe"

# ---- (1) The tool with no SDK registered ----
new_folders
run_tool
check "no SDK: the run completed" run_completed
check "no SDK: no planted DLL loaded" no_marker_loaded

# ---- (2) An SDK that imports its companion statically, both in its own folder ----
rm -rf "$SDKU"
mkdir -p "$SDKU"
cp "$TESTSDK/x64-static-companion/qtv_api_core.dll" "$TESTSDK/x64/vxlinkapi_x64.dll" "$SDKU/"
wine_reg add "$CLSID_KEY\\InProcServer32" /ve /t REG_SZ /d "$SDKW\\qtv_api_core.dll" /f /reg:64
new_folders
run_tool
check "static companion: the run completed" run_completed
check "static companion: section 4 reads the SDK's version (version.dll)" \
    has_line "$report" '[ INFO ]   -> File version: 1.51.0.0'
check "static companion: section 5 initialises the SDK" \
    has_line "$report" '[  OK  ] SDK initialized successfully (QTV_Init).'
check "static companion: the import was bound in the SDK's folder" has_line "$calls" '1 QTV_Init 338 0 0 -> 0'
check "static companion: no planted DLL loaded" no_marker_loaded
[ "$failures" -eq 0 ] || printf '%s\n' "$report" "$calls"

# ---- (3) A registered bare name, with a copy of that name beside the exe and in the current directory ----
wine_reg add "$CLSID_KEY\\InProcServer32" /ve /t REG_SZ /d 'qtv_api_core.dll' /f /reg:64
new_folders
run_tool
check "bare name: the run completed" run_completed
check "bare name: not searched for" \
    has_line "$report" '[ FAIL ] LoadLibrary failed on qtv_api_core.dll (error code=126).'
check "bare name: no planted DLL loaded" no_marker_loaded

# ---- (4) An SDK whose QTV_Init loads its companion by its bare name, with
# copies of that name beside the exe and in the current directory; then the
# same registered with forward slashes ----
rm -rf "$SDKU"
mkdir -p "$SDKU"
cp "$TESTSDK/x64-by-name/qtv_api_core.dll" "$TESTSDK/x64/vxlinkapi_x64.dll" "$SDKU/"
for registered in "$SDKW\\qtv_api_core.dll" "${SDKW//\\//}/qtv_api_core.dll"; do
    wine_reg add "$CLSID_KEY\\InProcServer32" /ve /t REG_SZ /d "$registered" /f /reg:64
    new_folders
    run_tool
    check "companion by name ($registered): the run completed" run_completed
    check "companion by name ($registered): the path shown as declared" \
        has_line "$report" "[ INFO ] Path declared (64-bit view): $registered"
    check "companion by name ($registered): QTV_Init finds the copy in the SDK's folder" \
        has_line "$report" '[  OK  ] SDK initialized successfully (QTV_Init).'
    check "companion by name ($registered): QTV_Init 338 0 0 -> 0" has_line "$calls" '1 QTV_Init 338 0 0 -> 0'
    check "companion by name ($registered): no planted DLL loaded" no_marker_loaded
    [ "$failures" -eq 0 ] || printf '%s\n' "$report" "$calls"
done

finish
