# Quick start: `make run` builds and starts the Linux program; `make test`
# installs what the tests need, builds every target and runs every suite.

JOBS ?= 2
SITE_DOMAIN ?= nimbrel.example
CMAKE_OPTIONS = -DNIMBREL_SITE_DOMAIN=$(SITE_DOMAIN)
# The end-to-end suite's Origin cases use the domain the program is built for.
export NIMBREL_SITE_DOMAIN = $(SITE_DOMAIN)

.PHONY: all build windows asan run test deps unit e2e e2e-linux e2e-asan e2e-windows \
  fuzz-build fuzz fuzz-short replay-windows soak bench dist dist-check demo demo-build demo-test clean

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_OPTIONS) >/dev/null
	cmake --build build -j $(JOBS)

asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBREL_SANITIZE=ON $(CMAKE_OPTIONS) >/dev/null
	cmake --build build-asan -j $(JOBS)

windows:
	cmake -S . -B build-windows -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_OPTIONS) >/dev/null
	cmake --build build-windows -j $(JOBS)

run: build
	./build/nimbrel-client

deps:
	./scripts/install-deps.sh

unit: build asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

e2e-linux: build
	./scripts/e2e.sh build/nimbrel-client

e2e-asan: asan
	./scripts/e2e.sh build-asan/nimbrel-client

e2e-windows: windows
	./scripts/e2e.sh build-windows/nimbrel-client.exe

e2e: e2e-linux e2e-asan e2e-windows

# libFuzzer targets, built by clang in a folder of their own.
FUZZ_SECONDS ?= 60
fuzz-build:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DNIMBREL_FUZZ=ON -DNIMBREL_TESTS=OFF $(CMAKE_OPTIONS) >/dev/null
	cmake --build build-fuzz -j $(JOBS)

fuzz: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh

# A few seconds per target, as part of make test.
fuzz-short: fuzz-build
	FUZZ_SECONDS=5 ./fuzz/run.sh

replay-windows: windows
	./fuzz/replay-windows.sh

# Long soak and chaos runs of the Linux and the sanitizer builds (the short forms are in the e2e suite).
soak: build asan
	NIMBREL_SOAK=long E2E_FILTER='soak|chaos' ./scripts/e2e.sh build/nimbrel-client
	NIMBREL_SOAK=long E2E_FILTER='soak|chaos' ./scripts/e2e.sh build-asan/nimbrel-client

test: deps
	$(MAKE) build asan windows
	$(MAKE) unit
	$(MAKE) fuzz-short replay-windows
	$(MAKE) e2e
	$(MAKE) dist-check
	$(MAKE) demo-test

# The release archives and their checksums in dist/ (see README, "Download and verify").
dist:
	SITE_DOMAIN=$(SITE_DOMAIN) JOBS=$(JOBS) ./scripts/dist.sh

# Builds the release twice in two temporary folders and compares them.
dist-check:
	SITE_DOMAIN=$(SITE_DOMAIN) JOBS=$(JOBS) ./tests/dist/check.sh

# The demo: the program built for the site "localhost" (in a folder of its
# own), the demo site at http://localhost:8080 and two rooms, until Ctrl-C.
demo-build:
	cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SITE_DOMAIN=localhost -DNIMBREL_TESTS=OFF >/dev/null
	cmake --build build-demo -j $(JOBS) --target nimbrel-client

demo:
	./scripts/install-deps.sh demo
	$(MAKE) demo-build
	node scripts/demo.mjs

# The demo driven headless in Chromium, and the kit's types compiled against a typed page.
demo-test: demo-build
	cd tests/e2e && npx tsc -p demo
	NIMBREL_SITE_DOMAIN=localhost E2E_FILES='demo/*.test.mjs' ./scripts/e2e.sh build-demo/nimbrel-client

# The relay benchmark against direct, haproxy and socat, in a network namespace
# of its own (it uses the program's fixed ports). QUICK=1 for a short run;
# RUNS=N for the number of runs whose medians it prints; DOC=1 to write the
# tables into docs/performance.md and the chart beside it.
bench: build
	./scripts/install-deps.sh bench
	BENCH_QUICK=$(QUICK) BENCH_RUNS=$(RUNS) \
	  $(if $(DOC),BENCH_DOC=docs/performance.md BENCH_CHART=docs/relay-sweep.svg) \
	  unshare -n bash -c 'ip link set lo up && ./build/nimbrel-bench'

clean:
	rm -rf build build-asan build-windows build-fuzz build-demo build-dist-linux build-dist-windows dist
