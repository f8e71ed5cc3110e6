#!/usr/bin/env bash
# Line and branch coverage of the reader and exchanges reached by a fuzz corpus, measured on
# the replay runner built with clang's source-based coverage.
#   scripts/fuzz-coverage.sh [reader_stream corpus dir] [settings_file corpus dir]
set -euo pipefail
cd "$(dirname "$0")/.."
rs=${1:-fuzz/corpus/reader_stream}
sf=${2:-fuzz/corpus/settings_file}

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc)" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
LLVM_PROFILE_FILE="$work/rs.profraw" build-cov/fuzz/reader_stream_replay "$rs"
LLVM_PROFILE_FILE="$work/sf.profraw" build-cov/fuzz/settings_file_replay "$sf"
llvm-profdata merge -o "$work/all.profdata" "$work/rs.profraw" "$work/sf.profraw"
llvm-cov report build-cov/fuzz/reader_stream_replay -object build-cov/fuzz/settings_file_replay \
    -instr-profile="$work/all.profdata" -show-branch-summary \
    protocol/reader.cpp protocol/exchanges.cpp protocol/frame.cpp
