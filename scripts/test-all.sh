#!/usr/bin/env bash
# Installs what is missing, builds both presets and runs every test: the
# Linux suite on the simulated machine, then the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all
cmake --preset linux
cmake --build --preset linux
ctest --preset linux
cmake --preset windows
cmake --build --preset windows
ctest --preset windows
