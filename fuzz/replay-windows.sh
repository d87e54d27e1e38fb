#!/usr/bin/env bash
# Replays every committed corpus through the Windows build's replay runners,
# under Wine in the Windows build's own prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX=$PWD/build-windows/wineprefix WINEDEBUG=-all
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# Bounded, like every Wine step: a hang ends as a failure.
[[ -f $WINEPREFIX/system.reg ]] || timeout 600 wineboot -i >/dev/null 2>&1
for corpus in fuzz/corpus/*/; do
  target=$(basename "$corpus")
  printf '%s: ' "$target"
  timeout 300 wine "build-windows/fuzz/${target}_fuzz.exe" "$corpus" 2>/dev/null
done
