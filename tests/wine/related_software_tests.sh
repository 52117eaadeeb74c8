#!/usr/bin/env bash
# Section 6 of the Windows build under Wine, on what Wine really lists: the
# prefix's Uninstall keys, a running process whose file name is related and a
# stopped service whose display name is related. Everything written into the
# prefix is removed again, also when the test fails.
# Usage: related_software_tests.sh VQ4_Diag.exe WINEPREFIX WINE QuorvaneHelper.exe
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
HELPER_SRC=$4

ensure_prefix

u64='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
u32='HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
entries=("$u64\\VQ4DiagTest_Suite" "$u64\\VQ4DiagTest_SpinDeck" "$u64\\VQ4DiagTest_NoName" "$u64\\VQ4DiagTest_Long"
         "$u32\\VQ4DiagTest_Suite" "$u32\\VQ4DiagTest_Legacy")
service=vq4diag_test_svc
header='==== 6. Related applications / processes / services (dynamic search) ===='
nothing_found="[ INFO ] No application, process or Windows service whose name contains 'Quorvane', 'Vantro' or 'QTV' was found. This is normal if only the SDK is installed without the full Tonvela application, or if the application is not currently running."
helper_pid=
run_dir=

remove_test_entries() {
    for key in "${entries[@]}"; do wine_reg delete "$key" /f; done
    "$WINE" sc delete "$service" >/dev/null 2>&1
}

cleanup() {
    if [ -n "$helper_pid" ]; then
        kill "$helper_pid" 2>/dev/null
        wait "$helper_pid" 2>/dev/null
    fi
    remove_test_entries
    wineserver_wait
    [ -n "$run_dir" ] && rm -rf "$run_dir"
}
trap cleanup EXIT

# Section 6 of one run of the exe in its own folder, CR LF kept.
section_six() {
    local dir report
    dir=$(fresh_exe_dir)
    ( cd "$dir" && "$WINE" "$dir/VQ4_Diag.exe" /nopause /nofix > "$dir/stdout.txt" 2> "$dir/stderr.txt" )
    report=$(ls "$dir"/VQ4_Diag_Report_*.txt 2>/dev/null | head -n 1)
    if [ -n "$report" ]; then
        awk -v h="$header"$'\r' 'index($0, "==== ") == 1 { on = ($0 == h) } on && $0 != "\r"' "$report"
    fi
    rm -rf "$dir"
}

# A leftover of an interrupted run must not be taken for the prefix's own state.
remove_test_entries

# 1. Nothing related in the prefix: the header and the closing line only.
expected=$(printf '%s\r\n%s\r\n' "$header" "$nothing_found")
actual=$(section_six)
check "clean prefix: header and closing line only" [ "$actual" = "$expected" ]
[ "$actual" = "$expected" ] || printf '%s\n' "--- got:" "$actual"

# 2. Uninstall entries in both keys.
wine_reg add "$u64\\VQ4DiagTest_Suite" /v DisplayName /t REG_SZ /d "Quorvane Tonvela Suite (Wine test)" /f
wine_reg add "$u64\\VQ4DiagTest_Suite" /v DisplayVersion /t REG_SZ /d "3.2.1" /f
wine_reg add "$u64\\VQ4DiagTest_Suite" /v InstallLocation /t REG_SZ /d 'C:\Program Files\Quorvane\Tonvela' /f
wine_reg add "$u64\\VQ4DiagTest_SpinDeck" /v DisplayName /t REG_SZ /d "QuorvaneSpinDeck Studio" /f
wine_reg add "$u64\\VQ4DiagTest_NoName" /v DisplayVersion /t REG_SZ /d "1.0" /f
# 256 characters and the NUL do not fit the 512-byte DisplayName buffer.
wine_reg add "$u64\\VQ4DiagTest_Long" /v DisplayName /t REG_SZ /d "Quorvane $(printf 'L%.0s' $(seq 247))" /f
wine_reg add "$u32\\VQ4DiagTest_Suite" /v DisplayName /t REG_SZ /d "Quorvane Tonvela Suite (Wine test)" /f
wine_reg add "$u32\\VQ4DiagTest_Suite" /v DisplayVersion /t REG_SZ /d "3.2.1" /f
wine_reg add "$u32\\VQ4DiagTest_Suite" /v InstallLocation /t REG_SZ /d 'C:\Program Files (x86)\Quorvane\Tonvela' /f
wine_reg add "$u32\\VQ4DiagTest_Legacy" /v DisplayName /t REG_SZ /d "QTV Legacy Tools (Wine test)" /f
wine_reg add "$u32\\VQ4DiagTest_Legacy" /v DisplayVersion /t REG_SZ /d "" /f

# 3. A stopped Win32 service whose display name only is related.
check "sc create made the test service" \
    "$WINE" sc create "$service" binpath= 'C:\windows\system32\notepad.exe' displayname= "Vantro Q4 Test Service"
check "the test service is a stopped Win32 service" \
    bash -c '"$1" sc query "$2" | tr -d "\r" | grep -q "STATE *: 1  STOPPED"' _ "$WINE" "$service"

# 4. A running process whose file name is related; it tells its Windows process id.
run_dir=$(mktemp -d "$(dirname "$WINEPREFIX")/wine-related.XXXXXX")
cp "$HELPER_SRC" "$run_dir/QuorvaneHelper.exe"
( cd "$run_dir" && exec "$WINE" "$run_dir/QuorvaneHelper.exe" pid.txt >/dev/null 2>&1 ) &
helper_pid=$!
for _ in $(seq 300); do
    [ -s "$run_dir/pid.txt" ] && break
    sleep 0.1
done
check "QuorvaneHelper.exe started" [ -s "$run_dir/pid.txt" ]
windows_pid=$(cat "$run_dir/pid.txt" 2>/dev/null)

actual=$(section_six)
# Wine lists subkeys sorted by name; the 64-bit key comes first, and the
# program entered in both keys is listed twice.
expected=$(printf '%s\r\n' \
    "$header" \
    "[ INFO ] Installed program: Quorvane Tonvela Suite (Wine test) (version 3.2.1)" \
    '         Install folder: C:\Program Files\Quorvane\Tonvela' \
    "[ INFO ] Installed program: QTV Legacy Tools (Wine test)" \
    "[ INFO ] Installed program: Quorvane Tonvela Suite (Wine test) (version 3.2.1)" \
    '         Install folder: C:\Program Files (x86)\Quorvane\Tonvela' \
    "[ INFO ] Running process: QuorvaneHelper.exe (PID $windows_pid)" \
    "[ WARN ] Windows service: Vantro Q4 Test Service ($service) - state: stopped")
check "section 6 lists the programs, the process and the service" [ "$actual" = "$expected" ]
[ "$actual" = "$expected" ] || printf '%s\n' "--- expected:" "$expected" "--- got:" "$actual"

finish
