#!/usr/bin/env bash
# Cross-builds the standalone Windows executable build-win/QorvWriter.exe with mingw-w64, and
# build-win/win32_line_check.exe and build-win/win32_driver_model.exe, which the Windows suite
# runs.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DQORV_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j "$(nproc)" --target QorvWriter win32_line_check win32_driver_model
