#!/usr/bin/env bash
# Runs every test: the native suite, and, where mingw-w64 and wine are present, the Windows
# executable's suite under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v cmake >/dev/null && [ -e /usr/include/gtest/gtest.h ] || scripts/install-deps.sh --base
scripts/build.sh
(cd build && ctest --output-on-failure -j "$(nproc)")

if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    scripts/build-windows.sh
    if command -v wine >/dev/null && [ -x tests/windows/run.sh ]; then
        tests/windows/run.sh build-win/QorvWriter.exe
    fi
fi
