#!/usr/bin/env bash
# Builds the release in dist/ (or the folder given): the Windows program with
# README.txt in a zip, the Linux program with it in a tarball, and SHA256SUMS
# of all. Beside them, for the site's developers: the Windows program built for
# pages on http://localhost (the developer zip) and the kit as npm packs it.
# Two runs on one commit give the same bytes wherever and whenever they run:
# the programs name no build folder and carry no link time, and every time in
# the archives is the commit's (SOURCE_DATE_EPOCH), with fixed order and modes.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-dist}")
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null)}
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || { echo "dist: outside git, set SOURCE_DATE_EPOCH to the commit's time" >&2; exit 1; }
export TZ=UTC LC_ALL=C
unset ZIPOPT GZIP
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=nimbrel-client-$version
# The players' page as plain text, README.txt in both archives: with CR LF
# line ends for Notepad in the zip.
readme=docs/players.md

# Only the two programs, each in a build folder of its own.
build() {
  cmake --no-warn-unused-cli -S . -B "$1" -DCMAKE_BUILD_TYPE=Release -DNIMBREL_TESTS=OFF \
    -DNIMBREL_SITE_DOMAIN="${SITE_DOMAIN:-nimbrel.example}" "${@:2}" >/dev/null
  cmake --build "$1" -j "${JOBS:-2}" --target nimbrel-client >/dev/null
}
build build-dist-linux
build build-dist-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
build build-dist-windows-developer -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DNIMBREL_SITE_DOMAIN=localhost

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/windows" "$stage/linux"
install -m 0755 build-dist-windows/nimbrel-client.exe "$stage/windows/"
node scripts/readme-txt.mjs "$readme" > "$stage/linux/README.txt"
sed 's/$/\r/' "$stage/linux/README.txt" > "$stage/windows/README.txt"
chmod 0644 "$stage/windows/README.txt" "$stage/linux/README.txt"
install -m 0755 build-dist-linux/nimbrel-client "$stage/linux/"
mkdir "$stage/developer"
install -m 0755 build-dist-windows-developer/nimbrel-client.exe "$stage/developer/"
cp -p "$stage/windows/README.txt" "$stage/developer/"
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

# Earlier releases go, and nothing else in the folder.
mkdir -p "$out"
rm -f "$out"/nimbrel-client-*-windows-x64.zip "$out"/nimbrel-client-*-linux-x64.tar.gz "$out/SHA256SUMS"
rm -f "$out"/nimbrel-client-*-windows-x64-developer-localhost.zip "$out"/nimbrel-companion-*.tgz
(cd "$stage/windows" && zip -q -X -D "$out/$name-windows-x64.zip" nimbrel-client.exe README.txt)
tar -C "$stage/linux" --format=gnu --sort=name --mtime="@$SOURCE_DATE_EPOCH" \
  --owner=0 --group=0 --numeric-owner --mode=a+rX,u+w,go-w -c nimbrel-client README.txt |
  gzip -9n > "$out/$name-linux-x64.tar.gz"
(cd "$stage/developer" && zip -q -X -D "$out/$name-windows-x64-developer-localhost.zip" nimbrel-client.exe README.txt)
# npm gives every entry of the package one fixed time and mode.
(cd web && npm pack --silent --pack-destination "$out" >/dev/null)
(cd "$out" && sha256sum "$name-linux-x64.tar.gz" "$name-windows-x64.zip" "$name-windows-x64-developer-localhost.zip" \
  "nimbrel-companion-$version.tgz" > SHA256SUMS)
cat "$out/SHA256SUMS"
