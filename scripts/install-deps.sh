#!/usr/bin/env bash
# Installs what the build and the tests need and the machine lacks: Debian
# packages through apt, npm packages from the end-to-end suite's lockfile.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make clang libclang-rt-14-dev libgtest-dev g++-mingw-w64-x86-64 wine wine64 chromium
  zip icoutils nodejs npm)
# `install-deps.sh bench`: also the relays the benchmark compares with.
[[ ${1:-} == bench ]] && packages+=(haproxy socat)
# `install-deps.sh demo`: only what `make demo` needs.
[[ ${1:-} == demo ]] && packages=(cmake g++ make nodejs npm)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
# Node and npm may come from outside Debian's packages; what counts is that they run.
if command -v node >/dev/null && command -v npm >/dev/null; then
  filtered=()
  for package in "${missing[@]}"; do
    [[ $package == nodejs || $package == npm ]] || filtered+=("$package")
  done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi
if ((${#missing[@]} > 0)); then
  echo "installing: ${missing[*]}"
  [[ $(id -u) == 0 ]] && sudo= || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [[ ! -d tests/e2e/node_modules ]] || [[ tests/e2e/package-lock.json -nt tests/e2e/node_modules/.package-lock.json ]]; then
  (cd tests/e2e && npm ci --no-audit --no-fund --loglevel=error)
fi
