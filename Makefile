# Short commands for the README: `make` builds, `make test` installs what is missing and runs
# every test, `make demo` records a few seconds on the stand-in device, `make bench` runs the
# benchmarks, `make fuzz` runs the reader's fuzz harness for FUZZ_SECONDS, `make fuzz-coverage`
# measures the line coverage of avi/ by that harness, `make cross-test` builds for 32-bit ARM
# and runs the tests under qemu-user, `make uclibc-test` builds uClibc-ng for that ARM and
# mirvo against it and compares its work under qemu-user with the default build's, `make tidy`
# runs clang-tidy, `make camera-test` boots an emulated ARM camera with that uClibc build
# and cuts its power on FAT32 and exFAT cards.
# PRESET picks the CMake preset (default, asan, tsan, cross, uclibc); CTEST_ARGS narrows a run (for
# example CTEST_ARGS="-L e2e" for the end-to-end tests only); MIRVO_WERROR=ON (the default
# when CI is set) makes warnings errors.
PRESET ?= default
BUILD_DIR = $(if $(filter default,$(PRESET)),build,build-$(PRESET))
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
MIRVO_WERROR ?= $(if $(CI),ON,OFF)

.PHONY: all build configure deps test bench demo fuzz fuzz-coverage cross-test uclibc-test camera-test tidy clean

all: build

deps:
	scripts/install-deps.sh build test $(if $(filter cross,$(PRESET)),cross)

configure:
	cmake --preset $(PRESET) -DMIRVO_WERROR=$(MIRVO_WERROR) >/dev/null

build: configure
	cmake --build --preset $(PRESET) -j $(JOBS)

test: deps
	$(MAKE) build PRESET=$(PRESET)
	ctest --preset $(PRESET) -j $(JOBS) $(CTEST_ARGS)

# The demo installs, builds (preset demo: its four programs only) and runs by itself, quietly.
demo:
	@JOBS=$(JOBS) scripts/demo.sh

cross-test:
	scripts/install-deps.sh build test cross
	scripts/fetch-target-libs.sh build-cross/target-libs
	$(MAKE) test PRESET=cross

# The sysroot (uClibc-ng from Debian's source package, a few minutes) is built once and kept
# in build-uclibc/sysroot; the default build is the reference the comparisons read.
uclibc-test:
	scripts/install-deps.sh build test uclibc
	JOBS=$(JOBS) scripts/uclibc-sysroot.sh build-uclibc
	$(MAKE) build PRESET=default
	$(MAKE) build PRESET=uclibc
	ctest --preset uclibc -j $(JOBS) $(CTEST_ARGS)

# The camera box (scripts/camera-box.sh, in build-box) needs the uClibc build; its tests
# run one by one, each booting the box; missing packages skip them, saying so.
# MIRVO_CAMERA_CUTS_FAT32 and MIRVO_CAMERA_CUTS_EXFAT set how many cuts (3 and 2),
# MIRVO_CAMERA_SEED when they come (1). The soak (mirvoctl loop on a full card, each card)
# records MIRVO_CAMERA_SOAK_PARTS parts (24) through MIRVO_CAMERA_SOAK_CUTS cuts (4); the
# long run is MIRVO_CAMERA_SOAK_PARTS=300 MIRVO_CAMERA_SOAK_CUTS=10 (about 11 min a card).
camera-test:
	JOBS=$(JOBS) scripts/camera-test.sh $(CTEST_ARGS)

tidy:
	scripts/install-deps.sh build tidy
	$(MAKE) configure PRESET=default
	scripts/tidy.sh build

bench:
	scripts/install-deps.sh build test bench
	$(MAKE) build PRESET=default
	bench/run

fuzz:
	scripts/install-deps.sh build fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target avi_reader_fuzzer fuzz_seeds
	fuzz/run $(FUZZ_SECONDS)

fuzz-coverage:
	scripts/install-deps.sh build coverage
	JOBS=$(JOBS) fuzz/coverage $(FUZZ_SECONDS)

clean:
	rm -rf build build-*
