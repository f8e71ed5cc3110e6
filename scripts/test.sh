#!/usr/bin/env bash
# Runs every test: installs what is missing (Debian packages), then the native suite, the
# Windows build with its import check, the Windows suite (QorvWriter.exe under wine) and the
# virtual machine suite (the tool on the kernel's own serial drivers).
# scripts/test-native.sh runs the native suite alone.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/test-native.sh
scripts/build-windows.sh
for program in QorvWriter qorv-ports qorv-station; do
    scripts/check-windows-imports.sh "build-win/$program.exe"
done
echo "Windows suite: build-win/QorvWriter.exe under wine"
QORV_WINDOWS_EXE="$PWD/build-win/QorvWriter.exe" build/tests/windows_tests
# The Linux kernel's own serial drivers in a virtual machine (about three minutes; the kernel
# package is fetched once and kept in build-vm-cache/). QORV_SKIP_VM=1 leaves them out.
if [ -z "${QORV_SKIP_VM:-}" ]; then
    echo "Virtual machine suite: the kernel's 8250, FTDI and CDC-ACM drivers under QEMU"
    tests/vm/run.sh
fi
