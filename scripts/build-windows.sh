#!/usr/bin/env bash
# Cross-builds the standalone Windows executables build-win/QorvWriter.exe and qorv-ports.exe
# with mingw-w64, and build-win/win32_line_check.exe and build-win/win32_driver_model.exe, which
# the Windows suite runs.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"
