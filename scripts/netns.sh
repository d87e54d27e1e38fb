#!/usr/bin/env bash
# Runs a command in a network namespace of its own, whose only interface is a
# loopback that is up: the program's fixed ports clash with nothing on the
# machine, and no connection of an earlier run lingers in TIME_WAIT.
#   scripts/netns.sh [--v6only] COMMAND [ARGUMENT...]
# --v6only makes IPv6 sockets IPv6-only there, as on Windows.
# As root it takes `unshare -n`; any other user gets the same through a user
# namespace (`unshare -rn`), where they count as root for that network only.
# It fails, saying why, where neither works: it never falls back to the
# machine's own loopback.
set -euo pipefail
# Debian puts ip and sysctl in /usr/sbin, which is not on a user's PATH.
export PATH=$PATH:/usr/sbin:/sbin
v6only=0
[[ ${1:-} == --v6only ]] && v6only=1 && shift
(($#)) || { echo "usage: scripts/netns.sh [--v6only] COMMAND [ARGUMENT...]" >&2; exit 2; }
command -v ip >/dev/null || { echo "netns: 'ip' is missing: install iproute2 (scripts/install-deps.sh e2e)" >&2; exit 1; }

for flags in -n -rn; do
  if unshare $flags true 2>/dev/null; then
    exec unshare $flags bash -c 'ip link set lo up && { (($0 == 0)) || sysctl -qw net.ipv6.bindv6only=1; } &&
      exec "$@"' "$v6only" "$@"
  fi
done
cat >&2 <<EOF
netns: cannot make a network namespace: 'unshare -n' needs root, and 'unshare -rn'
  fails for $(id -un) ($(unshare -rn true 2>&1 || true)).
  Run as root, or allow unprivileged user namespaces (for example
  sysctl -w user.max_user_namespaces=15000, or on older kernels
  sysctl -w kernel.unprivileged_userns_clone=1).
EOF
exit 1
