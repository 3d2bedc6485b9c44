# pngtrans: make demo | make test. Both start with the idempotent dependency set-up.
SHELL := /bin/bash
# The switch that takes the path of a machine without 32-bit execution (see scripts/detect-x32).
export PNGTRANS_FORCE_NO32

.PHONY: all deps build build-linux32 build-linux64 build-win32 test demo dist reproducible screenshot fuzz bench format clean

all: build

deps:
	bash scripts/install-deps

build-linux32:
	cmake --preset linux32 >/dev/null && cmake --build --preset linux32

build-linux64:
	cmake --preset linux64 >/dev/null && cmake --build --preset linux64

build-win32:
	cmake --preset win32 >/dev/null && cmake --build --preset win32

# Every preset this machine can build (all of them; linux32-asan only where 32-bit programs run
# natively, since nothing else can run it).
build: deps
	bash scripts/tiers build

# Every test of every tier the machine can run (scripts/tiers): the x86-64 Linux module natively,
# under ASan + UBSan and under TSan, the x86-64 DLL under wine64, the 32-bit Linux module natively
# or through qemu-i386, and where 32-bit programs run natively, its sanitized build and the i686
# DLL under Wine. It ends with one line per tier. PNGTRANS_FORCE_NO32=1 takes the path of a
# machine that runs no 32-bit programs.
test: deps
	bash scripts/tiers test

# The main job on a built-in sample, through every module the machine can run.
demo: deps
	bash scripts/demo

# What a host vendor ships (scripts/dist): build/dist/pngtrans-VERSION-win32.zip with the lean
# DLL and reference host, their debug information in a second zip, SHA256SUMS of everything.
dist: deps
	bash scripts/dist

# Two clean clones at different paths built one after the other must give the same bytes.
reproducible: deps
	bash scripts/check-reproducible

# The save-options dialog under Wine on Xvfb, pictured into docs/save-options.png.
screenshot:
	bash scripts/screenshot

# The libFuzzer targets (clang -m32, ASan + UBSan), each for FUZZ_SECONDS; CI runs them for 60.
FUZZ_SECONDS ?= 300
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/run-fuzzers

# The benchmark (bench/, a CMake project of its own): its packages and generated corpus, the
# x86-64 module against x86-64 libpng and libspng, and where 32-bit programs run natively the
# i386 comparison too (scripts/bench); tables in build/bench/ARCH/, the chart docs/bench.png.
BENCH_REPEATS ?= 7
export BENCH_REPEATS
bench: deps
	bash scripts/install-bench-deps
	bash scripts/bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
