#!/usr/bin/env bash
# Proves the release: built twice in different directories it gives the same bytes, its
# checksums hold, and its signature is tied to the reproducible build. Signs with
# QORV_SIGN_KEY/QORV_SIGN_CERT when given, otherwise with a throwaway self-signed certificate
# made here (never a real key in the repository), and checks that
#   - the signed executable verifies against the certificate,
#   - with its signature removed it is byte for byte the unsigned build,
#   - the detached signature attached to a fresh unsigned build gives the signed executable,
#   - a changed byte makes verification fail.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/unsigned" "$work/signed" "$work/again" "$work/x"
version=$(sed -n 's/^project(QorvWriter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=QorvWriter-$version

if [ -z "${QORV_SIGN_KEY:-}" ]; then
    openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650 -subj "/CN=QorvWriter throwaway" \
        -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
    export QORV_SIGN_KEY=$work/key.pem QORV_SIGN_CERT=$work/cert.pem
fi
sign_key=$QORV_SIGN_KEY
sign_cert=$QORV_SIGN_CERT

QORV_SIGN_KEY= QORV_SIGN_CERT= QORV_DIST=$work/unsigned scripts/release.sh >/dev/null
QORV_DIST=$work/signed scripts/release.sh >/dev/null
QORV_DIST=$work/again scripts/release.sh >/dev/null
(cd "$work/unsigned" && sha256sum -c --quiet SHA256SUMS)
(cd "$work/signed" && sha256sum -c --quiet SHA256SUMS)
for file in "$work/signed"/*; do
    cmp "$file" "$work/again/$(basename "$file")"
done

unzip -q -d "$work/x/unsigned" "$work/unsigned/$name-windows-x64.zip"
unzip -q -d "$work/x/signed" "$work/signed/$name-windows-x64.zip"
unsigned=$work/x/unsigned/$name/QorvWriter.exe
signed=$work/x/signed/$name/QorvWriter.exe
verify() {
    osslsigncode verify -CAfile "$sign_cert" -time "$(date +%s)" -in "$1" >"$work/verify.log" 2>&1
}
verify "$signed" || { cat "$work/verify.log"; echo "the signed executable does not verify"; exit 1; }
osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" >/dev/null
cmp "$work/stripped.exe" "$unsigned"
osslsigncode attach-signature -sigin "$work/signed/$name.exe.sig" -CAfile "$sign_cert" \
    -in "$unsigned" -out "$work/attached.exe" >/dev/null
cmp "$work/attached.exe" "$signed"
cp "$signed" "$work/tampered.exe"
# One byte of the code section changed.
printf '\x90' | dd of="$work/tampered.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
cmp -s "$work/tampered.exe" "$signed" && { echo "the byte was not changed"; exit 1; }
if verify "$work/tampered.exe"; then
    echo "a changed byte still verifies"
    exit 1
fi

echo "Release is reproducible, signed and tied to the unsigned build ($(($(date +%s) - start)) s):"
cat "$work/signed/SHA256SUMS"
ls -l "$work/signed" | awk 'NR > 1 { print "  " $5 " bytes  " $9 }'
