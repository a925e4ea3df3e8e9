# Entry points named in the README. Every target installs what it needs first.
BUILD      ?= build/release
ASAN_BUILD ?= build/asan
JOBS       ?= 2
CMAKE_ARGS ?=

export ASAN_OPTIONS  ?= halt_on_error=1:abort_on_error=0:detect_leaks=1
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1

.PHONY: all deps build build-asan run test test-release test-asan bench clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUADRIX_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)

run: build
	./scripts/run-desktop.sh $(BUILD)

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# The release suite, then the same suite under ASan and UBSan.
test: test-release test-asan

bench: build
	./scripts/run-bench.sh $(BUILD)

clean:
	rm -rf build
