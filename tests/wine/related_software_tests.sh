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

header='==== 6. Related applications / processes / services (dynamic search) ===='
nothing_found="[ INFO ] No application, process or Windows service whose name contains 'Quorvane', 'Vantro' or 'QTV' was found. This is normal if only the SDK is installed without the full Tonvela application, or if the application is not currently running."

cleanup() {
    stop_related_process
    remove_related_entries
    wineserver_wait
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
remove_related_entries

# 1. Nothing related in the prefix: the header and the closing line only.
expected=$(printf '%s\r\n%s\r\n' "$header" "$nothing_found")
actual=$(section_six)
check "clean prefix: header and closing line only" [ "$actual" = "$expected" ]
[ "$actual" = "$expected" ] || printf '%s\n' "--- got:" "$actual"

# 2. Uninstall entries in both keys.
add_related_entries

# 3. A stopped Win32 service whose display name only is related.
check "sc create made the test service" add_related_service
check "the test service is a stopped Win32 service" \
    bash -c '"$1" sc query "$2" | tr -d "\r" | grep -q "STATE *: 1  STOPPED"' _ "$WINE" "$RELATED_SERVICE"

# 4. A running process whose file name is related; it tells its Windows process id.
check "QuorvaneHelper.exe started" start_related_process "$HELPER_SRC"

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
    "[ INFO ] Running process: QuorvaneHelper.exe (PID $related_windows_pid)" \
    "[ WARN ] Windows service: Vantro Q4 Test Service ($RELATED_SERVICE) - state: stopped")
check "section 6 lists the programs, the process and the service" [ "$actual" = "$expected" ]
[ "$actual" = "$expected" ] || printf '%s\n' "--- expected:" "$expected" "--- got:" "$actual"

finish
