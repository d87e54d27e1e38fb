#!/usr/bin/env bash
# Runs the libFuzzer targets built in build-fuzz, one after the other:
#   fuzz/run.sh [target...]        (default: all of them)
# FUZZ_SECONDS sets the time per target (default 60). Each target works on a
# corpus of its own in build-fuzz/corpus, started from the committed seeds;
# a crash leaves its input in build-fuzz/crashes and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=("$@")
((${#targets[@]})) || targets=(handshake frame varint standby status mitm_c2s mitm_s2c follow)

max_len() {
  case $1 in
    varint) echo 64 ;;
    frame) echo 16384 ;;
    mitm_c2s | mitm_s2c) echo 20480 ;;
    *) echo 4096 ;;
  esac
}

status=0
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$target crashes=build-fuzz/crashes/$target/
  mkdir -p "$corpus" "$crashes" build-fuzz/logs
  log=build-fuzz/logs/$target.log
  echo "fuzzing $target for ${seconds}s"
  if ! build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -max_len="$(max_len "$target")" \
      -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$crashes" \
      "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "  $target failed; see $log and $crashes"
    tail -n 30 "$log"
    status=1
    continue
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log" | sed 's/^/  /'
done
exit $status
