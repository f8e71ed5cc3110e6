#!/usr/bin/env bash
# Proves the release, with throwaway keys made here (never a real key in the repository):
#   - built twice in different directories it gives the same bytes, the Debian package too, and
#     its checksums hold;
#   - the Debian package passes lintian, and installs into a fresh Debian root, runs there from
#     PATH against the packaged simulator, shows its manual page and is removed cleanly (as root);
#   - signed through PKCS#11 with a key in SoftHSM2, each executable verifies against the
#     certificate, with its signature removed it is the unsigned build byte for byte, its
#     detached signature attached to a fresh unsigned build gives it, a changed byte fails
#     verification, and the same key from a PEM file signs the same bytes;
#   - timestamped by an RFC 3161 authority on loopback, each executable verifies, and with its
#     signature removed it is still the unsigned build.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
work=$(mktemp -d)
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null; rm -rf "$work"' EXIT
version=$(sed -n 's/^project(QorvWriter VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=QorvWriter-$version
deb=qorvwriter_${version}_amd64.deb
unset QORV_SIGN_KEY QORV_SIGN_CERT QORV_SIGN_PKCS11_MODULE QORV_SIGN_PKCS11_KEY \
    QORV_SIGN_PKCS11_PIN QORV_SIGN_TIMESTAMP_URL

# The signing key, made here and put into a SoftHSM2 token; its certificate.
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label qorv-release --pin 4321 --so-pin 87654321 >/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$work/key.pem" 2>/dev/null
openssl req -x509 -key "$work/key.pem" -sha256 -days 3650 -subj "/CN=QorvWriter throwaway" \
    -out "$work/cert.pem"
softhsm2-util --import "$work/key.pem" --token qorv-release --label signing --id 01 \
    --pin 4321 >/dev/null
# A timestamp authority on loopback.
export QORV_TSA=$work/tsa
mkdir "$QORV_TSA"
echo 01 >"$QORV_TSA/serial"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=QorvWriter throwaway TSA" \
    -addext "extendedKeyUsage=critical,timeStamping" -keyout "$QORV_TSA/key.pem" \
    -out "$QORV_TSA/cert.pem" 2>/dev/null
python3 tests/release/tsa_server.py tests/release/tsa.cnf >"$work/tsa.port" &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$work/tsa.port" ] && break; sleep 0.1; done

QORV_DIST=$work/unsigned scripts/release.sh >/dev/null
QORV_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so QORV_SIGN_CERT=$work/cert.pem \
    QORV_SIGN_PKCS11_KEY="pkcs11:token=qorv-release;object=signing;type=private" \
    QORV_SIGN_PKCS11_PIN=4321 QORV_DIST=$work/signed scripts/release.sh >/dev/null
QORV_SIGN_KEY=$work/key.pem QORV_SIGN_CERT=$work/cert.pem QORV_DIST=$work/again \
    scripts/release.sh >/dev/null
QORV_SIGN_KEY=$work/key.pem QORV_SIGN_CERT=$work/cert.pem QORV_DIST=$work/stamped \
    QORV_SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$work/tsa.port")" scripts/release.sh >/dev/null
for dist in unsigned signed stamped; do
    (cd "$work/$dist" && sha256sum -c --quiet SHA256SUMS)
done
for file in "$work/signed"/*; do
    cmp "$file" "$work/again/$(basename "$file")"
done
cmp "$work/unsigned/$deb" "$work/signed/$deb"

if ! lintian --fail-on error,warning "$work/signed/$deb" >"$work/lintian.log" 2>&1; then
    cat "$work/lintian.log"
    echo "lintian reports errors or warnings"
    exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
    tests/release/install-deb.sh "$work/signed/$deb"
else
    echo "Debian package: not installed into a fresh root (needs root)"
fi

mkdir "$work/x"
for dist in unsigned signed stamped; do
    unzip -q -d "$work/x/$dist" "$work/$dist/$name-windows-x64.zip"
done
verify() {
    osslsigncode verify -CAfile "$work/cert.pem" -TSA-CAfile "$QORV_TSA/cert.pem" \
        -time "$(date +%s)" -in "$1" >"$work/verify.log" 2>&1 ||
        { cat "$work/verify.log"; echo "$1 does not verify"; return 1; }
}
for program in QorvWriter qorv-ports qorv-station; do
    unsigned=$work/x/unsigned/$name/$program.exe
    for dist in signed stamped; do
        signed=$work/x/$dist/$name/$program.exe
        verify "$signed"
        osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" >/dev/null
        cmp "$work/stripped.exe" "$unsigned"
        rm "$work/stripped.exe"
    done
    grep -q "Timestamp Server Signature" "$work/verify.log" ||
        { echo "the timestamp is missing from $program.exe"; exit 1; }
    signed=$work/x/signed/$name/$program.exe
    osslsigncode attach-signature -sigin "$work/signed/$program-$version.exe.sig" \
        -CAfile "$work/cert.pem" -in "$unsigned" -out "$work/attached.exe" >/dev/null
    cmp "$work/attached.exe" "$signed"
    cp "$signed" "$work/tampered.exe"
    # One byte of the code section changed.
    printf '\x90' | dd of="$work/tampered.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
    cmp -s "$work/tampered.exe" "$signed" && { echo "the byte was not changed"; exit 1; }
    if verify "$work/tampered.exe" >/dev/null; then
        echo "a changed byte of $program.exe still verifies"
        exit 1
    fi
    rm "$work/attached.exe" "$work/tampered.exe"
done

echo "Release is reproducible, packaged for Debian, signed through PKCS#11 and timestamped, and tied to the unsigned build ($(($(date +%s) - start)) s):"
cat "$work/signed/SHA256SUMS"
ls -l "$work/signed" | awk 'NR > 1 { print "  " $5 " bytes  " $9 }'
