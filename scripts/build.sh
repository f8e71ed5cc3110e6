#!/usr/bin/env bash
# Builds the native tool, the simulator and the tests into build/ (warnings are errors).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
