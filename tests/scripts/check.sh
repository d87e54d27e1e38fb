#!/usr/bin/env bash
# Checks the maintainers' scripts where a fault would go unnoticed: an old
# Node.js let through, a suite run on the machine's own loopback, a format
# check that never fails or that judges generated headers.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "scripts check: $*" >&2; exit 1; }

# install-deps.sh: Node 18, as Debian 12 has it, is refused with what to do.
mkdir "$work/bin"
printf '#!/bin/sh\n[ "$1" = --version ] && echo v18.19.0 || exit 1\n' > "$work/bin/node"
printf '#!/bin/sh\necho "  Candidate: 18.19.0+dfsg-6~deb12u2"\n' > "$work/bin/apt-cache"
chmod +x "$work/bin/"*
out=$(PATH=$work/bin:$PATH scripts/install-deps.sh demo 2>&1) && fail "Node 18 accepted"
grep -q '20.10 or later' <<<"$out" || fail "Node 18 refused without saying what is needed: $out"

# netns.sh: only a loopback of its own, and up, IPv6-only with --v6only; for
# root and, where a user can be switched to, for an unprivileged one.
probe='ip -o link show up | cut -d: -f2 | tr -d " \n"; echo " $(cat /proc/sys/net/ipv6/bindv6only)"'
users=(root)
[[ $(id -u) == 0 ]] && command -v setpriv >/dev/null && users+=(nobody)
for user in "${users[@]}"; do
  run=()
  [[ $user == nobody ]] && run=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  seen=$("${run[@]}" scripts/netns.sh --v6only bash -c "$probe" 2>&1) || fail "no namespace for $user: $seen"
  [[ $seen == 'lo 1' ]] || fail "$user's namespace has '$seen', not only lo and bindv6only=1"
done

# format.sh --check: fails on a misformatted line, naming its file; leaves the
# generated headers alone.
mkdir -p "$work/tree/scripts" "$work/tree/src/game"
cp .clang-format "$work/tree/" && cp scripts/format.sh "$work/tree/scripts/"
printf 'int  f ( ) ;\n' | tee "$work/tree/src/game/packet_ids.h" > "$work/tree/src/game/logo.h"
git -C "$work/tree" init -q && git -C "$work/tree" add -A
"$work/tree/scripts/format.sh" --check >/dev/null 2>&1 || fail "format check fails on generated headers"
cp "$work/tree/src/game/logo.h" "$work/tree/src/odd.cpp" && git -C "$work/tree" add -A
out=$("$work/tree/scripts/format.sh" --check 2>&1) && fail "a misformatted line passes the format check"
grep -q 'src/odd.cpp' <<<"$out" || fail "the format check does not name the file: $out"
echo "scripts: install-deps, netns and format checks hold"
