#!/usr/bin/env bash
# Builds the Linux tool and runs it on the built-in simulated machine (or on
# the machine file named by VQ4_DIAG_MACHINE). Arguments go to the tool.
set -euo pipefail
# A replay writes its report into the folder the script was started from
# (unless VQ4_DIAG_OUTPUT_DIR says otherwise), and finds its machine file
# from there; the built-in machine writes next to the binary.
if [ -n "${VQ4_DIAG_MACHINE:-}" ]; then
    VQ4_DIAG_MACHINE=$(realpath -m -- "$VQ4_DIAG_MACHINE")
    VQ4_DIAG_OUTPUT_DIR=${VQ4_DIAG_OUTPUT_DIR:-$PWD}
    export VQ4_DIAG_MACHINE VQ4_DIAG_OUTPUT_DIR
fi
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target VQ4_Diag >/dev/null
exec build/linux/VQ4_Diag "$@"
