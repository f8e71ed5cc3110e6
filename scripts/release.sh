#!/usr/bin/env bash
# Builds the release packages of the last commit, from a clean export of it, into dist/ (or
# $QORV_DIST):
#   QorvWriter-VERSION-windows-x64.zip    QorvWriter.exe, README.md, LICENSE, CHANGELOG.md
#   QorvWriter-VERSION-linux-x64.tar.gz   QorvWriter, pelorix-sim, README.md, LICENSE, CHANGELOG.md
#   SHA256SUMS
# The packages are reproducible: the same commit gives the same bytes wherever it is built on
# this machine. File times in the archives are SOURCE_DATE_EPOCH, or the last commit's date.
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
# No build path reaches a binary.
flags="-ffile-prefix-map=$work=."

cmake -S "$work/src" -B "$work/linux" -DCMAKE_BUILD_TYPE=Release -DQORV_TESTS=OFF \
    -DQORV_SIMULATOR=ON -DQORV_WERROR=ON -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/linux" -j "$(nproc)" --target QorvWriter pelorix-sim >/dev/null
cmake -S "$work/src" -B "$work/windows" -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQORV_TESTS=OFF -DQORV_WERROR=ON -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,--no-insert-timestamp" >/dev/null
cmake --build "$work/windows" -j "$(nproc)" --target QorvWriter >/dev/null
"$root/scripts/check-windows-imports.sh" "$work/windows/QorvWriter.exe" >/dev/null

# One folder per package; fixed modes and times, entries in name order.
package() {
    local dir=$1
    shift
    mkdir -p "$dir"
    cp "$@" "$dir/"
    cp "$work/src/README.md" "$work/src/LICENSE" "$work/src/CHANGELOG.md" "$dir/"
    chmod 644 "$dir"/*
    chmod 755 "$dir" "$dir"/QorvWriter*
    [ ! -e "$dir/pelorix-sim" ] || chmod 755 "$dir/pelorix-sim"
    find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}
name=QorvWriter-$version
mkdir -p "$work/pkg/windows" "$work/pkg/linux"
x86_64-w64-mingw32-strip -o "$work/QorvWriter.exe" "$work/windows/QorvWriter.exe"
strip -o "$work/QorvWriter" "$work/linux/QorvWriter"
strip -o "$work/pelorix-sim" "$work/linux/sim/pelorix-sim"
package "$work/pkg/windows/$name" "$work/QorvWriter.exe"
package "$work/pkg/linux/$name" "$work/QorvWriter" "$work/pelorix-sim"

mkdir -p "$dist"
rm -f "$dist/$name-windows-x64.zip" "$dist/$name-linux-x64.tar.gz" "$dist/SHA256SUMS"
(cd "$work/pkg/windows" && find "$name" | sort | zip -X -q -@ "$dist/$name-windows-x64.zip")
(cd "$work/pkg/linux" && tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
    --numeric-owner --format=gnu -cf - "$name" | gzip -9n >"$dist/$name-linux-x64.tar.gz")
(cd "$dist" && sha256sum "$name-linux-x64.tar.gz" "$name-windows-x64.zip" >SHA256SUMS)
echo "Release $version in $dist:"
(cd "$dist" && cat SHA256SUMS)
