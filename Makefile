# A thin layer over CMake: `make example` and `make test` are the two commands
# the README gives.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60

.PHONY: all example test unit release debug asan fuzz clean

all: release

release:
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVELXREF_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build/release -j $(JOBS)

example: release
	mkdir -p build/example
	cd examples && ../build/release/velxref BLINK -o../build/example
	@echo "--- build/example/BLINK.VXR ---"
	@tr -d '\r\032' < build/example/BLINK.VXR | tr '\f' '\n'

debug:
	cmake -S . -B build/debug -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELXREF_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build/debug -j $(JOBS)

asan:
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DVELXREF_SANITIZE=ON -DVELXREF_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build/asan -j $(JOBS)

# Every test: each fuzz target for FUZZ_SECONDS, then the unit and end-to-end
# suites in a normal build, the binary under valgrind, and the suites again in
# a sanitizer build (whose summary closes the output).
test: fuzz unit

unit: debug asan
	cd build/debug && ctest --output-on-failure
	bash tests/valgrind.sh build/debug/velxref
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure

fuzz:
	bash fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf build
