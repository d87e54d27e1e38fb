# Quick start: `make run` builds and starts the Linux program; `make test`
# installs what the tests need, builds every target and runs every suite.
# Each target installs what it needs itself (scripts/install-deps.sh).

JOBS ?= 2
SITE_DOMAIN ?= nimbrel.example
CMAKE_OPTIONS = -DNIMBREL_SITE_DOMAIN=$(SITE_DOMAIN)
# The end-to-end suite's Origin cases use the domain the program is built for.
export NIMBREL_SITE_DOMAIN = $(SITE_DOMAIN)

# Quiet by default: results, not make's directory lines, nor the commands and
# CMake's progress (V=1 shows them).
MAKEFLAGS += --no-print-directory
ifeq ($(V),1)
Q =
CMAKE_OPTIONS += -DCMAKE_RULE_MESSAGES=ON -DCMAKE_TARGET_MESSAGES=ON
else
Q = @
CMAKE_OPTIONS += -DCMAKE_RULE_MESSAGES=OFF -DCMAKE_TARGET_MESSAGES=OFF
endif
DEPS = ./scripts/install-deps.sh
# The unit tests are configured only where they run (`make unit`), so that
# `make build` and `make run` need no GoogleTest.
TESTS ?= OFF
# The folders of the plain and the sanitizer build (`make unit` has its own).
BUILD_DIR ?= build
ASAN_DIR ?= build-asan

.PHONY: all build windows asan run test deps unit e2e e2e-linux e2e-asan e2e-windows \
  fuzz-build fuzz fuzz-short replay-windows soak bench dist dist-check demo demo-build demo-test \
  format format-check scripts-check clean

all: build

build:
	$(Q)$(DEPS) build
	$(Q)cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DNIMBREL_TESTS=$(TESTS) $(CMAKE_OPTIONS) >/dev/null
	$(Q)cmake --build $(BUILD_DIR) -j $(JOBS)
	@echo "built $(BUILD_DIR)/nimbrel-client"

asan:
	$(Q)$(DEPS) build
	$(Q)cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBREL_SANITIZE=ON \
	  -DNIMBREL_TESTS=$(TESTS) $(CMAKE_OPTIONS) >/dev/null
	$(Q)cmake --build $(ASAN_DIR) -j $(JOBS)
	@echo "built $(ASAN_DIR)/nimbrel-client"

windows:
	$(Q)$(DEPS) windows
	$(Q)cmake -S . -B build-windows -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_OPTIONS) >/dev/null
	$(Q)cmake --build build-windows -j $(JOBS)
	@echo "built build-windows/nimbrel-client.exe"

run: build
	./build/nimbrel-client

# Everything every target needs (make test); `install-deps.sh PART` for one.
deps:
	$(Q)$(DEPS)

# The unit tests build in folders of their own, plain and with the sanitizers,
# so that they never reconfigure the programs' folders (which the end-to-end
# suites may be running from).
unit:
	$(Q)$(DEPS) unit
	$(Q)$(MAKE) build asan TESTS=ON BUILD_DIR=build-unit ASAN_DIR=build-unit-asan
	$(Q)cd build-unit && ctest --output-on-failure --progress -j $(JOBS)
	$(Q)cd build-unit-asan && ctest --output-on-failure --progress -j $(JOBS)

e2e-linux: build
	$(Q)$(DEPS) e2e
	./scripts/e2e.sh build/nimbrel-client

e2e-asan: asan
	$(Q)$(DEPS) e2e
	./scripts/e2e.sh build-asan/nimbrel-client

e2e-windows: windows
	$(Q)$(DEPS) e2e wine
	./scripts/e2e.sh build-windows/nimbrel-client.exe

e2e: e2e-linux e2e-asan e2e-windows

# libFuzzer targets, built by clang in a folder of their own.
FUZZ_SECONDS ?= 60
fuzz-build:
	$(Q)$(DEPS) fuzz
	$(Q)cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DNIMBREL_FUZZ=ON -DNIMBREL_TESTS=OFF $(CMAKE_OPTIONS) >/dev/null
	$(Q)cmake --build build-fuzz -j $(JOBS)
	@echo "built the fuzz targets in build-fuzz/fuzz"

fuzz: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh

# A few seconds per target, as part of make test.
fuzz-short: fuzz-build
	FUZZ_SECONDS=5 ./fuzz/run.sh

replay-windows: windows
	$(Q)$(DEPS) wine
	./fuzz/replay-windows.sh

