# Entry points named in the README. Every target installs what it needs first.
BUILD      ?= build/release
ASAN_BUILD ?= build/asan
FUZZ_BUILD ?= build/fuzz
JOBS       ?= 2
CMAKE_ARGS ?=
# Seconds each fuzz target runs for in `make fuzz` (seven targets).
FUZZ_SECONDS ?= 8
# libFuzzer is clang's; the fuzz targets are built only where it is there.
FUZZ_CXX   ?= $(firstword $(shell command -v clang++-14 clang++ 2>/dev/null))

export ASAN_OPTIONS  ?= halt_on_error=1:abort_on_error=0:detect_leaks=1
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1

.PHONY: all deps build build-asan build-fuzz run test test-release test-asan test-fuzz fuzz \
        bench clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUADRIX_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)

build-fuzz: deps
	@test -n "$(FUZZ_CXX)" || { echo "fuzz: clang++ not found (scripts/install-deps.sh installs it)"; exit 1; }
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX)
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

run: build
	./scripts/run-desktop.sh $(BUILD)

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# Each fuzz target for FUZZ_SECONDS, over its seeds first; any crash or
# sanitizer report fails (scripts/run-fuzz.sh).
fuzz: build-fuzz
	./scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A short fuzz run where clang is installed.
test-fuzz:
	@if [ -n "$(FUZZ_CXX)" ]; then $(MAKE) --no-print-directory fuzz; \
	 else echo "fuzz: skipped, clang++ not found (scripts/install-deps.sh installs it)"; fi

# The release suite, then the same suite under ASan and UBSan, then a short
# run of the fuzz targets.
test: test-release test-asan
	@$(MAKE) --no-print-directory test-fuzz

bench: build
	./scripts/run-bench.sh $(BUILD)

clean:
	rm -rf build
