#!/usr/bin/env bash
# The platform contract suite, linked with the Win32 layer, in one Wine start.
# Usage: run_contract_tests.sh vq4_contract_tests.exe WINEPREFIX WINE [gtest options]
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"
shift 3

ensure_prefix
"$WINE" "$WINE_EXE_SRC" --gtest_color=no "$@"
