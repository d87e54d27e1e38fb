# Quick start: `make run` builds and starts the Linux program; `make test`
# installs what the tests need, builds every target and runs every suite.

JOBS ?= 2
SITE_DOMAIN ?= nimbrel.example
CMAKE_OPTIONS = -DNIMBREL_SITE_DOMAIN=$(SITE_DOMAIN)

.PHONY: all build windows asan run test deps unit e2e e2e-linux e2e-asan e2e-windows clean bench

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

test: deps
	$(MAKE) build asan windows
	$(MAKE) unit
	$(MAKE) e2e

# The relay benchmark against direct, haproxy and socat, in a network namespace
# of its own (it uses the program's fixed ports). QUICK=1 for a short run;
# RUNS=N for the number of runs whose medians it prints.
bench: build
	BENCH_QUICK=$(QUICK) BENCH_RUNS=$(RUNS) unshare -n bash -c 'ip link set lo up && ./build/nimbrel-bench'

clean:
	rm -rf build build-asan build-windows
