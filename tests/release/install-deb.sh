#!/usr/bin/env bash
# Installs the Debian package $1 with dpkg -i into a fresh Debian root of this machine's release
# (debootstrap, kept as a tarball in build-root-cache/ or $QORV_ROOT_CACHE), runs QorvWriter
# from PATH there against the packaged simulator, reads its manual page, and removes the package,
# checking that none of its files is left. Needs root (chroot, mount).
set -euo pipefail
deb=$(realpath "$1")
cd "$(dirname "$0")/../.."
cache=${QORV_ROOT_CACHE:-$PWD/build-root-cache}
. /etc/os-release
suite=$VERSION_CODENAME
# The machine's own Debian mirror.
mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}
mkdir -p "$cache"
if [ ! -s "$cache/$suite.tar" ]; then
    # Tried twice: a mirror may drop a connection.
    for _ in 1 2; do
        rm -rf "$cache/root"
        debootstrap --variant=minbase --include=man-db "$suite" "$cache/root" "$mirror" \
            >"$cache/debootstrap.log" 2>&1 && break
    done
    [ -x "$cache/root/usr/bin/man" ] || { tail "$cache/debootstrap.log"; exit 1; }
    tar -C "$cache/root" -cf "$cache/$suite.tar.part" .
    mv "$cache/$suite.tar.part" "$cache/$suite.tar"
    rm -rf "$cache/root"
fi

jail=$(mktemp -d)
cleanup() {
    for mount in dev/pts proc; do
        umount "$jail/$mount" 2>/dev/null || umount -l "$jail/$mount" 2>/dev/null || true
    done
    # Never removed while anything is still mounted in it: that would reach the machine's own.
    if ! mountpoint -q "$jail/dev/pts" && ! mountpoint -q "$jail/proc"; then
        rm -rf "$jail"
    fi
}
trap cleanup EXIT
tar -C "$jail" -xf "$cache/$suite.tar"
mount --bind /dev/pts "$jail/dev/pts"
mount -t proc proc "$jail/proc"
in_root() { chroot "$jail" /usr/bin/env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin "$@"; }

cp "$deb" "$jail/tmp/qorvwriter.deb"
in_root dpkg -i /tmp/qorvwriter.deb >/dev/null
expected=$(printf '%s\n\n' "Opening COM port...done" \
    "Opening Qorv file: /usr/share/doc/qorvwriter/examples/sample.qorv...done" \
    "Reading Qorv data from file...done" "Writing Qorv data to Pelorix..." \
    "Qorv data stored successfully.")
# $(...) drops the final empty lines of both.
got=$(in_root sh -c 'pelorix-sim --once --link /tmp/pelorix >/dev/null &
    for i in $(seq 50); do [ -e /tmp/pelorix ] && break; sleep 0.1; done
    QorvWriter /usr/share/doc/qorvwriter/examples/sample.qorv /tmp/pelorix; status=$?
    wait; exit $status')
[ "$got" = "$expected" ] || { echo "the installed tool printed:"; echo "$got"; exit 1; }
in_root env MANWIDTH=80 MANPAGER=cat man QorvWriter 2>/dev/null | grep -q '^ *QorvWriter - store' ||
    { echo "man QorvWriter shows no page"; exit 1; }
listed=$(in_root dpkg -L qorvwriter | wc -l)
in_root dpkg --purge qorvwriter >/dev/null
if in_root dpkg -s qorvwriter >/dev/null 2>&1 || [ -e "$jail/usr/bin/QorvWriter" ] ||
    [ -e "$jail/usr/share/doc/qorvwriter" ] || [ -e "$jail/usr/share/man/man1/QorvWriter.1.gz" ]; then
    echo "the package left files behind"
    exit 1
fi
echo "Debian package: installed in a fresh $suite root, stored there from PATH, manual page read, $listed paths removed"
