# pngtrans: make demo | make test. Both start with the idempotent dependency set-up.
SHELL := /bin/bash

.PHONY: all deps build build-linux32 build-asan build-win32 test demo dist screenshot fuzz bench format clean

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
	@echo "== Linux: build/linux32/xtnd-host demo build/demo-linux32"
	@build/linux32/xtnd-host demo build/demo-linux32
	@echo "== Windows (Wine): build/win32/xtnd-host.exe demo build/demo-win32"
	@cmake/wine-run build/win32/xtnd-host.exe demo build/demo-win32
	@n=0; for f in build/demo-linux32/*.png; do \
	  cmp -s "$$f" "build/demo-win32/$${f##*/}" || { echo "demo: $${f##*/} differs between Linux and Windows"; exit 1; }; \
	  n=$$((n + 1)); \
	done; echo "demo: the Linux and Windows runs wrote byte-identical files ($$n files)"
	@echo "demo: look at build/demo-linux32/contact-sheet.png"

# What a host vendor ships: the DLL, the reference host, the header, README and docs, with a
# SHA-256 list of the files.
dist: deps
	$(MAKE) build-win32
	rm -rf build/dist && mkdir -p build/dist/pngtrans-win32/include
	cp build/win32/pngtrans.dll build/win32/xtnd-host.exe build/dist/pngtrans-win32/
	cp include/pngtrans_host.h build/dist/pngtrans-win32/include/
	cp -r README.md docs build/dist/pngtrans-win32/
	cd build/dist/pngtrans-win32 && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum > SHA256SUMS
	cd build/dist && zip -qrX pngtrans-win32.zip pngtrans-win32 && cp pngtrans-win32/SHA256SUMS .
	@echo "dist: build/dist/pngtrans-win32.zip"; cat build/dist/SHA256SUMS

# The save-options dialog under Wine on Xvfb, pictured into docs/save-options.png.
screenshot:
	bash scripts/screenshot

# The libFuzzer targets (clang -m32, ASan + UBSan), each for FUZZ_SECONDS; CI runs them for 60.
FUZZ_SECONDS ?= 300
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/run-fuzzers

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
