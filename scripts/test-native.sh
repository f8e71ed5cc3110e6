#!/usr/bin/env bash
# The native suite alone: builds with warnings as errors and runs every test with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v cmake >/dev/null && [ -e /usr/include/gtest/gtest.h ] && [ -e /usr/include/nlohmann/json.hpp ] ||
    scripts/install-deps.sh --base
scripts/build.sh
ctest --preset default -j "$(nproc)"
