#!/usr/bin/env bash
# Benchmarks: the cost of a run on both platforms and how it grows with what
# the tool inspects. Builds what it needs, prints the tables, keeps them in
# build/bench/results.md and writes them into README.md between the
# bench-table markers (--no-readme leaves README.md alone).
# Not part of scripts/test-all.sh. VQ4_BENCH_RUNS sets the runs per Linux row
# (11; the pairs of runs per row of the options table), VQ4_BENCH_WINE_PAIRS
# the pairs of runs per Wine row (21).
set -euo pipefail
cd "$(dirname "$0")/.."
update_readme=1
[ "${1:-}" = "--no-readme" ] && update_readme=0
runs=${VQ4_BENCH_RUNS:-11}
pairs=${VQ4_BENCH_WINE_PAIRS:-21}

scripts/install-deps.sh bench
echo "Building..." >&2
cmake --preset linux >/dev/null
cmake --build --preset linux --target VQ4_Diag vq4_bench vq4_bench_machines >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target VQ4_Diag vq4_test_sdk vq4_bench_trivial vq4_bench_imports >/dev/null

out=build/bench
rm -rf "$out"
mkdir -p "$out/machines" "$out/linux-run" "$out/wine-run"
build/linux/bench/vq4_bench_machines "$out/machines"
# The tool writes its report beside itself: a folder of its own for the runs.
cp build/linux/VQ4_Diag "$out/linux-run/"
cp build/windows/VQ4_Diag.exe build/windows/bench/vq4_bench_trivial.exe build/windows/bench/vq4_bench_imports.exe \
    "$out/wine-run/"

# A prefix of the benchmark's own (the tests' prefix is left alone), with the
# project's test SDK installed and registered as sdk_sections_tests.sh does.
wine=$(command -v wine)
prefix=$PWD/build/windows/bench-wineprefix
set -- "$PWD/$out/wine-run/VQ4_Diag.exe" "$prefix" "$wine"
set +u
# shellcheck source=../tests/wine/lib.sh
. tests/wine/lib.sh
set -u
ensure_prefix
sdk="$prefix/drive_c/Program Files/Quorvane/Tonvela SDK"
mkdir -p "$sdk"
cp build/windows/testsdk/x64/qtv_api_core.dll build/windows/testsdk/x64/vxlinkapi_x64.dll "$sdk/"
wine_reg add 'HKCR\CLSID\{6B1E0C4D-93A7-4E52-B8D1-3F7A2C905E6B}\InProcServer32' /ve /t REG_SZ \
    /d 'C:\Program Files\Quorvane\Tonvela SDK\qtv_api_core.dll' /f /reg:64
for name in $(env | sed -n 's/^\(QTVTEST_[A-Z_]*\)=.*/\1/p'); do unset "$name"; done

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)
echo "Measuring ($runs runs per Linux row, $pairs pairs per Wine row)..." >&2
linux_table=$(VQ4_BENCH_VALGRIND=$(command -v valgrind || true) build/linux/bench/vq4_bench linux "$runs" "$out/linux-run/VQ4_Diag" \
    "default (built-in)=-" \
    "nodes-100=$out/machines/nodes-100.json" \
    "nodes-1000=$out/machines/nodes-1000.json" \
    "nodes-10000=$out/machines/nodes-10000.json" \
    "programs-1000=$out/machines/nodes-100.json" \
    "programs-3000=$out/machines/programs-3000.json" \
    "programs-10000=$out/machines/programs-10000.json")
# The tool's own capture of nodes-10000, for the replay row: a run with
# /capture on it (exit code 1: the machine has Fail lines), written into the
# run folder (a replay writes where VQ4_DIAG_OUTPUT_DIR says), its capture
# moved out of it.
status=0
env -u VQ4_DIAG_SIM_ELEVATED VQ4_DIAG_MACHINE="$out/machines/nodes-10000.json" VQ4_DIAG_OUTPUT_DIR="$out/linux-run" \
    "$out/linux-run/VQ4_Diag" /nopause /capture >/dev/null || status=$?
