#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer and runs each for a while:
#   fuzz/build.sh [seconds per target, default 60]
# Needs the Linux build's generated header (make build).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
mkdir -p fuzz/out
sources=(src/control/*.cpp src/host/log.cpp src/host/registry.cpp src/platform/platform.cpp)
for target in handshake frame; do
  clang++ -std=c++20 -g -O1 -fsanitize=address,undefined,fuzzer -Isrc -Ibuild/generated \
    "fuzz/${target}_fuzz.cpp" "${sources[@]}" -o "fuzz/out/${target}_fuzz"
  mkdir -p "fuzz/out/${target}_corpus"
  "fuzz/out/${target}_fuzz" -max_total_time="$seconds" -max_len=2048 "fuzz/out/${target}_corpus"
done
