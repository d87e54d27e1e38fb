#!/usr/bin/env bash
# Runs the end-to-end suite against one build of the program:
#   scripts/e2e.sh build/nimbrel-client
#   scripts/e2e.sh build-windows/nimbrel-client.exe   (under Wine)
#   E2E_FILTER=control scripts/e2e.sh build/nimbrel-client --test-name-pattern=handshake
# E2E_FILTER picks test files by a regular expression; further arguments go to
# node --test.
# The suite uses the program's fixed ports, so its files run one at a time.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "$1")

# The suite runs in a network namespace of its own (scripts/netns.sh): a
# fresh loopback whose ports no other program holds and where no connection of
# an earlier run lingers in TIME_WAIT. IPv6 sockets there are IPv6-only, as on
# Windows. NIMBREL_E2E_NETNS=1 runs it where it is instead.
if [[ -z ${NIMBREL_E2E_NETNS:-} ]]; then
  export NIMBREL_E2E_NETNS=1
  exec scripts/netns.sh --v6only scripts/e2e.sh "$program" "${@:2}"
fi
export NIMBREL_PROGRAM=$program
# The Origin cases need the site domain the program was built for: taken from
# NIMBREL_SITE_DOMAIN, else from the build's CMake cache, else the default.
if [[ -z ${NIMBREL_SITE_DOMAIN:-} ]]; then
  NIMBREL_SITE_DOMAIN=$(sed -n 's/^NIMBREL_SITE_DOMAIN:[A-Z]*=//p' "$(dirname "$program")/CMakeCache.txt" 2>/dev/null || true)
fi
export NIMBREL_SITE_DOMAIN=${NIMBREL_SITE_DOMAIN:-nimbrel.example}

if [[ $program == *.exe ]]; then
  # A prefix of its own, and its server ended however the suite ends, so that
  # no Wine process outlives the run.
  export WINEPREFIX=$(dirname "$program")/wineprefix WINEDEBUG=-all
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    timeout 600 wineboot -i >/dev/null 2>&1
  fi
  wineserver -p 60 >/dev/null 2>&1 || true
fi

cd tests/e2e
# E2E_FILES: other test files than the suite's own (a glob below tests/e2e).
files=(${E2E_FILES:-*.test.mjs})
if [[ -n ${E2E_FILTER:-} ]]; then
  files=($(printf '%s\n' "${files[@]}" | grep -E "$E2E_FILTER"))
fi
# Every test, and every file as a whole, has a time limit, so that a hang ends
# as a failure that names it; a file whose tests have all ended exits even if
# something of it is still open (Node 20.14 and later).
limit=900
[[ ${NIMBREL_SOAK:-} == long ]] && limit=1800
flags=(--test-concurrency=1 --test-timeout=$((limit * 1000)))
node --test-force-exit -e 0 2>/dev/null && flags+=(--test-force-exit)
node --test "${flags[@]}" "${@:2}" "${files[@]}"