captures=("$out"/linux-run/VQ4_Diag_Machine_*.json)
if [ "$status" -gt 1 ] || [ "${#captures[@]}" -ne 1 ] || [ ! -f "${captures[0]}" ]; then
    echo "The capture of nodes-10000 failed (exit code $status)" >&2
    exit 1
fi
mv "${captures[0]}" "$out/machines/capture-nodes-10000.json"
rm -f "$out"/linux-run/VQ4_Diag_Report_*
options_table=$(VQ4_BENCH_VALGRIND=$(command -v valgrind || true) build/linux/bench/vq4_bench options "$runs" "$out/linux-run/VQ4_Diag" \
    "default (built-in)|-|/nopause /nofix /json|/nopause /nofix" \
    "default (built-in)|-|/nopause /capture|/nopause /nofix" \
    "nodes-10000|$out/machines/nodes-10000.json|/nopause /nofix /json|/nopause /nofix" \
    "nodes-10000|$out/machines/nodes-10000.json|/nopause /capture|/nopause /nofix" \
    "capture of nodes-10000, replayed|$out/machines/capture-nodes-10000.json|/nopause /nofix")
wine_table=$(build/linux/bench/vq4_bench wine "$pairs" "$wine" "$PWD/$out/wine-run/VQ4_Diag.exe" \
    vq4_bench_trivial.exe vq4_bench_imports.exe)
exe_table=$(build/linux/bench/vq4_bench exe x86_64-w64-mingw32-objdump "$out/wine-run/VQ4_Diag.exe" \
    "$out/wine-run/vq4_bench_imports.exe")
load_after=$(cut -d ' ' -f 1-3 /proc/loadavg)
wineserver_wait

{
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($cpu), load average $load_before before and" \
        "$load_after after; \`scripts/bench.sh\`."
    echo
    echo "Simulated machine (Linux build, virtual pauses), $runs runs per row. \`nodes-N\`: N USB device nodes (the Vantro Q4's four" \
        "among other vendors' hubs, devices and interfaces, each with its hardware key), 1,000 Uninstall entries," \
        "1,000 processes, 500 services. \`programs-N\`: 100 nodes and N Uninstall entries, N processes, N/2" \
        "services (\`programs-1000\` is \`nodes-100\` again). Machine file alone: the same file with a final" \
        "unknown entry, which the tool reads, builds into its simulated machine, frees and refuses (exit code 2)" \
        "without running; what the simulated machine costs, not the tool."
    echo
    echo "$linux_table"
    echo
    echo "Options: each run with the option alternates with the same run without it, $runs pairs per row; the" \
        "ratios are with / without, of the CPU medians and of callgrind's instruction counts (\`/capture\` implies" \
        "\`/nofix\`, so it is compared with \`/nopause /nofix\`). The last row replays the tool's own capture of" \
        "\`nodes-10000\` (\`VQ4_DIAG_MACHINE=<capture> VQ4_Diag /nopause /nofix\`)."
    echo
    echo "$options_table"
    echo
    echo "Under Wine ($("$wine" --version 2>/dev/null)), \`/nopause /nofix\`, the project's test SDK registered" \
        "(64-bit view); $pairs runs per row, each paired with a start of a trivial exe linked the same way, in" \
        "alternation."
    echo
    echo "$wine_table"
    echo
    echo "$exe_table"
} > "$out/results.md"
cat "$out/results.md"

if [ "$update_readme" -eq 1 ]; then
    awk -v table="$out/results.md" '
        /<!-- bench-table:begin -->/ { print; while ((getline line < table) > 0) print line; skipping = 1; next }
        /<!-- bench-table:end -->/ { skipping = 0 }
        !skipping { print }' README.md > "$out/README.md"
    if ! grep -q '<!-- bench-table:begin -->' README.md; then
        echo "README.md has no bench-table markers; not updated" >&2
        exit 1
    fi
    cp "$out/README.md" README.md
    echo "README.md updated." >&2
fi
