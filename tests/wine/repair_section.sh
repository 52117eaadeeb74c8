#!/usr/bin/env bash
# Wine has no Vantro Q4: the repair section finds no candidate and prints
# nothing, not even its header, and the run ends as without it.
# Usage: repair_section.sh VQ4_Diag.exe WINEPREFIX WINE
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"

ensure_prefix

dir=$(fresh_exe_dir)
# No /nofix: the repair section runs; no input, so a question would find none.
( cd "$dir" && "$WINE" "$dir/VQ4_Diag.exe" /nopause < /dev/null > "$dir/stdout.txt" 2> "$dir/stderr.txt" )
code=$?
wineserver_wait

reports=("$dir"/VQ4_Diag_Report_*.txt)
check "exactly one report file beside the exe" [ ${#reports[@]} -eq 1 ] && [ -f "${reports[0]}" ]
report=${reports[0]}

check "the summary was printed" grep -q $'^==== Summary ====\r$' "$report"
check "no repair section header in the report" bash -c '! grep -q "7. Automatic repair" "$1"' _ "$report"
check "no repair section header on the console" bash -c '! grep -q "7. Automatic repair" "$1"' _ "$dir/stdout.txt"
check "no consent question" bash -c '! grep -q "Apply the repair now" "$1"' _ "$dir/stdout.txt"
check "no second summary" bash -c '! grep -q "Summary after repair" "$1"' _ "$report"
check "the report ends with the first summary's verdict" \
    bash -c 'tail -n 1 "$1" | grep -qE "^\[( FAIL | WARN |  OK  )\] "' _ "$report"

fails=$(grep -c '^\[ FAIL \]' "$report")
expected_code=0
[ "$fails" -gt 0 ] && expected_code=1
check "exit code $code follows the Fail lines ($fails)" [ "$code" -eq "$expected_code" ]
check "the run ends with the closing message" grep -q "Report saved to:" "$dir/stdout.txt"

rm -rf "$dir"
finish
