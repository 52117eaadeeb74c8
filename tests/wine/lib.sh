# Shared helpers for the Wine tests: one prefix per build tree, reused.
set -u

WINE_EXE_SRC=$1
WINEPREFIX=$2
WINE=$3
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine under CI has no display; keep it from trying.
unset DISPLAY

failures=0
passes=0

check() {  # check "what" command...
    local what=$1
    shift
    if "$@"; then
        passes=$((passes + 1))
    else
        failures=$((failures + 1))
        echo "FAIL: $what"
    fi
}

# Each test runs in a prefix of its own, a fresh copy of the template that the
# wine.prefix test made (VQ4_WINE_TEMPLATE); without one, a prefix is booted.
ensure_prefix() {
    if [ -n "${VQ4_WINE_TEMPLATE:-}" ] && [ -f "$VQ4_WINE_TEMPLATE/.vq4-complete" ]; then
        wineserver_kill
        rm -rf "$WINEPREFIX"
        mkdir -p "$(dirname "$WINEPREFIX")"
        cp -a "$VQ4_WINE_TEMPLATE" "$WINEPREFIX"
    elif [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        "$WINE" wineboot --init >/dev/null 2>&1
        wineserver_wait
    fi
}

wineserver_kill() {
    local server
    server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
    [ -d "$WINEPREFIX" ] && WINEPREFIX=$WINEPREFIX "$server" -k 2>/dev/null
    return 0
}

wineserver_wait() {
    local server
    server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
    WINEPREFIX=$WINEPREFIX "$server" -w 2>/dev/null || true
}

wine_reg() {  # wine_reg add|delete ARGS...
    "$WINE" reg "$@" >/dev/null 2>&1
}

# Copies the exe into a fresh folder, so its report lands beside it there.
fresh_exe_dir() {
    local dir
    dir=$(mktemp -d "$(dirname "$WINEPREFIX")/wine-run.XXXXXX")
    cp "$WINE_EXE_SRC" "$dir/VQ4_Diag.exe"
    echo "$dir"
}

# The standard user's token for the program that follows (tests/wine/run_unelevated.cpp):
# wine_unelevated UNIX_EXE [ARGUMENTS...]. Without the launcher (a script run by hand), as elevated.
wine_unelevated() {
    local exe=$1
    shift
    if [ -n "${VQ4_WINE_UNELEVATED:-}" ]; then
        "$WINE" "$VQ4_WINE_UNELEVATED" "$(winpath "$exe")" "$@"
    else
        "$WINE" "$exe" "$@"
    fi
}

finish() {
    echo "$passes passed, $failures failed"
    [ "$failures" -eq 0 ]
}

winpath() { local p=$1; echo "Z:${p//\//\\}"; }

# ---- Section 1: the Windows version values in the prefix's registry ----

VERSION_KEY='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'

set_os_version() {  # set_os_version PRODUCT_NAME DISPLAY_VERSION|- CURRENT_BUILD ("-": no DisplayVersion)
    wine_reg add "$VERSION_KEY" /v ProductName /t REG_SZ /d "$1" /f
    if [ "$2" = - ]; then
        wine_reg delete "$VERSION_KEY" /v DisplayVersion /f
    else
        wine_reg add "$VERSION_KEY" /v DisplayVersion /t REG_SZ /d "$2" /f
    fi
    wine_reg add "$VERSION_KEY" /v CurrentBuildNumber /t REG_SZ /d "$3" /f
}

# ---- Section 2: the device's USB nodes written into the prefix's Enum tree,
# where Wine's SetupAPI lists them as present devices ----

ENUM_KEY='HKLM\System\CurrentControlSet\Enum'
USB_CLASS='{36FC9E60-C465-11CF-8056-444553540000}'
DEVICE_KEYS=(
    'USB\VID_2A7D&PID_5E21'
    'USB\VID_2A7D&PID_5E3C'
    'USB\VID_2A7D&PID_5E3C&MI_00'
    'USB\VID_2A7D&PID_5E3C&MI_01'
    'USB\VID_2A7D&PID_5E3C&MI_03'
    'HID\VID_2A7D&PID_5E3C&MI_00'
)

remove_device_keys() {
    local key
    for key in "${DEVICE_KEYS[@]}"; do wine_reg delete "$ENUM_KEY\\$key" /f; done
}

add_node() {  # add_node INSTANCE_ID NAME=VALUE...
    local key="$ENUM_KEY\\$1" pair
    shift
    wine_reg add "$key" /v ClassGUID /t REG_SZ /d "$USB_CLASS" /f
    for pair in "$@"; do
        wine_reg add "$key" /v "${pair%%=*}" /t REG_SZ /d "${pair#*=}" /f
    done
}

# The device's four nodes, with the names and services the USB test expects,
# beside two nodes that are not its USB nodes.
add_device_nodes() {
    # Another product of the same maker, and a HID child of MI_00: not the device's USB nodes.
    add_node 'USB\VID_2A7D&PID_5E21\QV2WINE01' 'DeviceDesc=USB Composite Device' 'FriendlyName=Vantro Q2' 'Service=usbccgp'
    add_node 'HID\VID_2A7D&PID_5E3C&MI_00\7&WINE&0&0000' 'DeviceDesc=HID-compliant device' 'Service=HidUsb'
    # Friendly name set but empty: the device description is shown.
    add_node 'USB\VID_2A7D&PID_5E3C\QV4WINE01' 'FriendlyName=' 'DeviceDesc=USB Composite Device' 'Service=usbccgp'
    add_node 'USB\VID_2A7D&PID_5E3C&MI_00\6&WINE&0&0000' 'FriendlyName=Vantro Q4 Audio' 'DeviceDesc=USB Audio Device' \
        'Service=usbaudio2'
    # Neither name: no Description line.
    add_node 'USB\VID_2A7D&PID_5E3C&MI_01\6&WINE&0&0001' 'Service=usbaudio2'
    # No driver service.
    add_node 'USB\VID_2A7D&PID_5E3C&MI_03\6&WINE&0&0003' 'DeviceDesc=Vantro Q4 Vendor Interface'
}

# ---- Sections 4 and 5: the project's test SDK (TESTSDK: its build folder)
# installed and registered in the prefix ----

CLSID_KEY='HKCR\CLSID\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}'
C_DRIVE="$WINEPREFIX/drive_c"
X64U="$C_DRIVE/Program Files/Quorvane/Tonvela SDK"
X64W='C:\Program Files\Quorvane\Tonvela SDK'
X86U="$C_DRIVE/Program Files (x86)/Quorvane/Tonvela SDK"
X86W='C:\Program Files (x86)\Quorvane\Tonvela SDK'
DEVU="$C_DRIVE/Projects/Tonvela/x64/Release"
DEVW='C:\Projects\Tonvela\x64\Release'

# No SDK registration, no SDK files, no QTVTEST_* answers of the test SDK.
remove_test_sdk() {
    wine_reg delete "$CLSID_KEY" /f /reg:64
    wine_reg delete "$CLSID_KEY" /f /reg:32
    rm -rf "$C_DRIVE/Program Files/Quorvane" "$C_DRIVE/Program Files (x86)/Quorvane" "$C_DRIVE/Projects"
    local name
    for name in $(env | sed -n 's/^\(QTVTEST_[A-Z_]*\)=.*/\1/p'); do unset "$name"; done
}

register_sdk() {  # register_sdk 64|32 VALUE [TYPE]
    wine_reg add "$CLSID_KEY\\InProcServer32" /ve /t "${3:-REG_SZ}" /d "$2" /f "/reg:$1"
}

install_sdk() {  # install_sdk UNIX_FOLDER FILE... (files of the test SDK build, by relative path)
    local folder=$1 file
    shift
    rm -rf "$folder"
    mkdir -p "$folder"
    for file in "$@"; do cp "$TESTSDK/$file" "$folder/"; done
}

# ---- Section 6: the maker's software as Wine lists it: Uninstall entries in
# both keys, a stopped service, a running process ----

UNINSTALL64='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
UNINSTALL32='HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
RELATED_ENTRIES=("$UNINSTALL64\\VQ4DiagTest_Suite" "$UNINSTALL64\\VQ4DiagTest_SpinDeck" "$UNINSTALL64\\VQ4DiagTest_NoName"
                 "$UNINSTALL64\\VQ4DiagTest_Long" "$UNINSTALL32\\VQ4DiagTest_Suite" "$UNINSTALL32\\VQ4DiagTest_Legacy")
RELATED_SERVICE=vq4diag_test_svc
related_helper_pid=
related_dir=
related_windows_pid=

remove_related_entries() {
    local key
    for key in "${RELATED_ENTRIES[@]}"; do wine_reg delete "$key" /f; done
    "$WINE" sc delete "$RELATED_SERVICE" >/dev/null 2>&1
}

add_related_entries() {
    wine_reg add "$UNINSTALL64\\VQ4DiagTest_Suite" /v DisplayName /t REG_SZ /d "Quorvane Tonvela Suite (Wine test)" /f
    wine_reg add "$UNINSTALL64\\VQ4DiagTest_Suite" /v DisplayVersion /t REG_SZ /d "3.2.1" /f
    wine_reg add "$UNINSTALL64\\VQ4DiagTest_Suite" /v InstallLocation /t REG_SZ /d 'C:\Program Files\Quorvane\Tonvela' /f
    wine_reg add "$UNINSTALL64\\VQ4DiagTest_SpinDeck" /v DisplayName /t REG_SZ /d "QuorvaneSpinDeck Studio" /f
    wine_reg add "$UNINSTALL64\\VQ4DiagTest_NoName" /v DisplayVersion /t REG_SZ /d "1.0" /f
    # 256 characters and the NUL do not fit the 512-byte DisplayName buffer.
    wine_reg add "$UNINSTALL64\\VQ4DiagTest_Long" /v DisplayName /t REG_SZ /d "Quorvane $(printf 'L%.0s' $(seq 247))" /f
    wine_reg add "$UNINSTALL32\\VQ4DiagTest_Suite" /v DisplayName /t REG_SZ /d "Quorvane Tonvela Suite (Wine test)" /f
    wine_reg add "$UNINSTALL32\\VQ4DiagTest_Suite" /v DisplayVersion /t REG_SZ /d "3.2.1" /f
    wine_reg add "$UNINSTALL32\\VQ4DiagTest_Suite" /v InstallLocation /t REG_SZ /d 'C:\Program Files (x86)\Quorvane\Tonvela' /f
    wine_reg add "$UNINSTALL32\\VQ4DiagTest_Legacy" /v DisplayName /t REG_SZ /d "QTV Legacy Tools (Wine test)" /f
    wine_reg add "$UNINSTALL32\\VQ4DiagTest_Legacy" /v DisplayVersion /t REG_SZ /d "" /f
}

# A stopped Win32 service whose display name only is related.
add_related_service() {
    "$WINE" sc create "$RELATED_SERVICE" binpath= 'C:\windows\system32\notepad.exe' displayname= "Vantro Q4 Test Service"
}

# Starts QuorvaneHelper.exe (a running process whose file name is related)
# from a folder of its own; sets $related_windows_pid, its Windows process id.
start_related_process() {  # start_related_process HELPER.exe
    related_dir=$(mktemp -d "$(dirname "$WINEPREFIX")/wine-related.XXXXXX")
    cp "$1" "$related_dir/QuorvaneHelper.exe"
    ( cd "$related_dir" && exec "$WINE" "$related_dir/QuorvaneHelper.exe" pid.txt >/dev/null 2>&1 ) &
    related_helper_pid=$!
    for _ in $(seq 300); do
        [ -s "$related_dir/pid.txt" ] && break
        sleep 0.1
    done
    related_windows_pid=$(cat "$related_dir/pid.txt" 2>/dev/null)
    [ -n "$related_windows_pid" ]
}

stop_related_process() {
    if [ -n "$related_helper_pid" ]; then
        kill "$related_helper_pid" 2>/dev/null
        wait "$related_helper_pid" 2>/dev/null
        related_helper_pid=
    fi
    [ -n "$related_dir" ] && rm -rf "$related_dir"
    related_dir=
}
