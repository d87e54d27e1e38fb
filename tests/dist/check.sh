#!/usr/bin/env bash
# Builds the release twice, from two copies of the tree in two temporary
# folders, one after the other and with different umasks, and fails unless
# the two are byte for byte the same. Then checks that the logo files are
# fresh, and what Windows sees of the program: its icon, version information
# and manifest, a GUI program that needs only system DLLs.
set -euo pipefail
cd "$(dirname "$0")/../.."
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "dist check: $*" >&2; exit 1; }

for copy in first second; do
  mkdir "$work/$copy"
  git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$work/$copy"
  [[ $copy == first ]] && mask=022 || mask=077
  (umask $mask && "$work/$copy/scripts/dist.sh" "$work/$copy/dist" >/dev/null)
done
diff -r "$work/first/dist" "$work/second/dist"
cat "$work/first/dist/SHA256SUMS"

# The kit's package: the program's version, the repository's licence.
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
kit_version=$(node -p 'require("./web/package.json").version')
[[ $kit_version == "$version" ]] || fail "web/package.json has version $kit_version, the program $version"
grep -q "^export const version = '$version';" web/nimbrel-companion.js ||
  fail "the kit's version export is not $version"
cmp -s LICENSE web/LICENSE || fail "web/LICENSE differs from LICENSE"
grep -qx package/LICENSE < <(tar -tzf "$work/first/dist/nimbrel-companion-$version.tgz") ||
  fail "the kit's tarball has no LICENSE"

# The developer build greets pages of http://localhost, and no others. (It
# is named through a link: the suite ends stray programs by their real path,
# which must not be in its own command line.)
ln -s "$work/first/build-dist-windows-developer" "$work/developer"
NIMBREL_SITE_DOMAIN=localhost E2E_FILES=demo/origin.test.mjs \
  ./scripts/e2e.sh "$work/developer/nimbrel-client.exe" >/dev/null || fail "the developer build's Origin test failed"

# The committed logo files are what the script draws today.
node "$work/first/assets/draw-logo.mjs" >/dev/null
for file in assets/logo.png assets/logo.ico src/game/logo.h; do
  cmp -s "$file" "$work/first/$file" || fail "$file is stale: run node assets/draw-logo.mjs"
done

# Explorer shows the program's icon, version information and manifest.
exe=$work/first/build-dist-windows/nimbrel-client.exe
icotool -x -w 32 -o "$work/logo.png" assets/logo.ico
wrestool -x --type=group_icon -o "$work/program.ico" "$exe" &&
  icotool -x -w 32 -o "$work/program.png" "$work/program.ico" && cmp -s "$work/program.png" "$work/logo.png" ||
  fail "the program's 32 px icon is not the logo"
info=$(wrestool -x --raw --type=16 "$exe" | strings -el)
grep -qx 'Nimbrel Client' <<<"$info" && grep -qx "$version" <<<"$info" ||
  fail "the version information lacks the name or $version"
for field in COMPANY COPYRIGHT; do
  value=$(sed -n "s/^set(NIMBREL_$field \"\(.*\)\")/\1/p" CMakeLists.txt)
  [[ -n $value ]] && grep -qxF "$value" <<<"$info" || fail "the version information lacks NIMBREL_$field"
done
manifest=$(wrestool -x --raw --type=24 --name=1 "$exe")
grep -q 'level="asInvoker"' <<<"$manifest" || fail "no manifest, or it asks for more than asInvoker"

headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "not a GUI program: it would open a console"
others=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" |
  grep -viE '^(kernel32|msvcrt|ws2_32|user32|advapi32|shell32|ole32|bcrypt)\.dll$' || true)
[[ -z $others ]] || fail "the program needs DLLs players may lack: $others"
! x86_64-w64-mingw32-objdump -h "$exe" | grep -q ' \.debug' || fail "the program carries debug sections"

# README.txt reads well in Notepad, and the tarball has the same text.
readme=$work/README.txt
unzip -p "$work/first/dist/nimbrel-client-$version-windows-x64.zip" README.txt > "$readme"
tar -xzOf "$work/first/dist/nimbrel-client-$version-linux-x64.tar.gz" README.txt | sed 's/$/\r/' | cmp -s - "$readme" ||
  fail "the tarball has no README.txt, or another text than the zip's"
! grep -qv $'\r$' "$readme" || fail "README.txt has lines without CR LF"
long=$(tr -d '\r' < "$readme" | awk 'length > 78 { print NR ": " $0 }')
[[ -z $long ]] || fail "README.txt has lines over 78 columns: $long"
marks=$(grep -nP '\*\*|`|^\s*(#|\||```|>)|\]\(|<[a-z!]|[^\x09\x0d\x20-\x7e]' "$readme" || true)
[[ -z $marks ]] || fail "README.txt has Markdown marks or characters beyond ASCII: $marks"
echo "dist: reproducible; resources, subsystem, DLLs and README.txt as they should be"
