# Short commands for the README: `make` builds, `make test` installs what is missing and runs
# every test, `make demo` records a few seconds on the stand-in device, `make bench` runs the
# benchmarks, `make fuzz` runs the reader's fuzz harness for FUZZ_SECONDS. PRESET picks the
# CMake preset (default, asan, tsan); CTEST_ARGS narrows a run (for example
# CTEST_ARGS="-L e2e" for the end-to-end tests only).
PRESET ?= default
BUILD_DIR = $(if $(filter default,$(PRESET)),build,build-$(PRESET))
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60

.PHONY: all build configure deps test bench demo fuzz clean

all: build

deps:
	scripts/install-deps.sh build test

configure:
	cmake --preset $(PRESET) >/dev/null

build: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

test: deps
	$(MAKE) build PRESET=$(PRESET)
	ctest --preset $(PRESET) -j $(JOBS) $(CTEST_ARGS)

demo: deps
	$(MAKE) build PRESET=default
	scripts/demo.sh

bench: deps
	$(MAKE) build PRESET=default
	bench/run

fuzz:
	scripts/install-deps.sh build fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target avi_reader_fuzzer fuzz_seeds
	fuzz/run $(FUZZ_SECONDS)

clean:
	rm -rf build build-*
