# pngtrans: make demo | make test. Both start with the idempotent dependency set-up.
SHELL := /bin/bash

.PHONY: all deps build build-linux32 build-asan build-win32 test demo format clean

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
	build/linux32/xtnd-host demo build/demo-linux32
	cmake/wine-run build/win32/xtnd-host.exe demo build/demo-win32

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
