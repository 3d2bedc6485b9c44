# pngtrans: make demo | make test. Both start with the idempotent dependency set-up.
SHELL := /bin/bash

.PHONY: all deps build build-linux32 build-asan build-win32 test demo format clean bench

all: build

deps:
	bash scripts/install-deps

build-linux32:
	cmake --preset linux32 >/dev/null && cmake --build --preset linux32

build-asan:
	cmake --preset linux32-asan >/dev/null && cmake --build --preset linux32-asan

build-win32:
	cmake --preset win32 >/dev/null && cmake --build --preset win32

build: deps
	$(MAKE) build-linux32 build-asan build-win32

# Every test on both targets: the Linux module natively and under ASan+UBSan, the DLL and the
# Windows test programs under Wine.
test: build
	ctest --preset linux32-asan
	ctest --preset linux32
	ctest --preset win32

# The main job on a built-in sample, through the Linux module and through the DLL under Wine.
demo: deps
	$(MAKE) build-linux32 build-win32
	build/linux32/xtnd-host demo build/linux32/pngtrans.so build/demo-linux32
	cmake/wine-run build/win32/xtnd-host.exe demo build/win32/pngtrans.dll build/demo-win32

# The benchmark (bench/, a CMake project of its own): its packages and generated corpus, the
# linux32 module, then the ratios (also build/bench/table.md) and the chart docs/bench.png.
BENCH_REPEATS ?= 7
bench: deps
	bash scripts/install-bench-deps
	$(MAKE) build-linux32
	bash bench/make-corpus.sh build/bench/corpus
	cmake -S bench -B build/bench/build -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/linux-m32.cmake >/dev/null
	cmake --build build/bench/build -j2
	build/bench/build/pngtrans-bench build/linux32/pngtrans.so build/bench/corpus build/bench $(BENCH_REPEATS)
	gnuplot -e "datafile='build/bench/ratios.dat'; output='docs/bench.png'" bench/chart.gp

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
