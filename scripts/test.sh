#!/usr/bin/env bash
# Runs every test: installs what is missing (Debian packages), then the native suite, the
# Windows build with its import check, and the Windows suite: QorvWriter.exe under wine.
# scripts/test-native.sh runs the native suite alone.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/test-native.sh
scripts/build-windows.sh
scripts/check-windows-imports.sh build-win/QorvWriter.exe
echo "Windows suite: build-win/QorvWriter.exe under wine"
QORV_WINDOWS_EXE="$PWD/build-win/QorvWriter.exe" build/tests/windows_tests
