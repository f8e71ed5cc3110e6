#!/usr/bin/env bash
# Builds the release packages of the last commit, from a clean export of it, into dist/ (or
# $QORV_DIST):
#   QorvWriter-VERSION-windows-x64.zip    QorvWriter.exe, qorv-ports.exe, qorv-station.exe,
#                                         sample.qorv, README.md
#                                         (the package's own), LICENSE, CHANGELOG.md
#   QorvWriter-VERSION-linux-x64.tar.gz   QorvWriter, qorv-ports, qorv-station, pelorix-sim, their manual
#                                         pages, and the same
#   qorvwriter_VERSION_amd64.deb          the Debian package (packaging/debian/build-deb.sh)
#   QorvWriter-VERSION.exe.sig,           when signed: the detached signatures of the two
#   qorv-ports-VERSION.exe.sig            executables
#   SHA256SUMS                            of all of them
# The packages are reproducible: the same commit gives the same bytes wherever it is built on
# this machine. File times in the archives are SOURCE_DATE_EPOCH, or the last commit's date.
#
# Signing: Authenticode, SHA-256, with the certificate in QORV_SIGN_CERT (PEM) and the key
#   - in a token or an HSM, through PKCS#11: QORV_SIGN_PKCS11_MODULE (the module's path) and
#     QORV_SIGN_PKCS11_KEY (the key's pkcs11: URI), the PIN in QORV_SIGN_PKCS11_PIN or the URI;
#   - or, for development, in a PEM file: QORV_SIGN_KEY.
# The signing time is SOURCE_DATE_EPOCH and RSA signatures are deterministic, so one build
# signed twice gives the same bytes, wherever the key is. QORV_SIGN_TIMESTAMP_URL (the http://
# address of an RFC 3161 timestamp authority) adds the authority's timestamp, which keeps the
# signature valid after the certificate expires; its bytes differ every time, and the unsigned
# executable (the signed one stripped of its signature) stays the reproducible one.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=${QORV_DIST:-$root/dist}
version=$(sed -n 's/^project(QorvWriter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C

signer=()
if [ -n "${QORV_SIGN_PKCS11_MODULE:-}${QORV_SIGN_PKCS11_KEY:-}" ]; then
    engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
    signer=(-pkcs11engine "$engine" -pkcs11module "${QORV_SIGN_PKCS11_MODULE:?}"
        -key "${QORV_SIGN_PKCS11_KEY:?}")
elif [ -n "${QORV_SIGN_KEY:-}" ]; then
    signer=(-key "$QORV_SIGN_KEY")
fi
if [ ${#signer[@]} -eq 0 ] && [ -n "${QORV_SIGN_CERT:-}" ]; then
    echo "QORV_SIGN_CERT is set without a key (QORV_SIGN_PKCS11_KEY or QORV_SIGN_KEY)" >&2
    exit 1
fi
if [ ${#signer[@]} -gt 0 ]; then
    signer+=(-certs "${QORV_SIGN_CERT:?the signing certificate (PEM)}")
    [ -z "${QORV_SIGN_TIMESTAMP_URL:-}" ] || signer+=(-ts "$QORV_SIGN_TIMESTAMP_URL")
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
git archive HEAD | tar -x -C "$work/src"
# The release presets: the C++ runtime linked into the Linux binaries, so that they need only
# glibc; hardened as Debian builds its packages; no link timestamp in the executables; no build
# path in any binary.
(cd "$work/src" && cmake --preset release >/dev/null && cmake --preset release-windows >/dev/null &&
    cmake --build --preset release -j "$(nproc)" >/dev/null &&
    cmake --build --preset release-windows -j "$(nproc)" >/dev/null)
linux=$work/src/build-release
windows=$work/src/build-release-win
for program in QorvWriter qorv-ports qorv-station; do
    "$root/scripts/check-windows-imports.sh" "$windows/$program.exe" >/dev/null
done

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
    chmod 755 "$dir"
    for program in QorvWriter qorv-ports qorv-station pelorix-sim QorvWriter.exe qorv-ports.exe \
        qorv-station.exe; do
        [ ! -e "$dir/$program" ] || chmod 755 "$dir/$program"
    done
    find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}
name=QorvWriter-$version
mkdir -p "$work/pkg/windows" "$work/pkg/linux" "$work/unsigned" "$work/bin"
for program in QorvWriter qorv-ports qorv-station; do
    x86_64-w64-mingw32-strip -o "$work/unsigned/$program.exe" "$windows/$program.exe"
done
for program in QorvWriter qorv-ports qorv-station sim/pelorix-sim; do
    strip -R .comment -o "$work/bin/$(basename "$program")" "$linux/$program"
done
mkdir -p "$dist"
rm -f "$dist/$name-windows-x64.zip" "$dist/$name-linux-x64.tar.gz" "$dist"/*.exe.sig \
    "$dist/qorvwriter_${version}_amd64.deb" "$dist/SHA256SUMS"
# The PIN reaches osslsigncode through a pipe, never its command line.
pin=()
[ -z "${QORV_SIGN_PKCS11_PIN:-}" ] || pin=(-readpass /dev/fd/3)
signatures=()
for program in QorvWriter qorv-ports qorv-station; do
    if [ ${#signer[@]} -gt 0 ]; then
        osslsigncode sign "${signer[@]}" "${pin[@]}" -h sha256 -n "$program" \
            -time "$SOURCE_DATE_EPOCH" -in "$work/unsigned/$program.exe" \
            -out "$work/$program.exe" 3< <(printf '%s' "${QORV_SIGN_PKCS11_PIN:-}") >/dev/null
        osslsigncode extract-signature -in "$work/$program.exe" \
            -out "$dist/$program-$version.exe.sig" >/dev/null
        signatures+=("$program-$version.exe.sig")
    else
        cp "$work/unsigned/$program.exe" "$work/$program.exe"
    fi
done
package "$work/pkg/windows/$name" windows "$work/QorvWriter.exe" "$work/qorv-ports.exe" \
    "$work/qorv-station.exe"
package "$work/pkg/linux/$name" linux "$work/bin"/* "$linux/man"/*.1
(cd "$work/pkg/windows" && find "$name" | sort | zip -X -q -@ "$dist/$name-windows-x64.zip")
(cd "$work/pkg/linux" && tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
    --numeric-owner --format=gnu -cf - "$name" | gzip -9n >"$dist/$name-linux-x64.tar.gz")
"$work/src/packaging/debian/build-deb.sh" "$dist" "$work/bin" "$linux/man" "$work/src"
(cd "$dist" && sha256sum "$name-linux-x64.tar.gz" "$name-windows-x64.zip" \
    "qorvwriter_${version}_amd64.deb" "${signatures[@]}" >SHA256SUMS)
echo "Release $version in $dist:"
(cd "$dist" && cat SHA256SUMS)
