#!/usr/bin/env bash
# Section 3 of the Windows build under Wine. Wine has no USB device of ours
# and implements no WinUSB (calling its stubs would end the process), so the
# section must end at its first line, and the run must go on to the summary.
# Usage: low_level_section.sh VQ4_Diag.exe WINEPREFIX WINE
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"

ensure_prefix

dir=$(fresh_exe_dir)
( cd "$dir" && "$WINE" "$dir/VQ4_Diag.exe" /nopause /nofix > "$dir/stdout.txt" 2> "$dir/stderr.txt" )
code=$?
wineserver_wait

reports=("$dir"/VQ4_Diag_Report_*.txt)
check "one report file" [ -f "${reports[0]}" ]
report=${reports[0]}

header='==== 3. Low-level vendor-specific interface (WinUSB, UCR protocol) ===='
warn='[ WARN ] Interface MI_03 (vendor-specific) was not found in the USB enumeration: low-level communication test skipped.'
expected=$'\r\n'"$header"$'\r\n'"$warn"$'\r\n\r\n==== '
contains() {  # contains FILE TEXT: the file's bytes hold TEXT
    local content
    content=$(<"$1")
    [[ "$content" == *"$2"* ]]
}
check "section 3 is its header, then the L1 warning, then the next header" contains "$report" "$expected"
check "the run reached the summary" grep -q $'^==== Summary ====\r$' "$report"
check "exit code 0 or 1, not a crash ($code)" [ "$code" -eq 0 -o "$code" -eq 1 ]
check "nothing on stderr" [ ! -s "$dir/stderr.txt" ]

rm -rf "$dir"
finish
