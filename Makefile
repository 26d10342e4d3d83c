# Entry points for people and CI. Every target runs its steps in full; CMake and Ninja decide
# what is already up to date.

SOURCE_DIRS := bench cli engine packaging platform res sim tests ui

.PHONY: all deps build test test-asan test-tsan test-windows windows fuzz demo package format clean

FUZZ_SECONDS ?= 60

all: build

deps:
	./scripts/install-deps

build: deps
	cmake --preset default
	cmake --build --preset default

test: build
	ctest --preset default

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

# The 64-bit Windows build and its tests under wine: the portable suites, the Windows platform's
# own, the serial line end to end against the Linux simulated device, which is built first, and
# the zip and the installer, which the test makes afresh.
test-windows: deps
	cmake --preset default
	cmake --build --preset default --target quorvane-target
	cmake --preset win64
	cmake --build --preset win64
	ctest --preset win64

# The Windows programs, 64-bit and 32-bit (build-win64/bin/, build-win32/bin/), and their
# packages: quorvane-<version>-win64.zip and quorvane-<version>-win64-setup.exe in build-win64/,
# the same for win32 in build-win32/. The 32-bit ones cannot run on this machine; they are built
# so that they keep building.
windows: deps
	cmake --preset win64
	cmake --build --preset win64
	cmake --build --preset win64 --target package
	cmake --preset win32
	cmake --build --preset win32
	cmake --build --preset win32 --target package

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	./scripts/fuzz $(FUZZ_SECONDS)

# Only what the demo runs: the terminal front end and the simulated device, and the desktop
# program when there is a display to show it on.
demo: deps
	cmake --preset default
	cmake --build --preset default --target quorvane-cli quorvane-target $(if $(DISPLAY),quorvane)
	./scripts/demo

# The .deb in build/ (quorvane_<version>_<arch>.deb), then its name, dependencies, files and
# modes, and lintian's verdict checked. Not part of `make test`: CPack stages and compresses the
# whole install each time, and what it checks changes only with packaging/.
package: build
	cmake --build --preset default --target package
	./packaging/check-package build

format:
	find $(SOURCE_DIRS) \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 -r clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz build-win64 build-win32

# Builds the benchmark programs and runs them all (about ten minutes: the paced 1 MiB updates
# alone take 92 s each), then rewrites docs/PERFORMANCE.md and docs/performance.svg. They are
# not tests and never run in `make test`.
.PHONY: bench
bench: deps
	cmake --preset default
	cmake --build --preset default --target benchmarks
	./bench/run-all
