#!/usr/bin/env bash
# Builds the Debian package qorvwriter_VERSION_amd64.deb into folder $1 from the stripped
# release binaries in $2 (QorvWriter, qorv-ports, qorv-station, pelorix-sim) and the manual pages in $3, with
# the source tree at $4. Depends is what dpkg-shlibdeps finds the binaries need; every file time
# is SOURCE_DATE_EPOCH, so the same inputs give the same bytes.
set -euo pipefail
out=$1 bin=$2 man=$3 src=$4
: "${SOURCE_DATE_EPOCH:?}"
version=$(sed -n 's/^project(QorvWriter VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
doc=$root/usr/share/doc/qorvwriter
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$doc/examples"

cp "$bin/QorvWriter" "$bin/qorv-ports" "$bin/qorv-station" "$bin/pelorix-sim" "$root/usr/bin/"
for page in "$man"/*.1; do
    gzip -9n <"$page" >"$root/usr/share/man/man1/$(basename "$page").gz"
done
sed "s/@VERSION@/$version/" "$src/packaging/README-debian.md" >"$doc/README.md"
cp "$src/docs/run-record.md" "$doc/"
cp "$src/examples/sample.qorv" "$doc/examples/"
gzip -9n <"$src/CHANGELOG.md" >"$doc/CHANGELOG.md.gz"
# The licence as DEP-5 wants it: its text indented, empty lines as " .".
{
    cat "$src/packaging/debian/copyright.in"
    sed -n '/^Permission/,$p' "$src/LICENSE" | sed 's/^$/./; s/^/ /'
} >"$doc/copyright"
sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$(date -u -R -d "@$SOURCE_DATE_EPOCH")/" \
    "$src/packaging/debian/changelog.in" | gzip -9n >"$doc/changelog.gz"

# The libraries the binaries need, as dpkg-shlibdeps reads them.
mkdir "$work/debian"
printf 'Source: qorvwriter\n\nPackage: qorvwriter\nArchitecture: amd64\n' >"$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O -eroot/usr/bin/QorvWriter -eroot/usr/bin/qorv-ports \
    -eroot/usr/bin/qorv-station -eroot/usr/bin/pelorix-sim 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }

find "$root" -type d -exec chmod 755 {} +
find "$root" -type f -exec chmod 644 {} +
chmod 755 "$root"/usr/bin/*
(cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$root/DEBIAN/md5sums"
sed -e "s/@VERSION@/$version/" -e "s/@DEPENDS@/$depends/" \
    -e "s/@INSTALLED_SIZE@/$(du -s -k --apparent-size "$root/usr" | cut -f1)/" \
    "$src/packaging/debian/control.in" >"$root/DEBIAN/control"
chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
mkdir -p "$out"
dpkg-deb --root-owner-group -Zxz --build "$root" "$out/qorvwriter_${version}_amd64.deb" >/dev/null
