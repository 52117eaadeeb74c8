#!/usr/bin/env bash
# "/json" under Wine: the Windows build writes the same JSON report as the
# Linux build on the simulated machine of the same state (prefix-state.json),
# apart from what belongs to one run: the local time and the report's path.
# Usage: json_report.sh VQ4_Diag.exe WINEPREFIX WINE LINUX_BINARY PYTHON
# Exits 77 (skipped) when the Linux build's binary is not there.
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
LINUX_BINARY=$4
PYTHON=$5

if [ ! -x "$LINUX_BINARY" ]; then
    echo "SKIP: no Linux build at $LINUX_BINARY (build the linux preset first)"
    exit 77
fi

ensure_prefix

# The prefix's state, as prefix-state.json describes it.
key='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
wine_reg add "$key" /v ProductName /t REG_SZ /d "Windows 10 Pro" /f
wine_reg add "$key" /v DisplayVersion /t REG_SZ /d "23H2" /f
wine_reg add "$key" /v CurrentBuildNumber /t REG_SZ /d "22631" /f
wineserver_wait

# What a run's JSON holds apart from the time and the report's path.
comparable() {  # comparable FILE.json
    "$PYTHON" - "$1" <<'PY'
import json, sys
document = json.load(open(sys.argv[1], encoding="utf-8"))
assert document["schema"] == 1
document.pop("local_time")
document.pop("report_file")
print(json.dumps(document, indent=1, sort_keys=True, ensure_ascii=False))
PY
}

# 0 when the JSON's lines, written as the text report writes them (headers
# where the section changes, bracketed tags, nine-space details, Latin-1 with
# '?' beyond U+00FF, CR LF), give the text report byte for byte.
lines_give_the_text_report() {  # lines_give_the_text_report FILE.json FILE.txt
    "$PYTHON" - "$1" "$2" <<'PY'
import json, sys
document = json.load(open(sys.argv[1], encoding="utf-8"))
rule = "=" * 62 + "\n"
text = rule + " Diagnostic tool - Quorvane Vantro Q4 (VID_2A7D&PID_5E3C)\n" + rule
tags = {"OK": "[  OK  ]", "WARN": "[ WARN ]", "FAIL": "[ FAIL ]", "INFO": "[ INFO ]"}
section = None
for line in document["lines"]:
    if line["section"] != section:
        text += "\n==== " + line["section"] + " ====\n"
        section = line["section"]
    if line["tag"] is not None:
        text += tags[line["tag"]] + " " + line["text"] + "\n"
    for detail in line["details"]:
        text += " " * 9 + detail + "\n"
expected = "".join(c if ord(c) <= 0xFF else "?" for c in text).replace("\n", "\r\n").encode("latin-1")
sys.exit(0 if expected == open(sys.argv[2], "rb").read() else 1)
PY
}

for options in "/nopause /nofix /json" "/nopause /json"; do
    # shellcheck disable=SC2086
    read -r -a args <<< "$options"

    wine_dir=$(fresh_exe_dir)
    ( cd "$wine_dir" && wine_unelevated "$wine_dir/VQ4_Diag.exe" "${args[@]}" > "$wine_dir/stdout.txt" 2>&1 )
    wine_code=$?
    wineserver_wait

    sim_dir=$(mktemp -d "$(dirname "$WINEPREFIX")/sim-run.XXXXXX")
    cp "$LINUX_BINARY" "$sim_dir/VQ4_Diag"
    ( cd "$sim_dir" && VQ4_DIAG_MACHINE="$here/prefix-state.json" "$sim_dir/VQ4_Diag" "${args[@]}" > "$sim_dir/stdout.txt" 2>&1 )
    sim_code=$?

    shopt -s nullglob
    wine_reports=("$wine_dir"/VQ4_Diag_Report_*.txt)
    wine_jsons=("$wine_dir"/VQ4_Diag_Report_*.json)
    sim_jsons=("$sim_dir"/VQ4_Diag_Report_*.json)
    shopt -u nullglob
    wine_json=${wine_jsons[0]:-"(none)"}
    wine_report=${wine_reports[0]:-"(none)"}
    sim_json=${sim_jsons[0]:-"(none)"}
    check "$options: one JSON report under Wine (${#wine_jsons[@]})" [ ${#wine_jsons[@]} -eq 1 ]
    check "$options: beside the text report, under its base name" [ "${wine_json%.json}" = "${wine_report%.txt}" ]
    check "$options: one JSON report on the simulated machine (${#sim_jsons[@]})" [ ${#sim_jsons[@]} -eq 1 ]
    check "$options: the same exit code ($wine_code, $sim_code)" [ "$wine_code" -eq "$sim_code" ]
    comparable "$wine_json" > "$wine_dir/comparable.txt"
    comparable "$sim_json" > "$sim_dir/comparable.txt"
    check "$options: the JSON parses under Wine" [ -s "$wine_dir/comparable.txt" ]
    check "$options: the JSON parses on the simulated machine" [ -s "$sim_dir/comparable.txt" ]
    check "$options: under Wine the JSON's lines are the text report's" lines_give_the_text_report "$wine_json" "$wine_report"
    if ! check "$options: the same JSON under Wine as on the simulated machine" \
        cmp -s "$wine_dir/comparable.txt" "$sim_dir/comparable.txt"; then
        diff "$sim_dir/comparable.txt" "$wine_dir/comparable.txt" | head -40
    fi
    rm -rf "$wine_dir" "$sim_dir"
done

finish