# Long soak and chaos runs of the Linux and the sanitizer builds (the short forms are in the e2e suite).
soak: build asan
	$(Q)$(DEPS) e2e
	NIMBREL_SOAK=long E2E_FILTER=chaos ./scripts/e2e.sh build/nimbrel-client
	NIMBREL_SOAK=long E2E_FILTER=chaos ./scripts/e2e.sh build-asan/nimbrel-client

# The end-to-end suites mostly wait on their peers: beside them, at the lowest
# CPU priority, the unit tests, the fuzzers, the release check and the demo's
# test build and run, their output shown once the suites are done.
BESIDE = unit fuzz-short dist-check demo-test
BESIDE_LOG = build/beside-e2e.log
test: deps
	$(MAKE) build asan windows
	$(MAKE) replay-windows scripts-check format-check
	$(Q){ start=$$(date +%s); nice -n 19 $(MAKE) $(BESIDE) >$(BESIDE_LOG) 2>&1; \
	  echo "exit $$? after $$(($$(date +%s) - start)) s" >>$(BESIDE_LOG); } & beside=$$!; \
	  $(MAKE) e2e; e2e=$$?; wait $$beside; \
	  echo "--- beside the end-to-end suites: $(BESIDE)"; cat $(BESIDE_LOG); \
	  [ $$e2e = 0 ] && tail -n 1 $(BESIDE_LOG) | grep -q '^exit 0 ' || { echo "make test: failed"; exit 1; }

# The release archives and their checksums in dist/ (see README, "Download and verify").
dist:
	$(Q)$(DEPS) dist
	SITE_DOMAIN=$(SITE_DOMAIN) JOBS=$(JOBS) ./scripts/dist.sh

# Builds the release twice in two temporary folders and compares them.
dist-check:
	$(Q)$(DEPS) dist-check
	SITE_DOMAIN=$(SITE_DOMAIN) JOBS=$(JOBS) ./tests/dist/check.sh

# The demo: the program built for the site "localhost" (in a folder of its
# own), the demo site at http://localhost:8080 and two rooms, until Ctrl-C.
# The build's output goes to build-demo/build.log; the terminal gets its result.
demo-build:
	$(Q)$(DEPS) build
	@cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DNIMBREL_SITE_DOMAIN=localhost -DNIMBREL_TESTS=OFF >/dev/null
	@if cmake --build build-demo -j $(JOBS) --target nimbrel-client >build-demo/build.log 2>&1; \
	then echo "demo: built build-demo/nimbrel-client for pages on http://localhost"; \
	else tail -n 30 build-demo/build.log; echo "demo: the build failed; its output: build-demo/build.log"; exit 1; fi

demo:
	$(Q)$(DEPS) demo
	@$(MAKE) --no-print-directory demo-build
	@node scripts/demo.mjs

# The demo driven headless in Chromium, and the kit's types compiled against a typed page.
# TypeScript is the suite's own, from its lockfile.
demo-test: demo-build
	$(Q)$(DEPS) demo-test
	cd tests/e2e && node_modules/.bin/tsc -p demo
	NIMBREL_SITE_DOMAIN=localhost E2E_FILES='demo/*.test.mjs' ./scripts/e2e.sh build-demo/nimbrel-client

# The relay benchmark against direct, haproxy and socat, in a network namespace
# of its own (it uses the program's fixed ports), for any user. QUICK=1 for a
# short run; RUNS=N for the number of runs whose medians it prints; DOC=1 to
# write the tables into docs/performance.md and the chart beside it.
bench: build
	$(Q)$(DEPS) bench
	BENCH_QUICK=$(QUICK) BENCH_RUNS=$(RUNS) \
	  $(if $(DOC),BENCH_DOC=docs/performance.md BENCH_CHART=docs/relay-sweep.svg) \
	  ./scripts/netns.sh ./build/nimbrel-bench

# The C++ sources as the repository's .clang-format wants them (generated
# headers excepted: their generators lay them out).
format:
	$(Q)$(DEPS) format
	$(Q)./scripts/format.sh

format-check:
	$(Q)$(DEPS) format
	$(Q)./scripts/format.sh --check

# The maintainers' scripts: the Node.js check, the namespace, the format check.
scripts-check:
	$(Q)$(DEPS) scripts
	$(Q)./tests/scripts/check.sh

clean:
	rm -rf build build-asan build-windows build-fuzz build-demo build-dist-linux build-dist-windows build-dist-windows-developer dist
