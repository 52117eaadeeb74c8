#!/usr/bin/env bash
# The Windows build under Wine: its report file, console output and exit code.
# Usage: run_wine_tests.sh VQ4_Diag.exe WINEPREFIX WINE
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"

ensure_prefix

# Section 1 reads what we write into the prefix's registry.
key='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
wine_reg add "$key" /v ProductName /t REG_SZ /d "Windows 10 Pro" /f
wine_reg add "$key" /v DisplayVersion /t REG_SZ /d "23H2" /f
wine_reg add "$key" /v CurrentBuildNumber /t REG_SZ /d "22631" /f

dir=$(fresh_exe_dir)
( cd "$dir" && "$WINE" "$dir/VQ4_Diag.exe" /nopause > "$dir/stdout.txt" 2> "$dir/stderr.txt" )
code=$?
wineserver_wait

reports=("$dir"/VQ4_Diag_Report_*.txt)
check "exactly one report file beside the exe" [ ${#reports[@]} -eq 1 ] && [ -f "${reports[0]}" ]
report=${reports[0]}
name=$(basename "$report")
check "report name VQ4_Diag_Report_YYYYMMDD_hhmmss.txt ($name)" \
    bash -c '[[ "$1" =~ ^VQ4_Diag_Report_[0-9]{8}_[0-9]{6}\.txt$ ]]' _ "$name"

banner=$'==============================================================\r\n Diagnostic tool - Quorvane Vantro Q4 (VID_2A7D&PID_5E3C)\r\n==============================================================\r\n'
check "report starts with the banner (no BOM)" bash -c 'printf "%s" "$1" | cmp -s -n ${#1} - "$2"' _ "$banner" "$report"
check "section 1 reads the prefix registry (Windows 11 rule)" \
    grep -q $'^\\[ INFO \\] OS: Windows 11 Pro (version 23H2, build 22631)\r$' "$report"
check "section 1 names the host architecture" grep -q $'^\\[ INFO \\] System architecture: x64\r$' "$report"
check "summary header" grep -q $'^==== Summary ====\r$' "$report"
check "every line ends in CR LF" bash -c '! grep -q $'"'"'[^\r]$'"'"' "$1" && [ "$(tail -c 2 "$1" | od -An -tx1 | tr -d " ")" = "0d0a" ]' _ "$report"
check "no byte beyond Latin-1 encoding rules (no UTF-8 BOM)" bash -c '[ "$(head -c 3 "$1" | od -An -tx1 | tr -d " ")" != "efbbbf" ]' _ "$report"

fails=$(grep -c '^\[ FAIL \]' "$report")
expected_code=0
[ "$fails" -gt 0 ] && expected_code=1
check "exit code $code follows the Fail lines ($fails)" [ "$code" -eq "$expected_code" ]

# Redirected stdout holds the same lines as the report, then the closing message.
check "redirected stdout starts with the whole report" \
    cmp -s -n "$(stat -c %s "$report")" "$report" "$dir/stdout.txt"
check "closing message names the report" grep -q "Report saved to:" "$dir/stdout.txt"
check "no pause prompt with /nopause" bash -c '! grep -q "Press Enter" "$1"' _ "$dir/stdout.txt"

rm -rf "$dir"
finish
