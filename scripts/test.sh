#!/usr/bin/env bash
# Runs every test: the native suite, and, where mingw-w64 and wine are present, the Windows
# executable's suite under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v cmake >/dev/null && [ -e /usr/include/gtest/gtest.h ] || scripts/install-deps.sh --base
scripts/build.sh
(cd build && ctest --output-on-failure -j "$(nproc)")

# CI always builds and runs the Windows side; elsewhere it is run when the tools are there.
if [ "${CI:-}" = true ]; then
    command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null || {
        echo "CI needs mingw-w64 and wine: run scripts/install-deps.sh"
        exit 1
    }
fi
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
    scripts/build-windows.sh
    scripts/check-windows-imports.sh build-win/QorvWriter.exe
    if command -v wine >/dev/null; then
        echo "Windows suite: build-win/QorvWriter.exe under wine"
        QORV_WINDOWS_EXE="$PWD/build-win/QorvWriter.exe" build/tests/windows_tests
    else
        echo "wine is not installed: Windows suite skipped (scripts/install-deps.sh installs it)"
    fi
else
    echo "mingw-w64 is not installed: Windows build and suite skipped (scripts/install-deps.sh)"
fi
