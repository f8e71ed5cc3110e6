#!/usr/bin/env bash
# Builds the release twice, each time in a different directory, and fails unless both give the
# same bytes and the checksums hold.
set -euo pipefail
cd "$(dirname "$0")/.."
first=$(mktemp -d)
second=$(mktemp -d)
trap 'rm -rf "$first" "$second"' EXIT
QORV_DIST=$first scripts/release.sh >/dev/null
QORV_DIST=$second scripts/release.sh >/dev/null
(cd "$first" && sha256sum -c --quiet SHA256SUMS)
for file in "$first"/*; do
    cmp "$file" "$second/$(basename "$file")"
done
echo "Release is reproducible:"
cat "$first/SHA256SUMS"
