#!/usr/bin/env bash
# Builds the release twice, from two copies of the tree in two temporary
# folders, one after the other and with different umasks, and fails unless
# the two are byte for byte the same. Then checks what Windows sees of the
# program: its icon, version information and manifest, a GUI program that
# needs only system DLLs.
set -euo pipefail
cd "$(dirname "$0")/../.."
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for copy in first second; do
  mkdir "$work/$copy"
  git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$work/$copy"
  [[ $copy == first ]] && mask=022 || mask=077
  (umask $mask && "$work/$copy/scripts/dist.sh" "$work/$copy/dist" >/dev/null)
done
diff -r "$work/first/dist" "$work/second/dist"
cat "$work/first/dist/SHA256SUMS"

exe=$work/first/build-dist-windows/nimbrel-client.exe
cmp "$exe" <(unzip -p "$work/first/dist/"*-windows-x64.zip nimbrel-client.exe)
resources=$(wrestool -l "$exe")
for kind in 'type=group_icon' 'type=version' '--type=24 --name=1'; do
  grep -q -e "$kind" <<<"$resources" || { echo "no $kind resource in the program" >&2; exit 1; }
done
wrestool -x --raw --type=16 "$exe" | strings -el | grep -qx 'Nimbrel Client'
wrestool -x --raw --type=24 "$exe" | grep -q 'level="asInvoker"'
# The 32 px icon Explorer shows is the logo's.
wrestool -x --type=group_icon -o "$work/program.ico" "$exe"
icotool -x -w 32 -o "$work/program.png" "$work/program.ico"
icotool -x -w 32 -o "$work/logo.png" assets/logo.ico
cmp "$work/program.png" "$work/logo.png"

headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers"
others=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" |
  grep -viE '^(kernel32|msvcrt|ws2_32|user32|advapi32|shell32|ole32|bcrypt)\.dll$' || true)
[[ -z $others ]] || { echo "the program needs DLLs players may lack: $others" >&2; exit 1; }
echo "dist: reproducible; resources, subsystem and DLLs as they should be"
