#!/usr/bin/env bash
# Builds the release packages of the last commit, from a clean export of it, into dist/ (or
# $QORV_DIST):
#   QorvWriter-VERSION-windows-x64.zip    QorvWriter.exe, sample.qorv, README.md (the package's
#                                         own), LICENSE, CHANGELOG.md
#   QorvWriter-VERSION-linux-x64.tar.gz   QorvWriter, pelorix-sim, and the same
#   QorvWriter-VERSION.exe.sig            with a signing key only: the detached signature
#   SHA256SUMS                            of all of them
# The packages are reproducible: the same commit gives the same bytes wherever it is built on
# this machine. File times in the archives are SOURCE_DATE_EPOCH, or the last commit's date.
#
# With QORV_SIGN_KEY and QORV_SIGN_CERT (PEM files: an RSA key and its certificate) the
# executable is signed with Authenticode, SHA-256, its signing time SOURCE_DATE_EPOCH, so that
# signing the same build twice gives the same bytes (RSA signatures are deterministic). No
# timestamp server is asked: its answer would differ every time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=${QORV_DIST:-$root/dist}
version=$(sed -n 's/^project(QorvWriter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
git archive HEAD | tar -x -C "$work/src"
# The release presets: the C++ runtime linked into the Linux binaries, so that they need only
# glibc; no link timestamp in the executable; no build path in any binary.
(cd "$work/src" && cmake --preset release >/dev/null && cmake --preset release-windows >/dev/null &&
    cmake --build --preset release -j "$(nproc)" >/dev/null &&
    cmake --build --preset release-windows -j "$(nproc)" >/dev/null)
linux=$work/src/build-release
windows=$work/src/build-release-win
"$root/scripts/check-windows-imports.sh" "$windows/QorvWriter.exe" >/dev/null

# One folder per package; fixed modes and times, entries in name order.
package() {
    local dir=$1 platform=$2
    shift 2
    mkdir -p "$dir"
    cp "$@" "$dir/"
    sed "s/@VERSION@/$version/" "$work/src/packaging/README-$platform.md" >"$dir/README.md"
    cp "$work/src/LICENSE" "$work/src/CHANGELOG.md" "$dir/"
    cp "$work/src/examples/sample.qorv" "$dir/sample.qorv"
    chmod 644 "$dir"/*
    chmod 755 "$dir" "$dir"/QorvWriter*
    [ ! -e "$dir/pelorix-sim" ] || chmod 755 "$dir/pelorix-sim"
    find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}
name=QorvWriter-$version
mkdir -p "$work/pkg/windows" "$work/pkg/linux" "$work/unsigned"
x86_64-w64-mingw32-strip -o "$work/unsigned/QorvWriter.exe" "$windows/QorvWriter.exe"
strip -o "$work/QorvWriter" "$linux/QorvWriter"
strip -o "$work/pelorix-sim" "$linux/sim/pelorix-sim"
mkdir -p "$dist"
rm -f "$dist/$name-windows-x64.zip" "$dist/$name-linux-x64.tar.gz" "$dist/$name.exe.sig" \
    "$dist/SHA256SUMS"
signature=()
if [ -n "${QORV_SIGN_KEY:-}" ] || [ -n "${QORV_SIGN_CERT:-}" ]; then
    osslsigncode sign -certs "$QORV_SIGN_CERT" -key "$QORV_SIGN_KEY" -h sha256 -n QorvWriter \
        -time "$SOURCE_DATE_EPOCH" -in "$work/unsigned/QorvWriter.exe" \
        -out "$work/QorvWriter.exe" >/dev/null
    osslsigncode extract-signature -in "$work/QorvWriter.exe" -out "$dist/$name.exe.sig" >/dev/null
    signature=("$name.exe.sig")
else
    cp "$work/unsigned/QorvWriter.exe" "$work/QorvWriter.exe"
fi
package "$work/pkg/windows/$name" windows "$work/QorvWriter.exe"
package "$work/pkg/linux/$name" linux "$work/QorvWriter" "$work/pelorix-sim"
(cd "$work/pkg/windows" && find "$name" | sort | zip -X -q -@ "$dist/$name-windows-x64.zip")
(cd "$work/pkg/linux" && tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
    --numeric-owner --format=gnu -cf - "$name" | gzip -9n >"$dist/$name-linux-x64.tar.gz")
(cd "$dist" && sha256sum "$name-linux-x64.tar.gz" "$name-windows-x64.zip" "${signature[@]}" \
    >SHA256SUMS)
echo "Release $version in $dist:"
(cd "$dist" && cat SHA256SUMS)
