#!/usr/bin/env bash
# Formats the tracked C++ sources with the repository's .clang-format:
#   scripts/format.sh            rewrites what differs
#   scripts/format.sh --check    lists what differs, and fails if anything does
# Generated headers are left to their generators: src/game/packet_ids.h
# (scripts/gen-packet-ids.mjs) and src/game/logo.h (assets/draw-logo.mjs).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.ipp' '*.c' |
  grep -vxE 'src/game/(packet_ids|logo)\.h')

if [[ ${1:-} != --check ]]; then
  clang-format -i "${files[@]}"
  echo "format: ${#files[@]} files formatted"
  exit 0
fi
report=$(clang-format --dry-run "${files[@]}" 2>&1)
if [[ -z $report ]]; then
  echo "format-check: ${#files[@]} files as .clang-format wants"
  exit 0
fi
echo "$report" | head -n 80
differences=$(grep -c ': warning: ' <<<"$report")
changed=$(grep ': warning: ' <<<"$report" | cut -d: -f1 | sort -u | wc -l)
echo "format-check: $differences differences in $changed files; 'make format' rewrites them" >&2
exit 1
