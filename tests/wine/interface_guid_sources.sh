#!/usr/bin/env bash
# The SDK configuration lookup and the registered-GUID reads on the real
# Windows API under Wine: vq4_platform_probe.exe runs the same case tables as
# the GoogleTest suite on the simulated machine.
# Usage: interface_guid_sources.sh vq4_platform_probe.exe WINEPREFIX WINE
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"

ensure_prefix

dir=$(mktemp -d "$(dirname "$WINEPREFIX")/wine-probe.XXXXXX")
cp "$WINE_EXE_SRC" "$dir/vq4_platform_probe.exe"

# The SDK registration key (the probe points its default value at each case's
# folder) and one empty key per registered-GUID case, from a clean state.
{
    printf 'REGEDIT4\r\n\r\n'
    printf '[-HKEY_LOCAL_MACHINE\\SOFTWARE\\VQ4Probe]\r\n\r\n'
    printf '[HKEY_CLASSES_ROOT\\CLSID\\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\\InProcServer32]\r\n'
    printf '@="C:\\\\nowhere\\\\qtv_api_core.dll"\r\n\r\n'
    for i in $(seq 0 19); do
        printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\VQ4Probe\\rg_%d]\r\n\r\n' "$i"
    done
} > "$dir/keys.reg"
( cd "$dir" && "$WINE" regedit /S keys.reg >/dev/null 2>&1 )
wineserver_wait
check "registration key created" wine_reg query 'HKCR\CLSID\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\InProcServer32'

( cd "$dir" && "$WINE" "$dir/vq4_platform_probe.exe" > "$dir/stdout.txt" 2> "$dir/stderr.txt" )
code=$?
wineserver_wait
cat "$dir/stdout.txt"
check "every case agrees with the simulated machine's answer" [ "$code" -eq 0 ]
check "the probe ran its cases" grep -q ' cases, 0 failed' "$dir/stdout.txt"

wine_reg delete 'HKLM\SOFTWARE\VQ4Probe' /f
rm -rf "$dir"
finish
