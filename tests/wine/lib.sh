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

ensure_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        "$WINE" wineboot --init >/dev/null 2>&1
        wineserver_wait
    fi
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

finish() {
    echo "$passes passed, $failures failed"
    [ "$failures" -eq 0 ]
}
