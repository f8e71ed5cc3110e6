#!/usr/bin/env bash
# Builds the native tool, the simulator and the tests into build/ (warnings are errors).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DQORV_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)"
