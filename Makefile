# Entry points for people and CI. Every target runs its steps in full; CMake and Ninja decide
# what is already up to date.

SOURCE_DIRS := $(wildcard bench cli engine fuzz platform res sim tests ui)

.PHONY: all deps build test test-asan test-tsan fuzz demo package format clean

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
	rm -rf build build-asan build-tsan build-fuzz

# Builds the benchmark programs and runs them all (about ten minutes: the paced 1 MiB updates
# alone take 92 s each), then rewrites docs/PERFORMANCE.md and docs/performance.svg. They are
# not tests and never run in `make test`.
.PHONY: bench
bench: deps
	cmake --preset default
	cmake --build --preset default --target benchmarks
	./bench/run-all
