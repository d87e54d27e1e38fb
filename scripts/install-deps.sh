#!/usr/bin/env bash
# Installs what the named parts of the build and the tests need and the
# machine lacks: Debian packages through apt (as root, or through sudo), npm
# packages from the end-to-end suite's lockfile.
#   scripts/install-deps.sh [part...]    (no part: all of them)
# Parts: build unit windows wine fuzz e2e bench dist dist-check demo demo-test format scripts.
set -euo pipefail
cd "$(dirname "$0")/.."

parts=("$@")
((${#parts[@]})) || parts=(build unit windows wine fuzz e2e bench dist dist-check demo demo-test format scripts)
packages=() node=no npm_packages=no
for part in "${parts[@]}"; do
  case $part in
    build) packages+=(cmake g++ make) ;;
    unit) packages+=(cmake g++ make libgtest-dev) ;;
    windows) packages+=(cmake make g++-mingw-w64-x86-64) ;;
    wine) packages+=(wine wine64) ;;
    fuzz) packages+=(cmake make clang libclang-rt-14-dev) ;;
    e2e) packages+=(iproute2 procps chromium) node=yes npm_packages=yes ;;
    bench) packages+=(iproute2 haproxy socat) ;;
    dist) packages+=(cmake g++ make g++-mingw-w64-x86-64 zip git) ;;
    dist-check) packages+=(cmake g++ make g++-mingw-w64-x86-64 zip git icoutils binutils) node=yes ;;
    demo) packages+=(cmake g++ make) node=yes npm_packages=yes ;;
    demo-test) packages+=(cmake g++ make iproute2 procps chromium) node=yes npm_packages=yes ;;
    format) packages+=(clang-format git) ;;
    scripts) packages+=(clang-format git iproute2 procps) ;;
    *) echo "install-deps: no part named '$part'" >&2 && exit 2 ;;
  esac
done

# The suite's test runner and the npm packages need Node.js 20.10 or later.
# Debian 12's own nodejs is 18: it is installed only where apt offers a newer one.
node_fits() {
  command -v node >/dev/null &&
    node -e 'const [a, b] = process.versions.node.split(".").map(Number);
             process.exit(a > 20 || (a == 20 && b >= 10) ? 0 : 1)'
}
if [[ $node == yes ]] && ! node_fits; then
  offered=$(apt-cache policy nodejs 2>/dev/null | sed -n 's/^ *Candidate: //p')
  if [[ -n $offered ]] && dpkg --compare-versions "$offered" ge 20.10; then
    node=from-apt
  else
    found=$(node --version 2>/dev/null || echo none)
    cat >&2 <<EOF
install-deps: Node.js 20.10 or later is needed (found: $found; apt offers: ${offered:-none}).
  Debian 12's own nodejs is version 18, too old for the end-to-end suite's test runner.
  Install Node.js 20 or 22 with its npm first, for example from NodeSource
  (https://github.com/nodesource/distributions, then apt-get install nodejs)
  or with nvm, and run this again.
EOF
    exit 1
  fi
fi

# One query for all: what is asked for and not installed.
installed() { dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' 2>/dev/null | awk '$2 == "ii" { print $1 }'; }
mapfile -t missing < <(printf '%s\n' "${packages[@]+"${packages[@]}"}" | sort -u | comm -23 - <(installed | sort -u))
# An older nodejs from apt is upgraded too.
[[ $node == from-apt ]] && missing+=(nodejs)
if ((${#missing[@]} > 0)); then
  echo "installing: ${missing[*]}"
  sudo=
  if [[ $(id -u) != 0 ]]; then
    command -v sudo >/dev/null || {
      echo "install-deps: installing Debian packages needs root or sudo; as root: apt-get install ${missing[*]}" >&2
      exit 1
    }
    sudo=sudo
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [[ $node != no ]] && ! command -v npm >/dev/null; then
  echo "install-deps: npm is missing beside node $(node --version); install the npm of that Node.js" >&2
  exit 1
fi

if [[ $npm_packages == yes ]] && { [[ ! -d tests/e2e/node_modules ]] ||
  [[ tests/e2e/package-lock.json -nt tests/e2e/node_modules/.package-lock.json ]]; }; then
  echo "installing the end-to-end suite's npm packages (tests/e2e/package-lock.json)"
  (cd tests/e2e && npm ci --no-audit --no-fund --no-update-notifier --loglevel=error >/dev/null)
fi
