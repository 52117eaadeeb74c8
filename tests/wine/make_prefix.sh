#!/usr/bin/env bash
# Makes the Wine prefix that every Wine test starts from, once per build tree:
# booting a prefix costs far more than copying one, and a copy per test lets
# ctest run the Wine tests side by side without one test seeing another's
# registry changes.
# Usage: make_prefix.sh WINE TEMPLATE_DIR
set -euo pipefail
WINE=$1
template=$2
export WINEPREFIX=$template WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ -f "$template/system.reg" ] && [ -f "$template/.vq4-complete" ]; then
    exit 0
fi
rm -rf "$template"
mkdir -p "$template"
"$WINE" wineboot --init >/dev/null 2>&1
server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
"$server" -w 2>/dev/null || true
[ -f "$template/system.reg" ] || { echo "wineboot made no prefix in $template" >&2; exit 1; }
touch "$template/.vq4-complete"
