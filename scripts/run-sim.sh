#!/usr/bin/env bash
# Builds the Linux tool and runs it on the built-in simulated machine (or on
# the machine file named by VQ4_DIAG_MACHINE). Arguments go to the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target VQ4_Diag >/dev/null
exec build/linux/VQ4_Diag "$@"
