#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the Windows suite need, when missing.
#   scripts/install-deps.sh          everything (native build and tests, Windows build, wine,
#                                    the device-server test, the virtual machine, fuzzing,
#                                    benchmarks, release: its Debian package, signing)
#   scripts/install-deps.sh --base   only what the native build and tests need
set -euo pipefail

base=(cmake make g++ libgtest-dev libgmock-dev nlohmann-json3-dev scdoc groff-base man-db)
extra=(g++-mingw-w64-x86-64-posix wine64 wine clang libfuzzer-14-dev libclang-rt-14-dev hyperfine socat
       ser2net zip unzip osslsigncode openssl qemu-system-x86 busybox-static cpio xz-utils
       dpkg-dev lintian debootstrap softhsm2 libengine-pkcs11-openssl python3)
packages=("${base[@]}")
[ "${1:-}" = "--base" ] || packages+=("${extra[@]}")

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
