# Entry points for people and CI. Every target runs its steps in full; CMake and Ninja decide
# what is already up to date.

SOURCE_DIRS := $(wildcard bench cli engine fuzz platform res sim tests ui)

.PHONY: all deps build test test-asan demo format clean

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

demo: build
	./scripts/demo

format:
	find $(SOURCE_DIRS) \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 -r clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz
