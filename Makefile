# A thin layer over CMake: `make example` and `make test` are the two commands
# the README gives; the other targets are their parts and the packages.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 30
FUZZ_LONG_SECONDS ?= 1800
MAKEFLAGS += --no-print-directory

# The Windows build runs under Wine, in a Wine prefix of its own.
WINE ?= /usr/lib/wine/wine64
WINE_ENV = WINEPREFIX=$(CURDIR)/build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

.PHONY: all example test engines-check unit page-test lsp-test vscode-test release debug asan windows wine-test fuzz fuzz-long package package-check clean

all: release

release:
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVELXREF_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build/release -j $(JOBS)

example: release
	mkdir -p build/example
	cd examples && ../build/release/velxref --html BLINK -o../build/example
	@echo "--- build/example/BLINK.VXR (the page: build/example/BLINK.html) ---"
	@tr -d '\r\032' < build/example/BLINK.VXR | tr '\f' '\n'

debug:
	cmake -S . -B build/debug -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELXREF_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build/debug -j $(JOBS)

asan:
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DVELXREF_SANITIZE=ON -DVELXREF_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build/asan -j $(JOBS)

# build/windows/velxref.exe: 64-bit, statically linked, cross-built with MinGW-w64.
windows:
	cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DVELXREF_TESTS=OFF -DVELXREF_WERROR=ON
	cmake --build build/windows -j $(JOBS)

# Every test, in this order: the test packages' Node.js versions; each fuzz
# target for FUZZ_SECONDS; the unit and
# end-to-end suites in an optimised build with assertions on; the pages of
# every end-to-end run read by an HTML parser, and the example's page in
# headless Chromium; the language server with its clients; the VS Code
# extension's grammar, and the extension in code-server; the binary under
# valgrind; the end-to-end suite and a language server session against the
# Windows build under Wine; both suites again in a sanitizer build; then the
# packages, unpacked and tried.
test: engines-check fuzz unit package-check

# Every npm package locked under tests/ and editors/ must run on Debian 12's
# Node.js (18.19.0): its engines.node admits that version, or it declares
# none; code-server's pin for Node.js 20 is held to 20.0.0.
engines-check:
	node --test tests/engines_check_test.mjs
	node tests/engines_check.mjs

unit: debug asan windows
	cd build/debug && ctest --output-on-failure -j $(JOBS)
	$(MAKE) page-test
	$(MAKE) lsp-test
	$(MAKE) vscode-test
	bash tests/valgrind.sh build/debug/velxref
	$(MAKE) wine-test
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The pages (--html) of every end-to-end run, checked with an HTML parser;
# the example's page in headless Chromium (screenshot: build/page/BLINK.png).
page-test: debug
	bash tests/page/run.sh build/debug

# The language server (--lsp) with real clients: the protocol tests through
# the protocol library (npm, pinned in tests/lsp/package-lock.json), Neovim's
# own client and Emacs' eglot, the last two configured as the README says.
lsp-test: debug
	bash tests/lsp/run.sh build/debug

# The VS Code extension: its grammar line by line in Node.js; then packaged,
# installed into code-server (npm, pinned per Node.js major version in
# tests/vscode/code-server/, installed once into build/vscode/) and used in
# headless Chromium on the example (screenshot: build/vscode/BLINK.png).
vscode-test: debug
	bash tests/vscode/run.sh build/debug

# The end-to-end suite (built natively) starts velxref.exe through Wine; the
# example's page from both builds must be the same bytes; velxref.exe --lsp
# passes a round trip of the protocol tests.
# One Wine server serves the whole stage and ends 60 s after its last run: a
# server started and stopped around every run can lose clients under load.
# One still running from an earlier stage serves as well (hence the "-"); it
# is stopped once the stage has passed.
# A run Wine fails to start ends with status 1 having written nothing (seen
# once in fourteen CI runs, on a test the native suite passes): a failed
# suite is run once more, and a test that fails again fails the stage.
WINE_E2E = $(WINE_ENV) VELXREF_RUNNER=$(WINE) VELXREF_PROGRAM=$(CURDIR)/build/windows/velxref.exe \
	    build/debug/e2e_tests --gtest_brief=1
wine-test:
	@mkdir -p build/wine
	-$(WINE_ENV) $(dir $(WINE))wineserver -p60 </dev/null >/dev/null 2>&1
	$(WINE_ENV) $(WINE) wineboot --init >/dev/null 2>&1
	$(WINE_E2E) || { echo "the suite under Wine failed: once more"; $(WINE_E2E); }
	@mkdir -p build/wine/native build/wine/windows
	cd examples && ../build/debug/velxref --html BLINK -o../build/wine/native >/dev/null
	cd examples && $(WINE_ENV) $(WINE) ../build/windows/velxref.exe --html BLINK -o../build/wine/windows >/dev/null
	cmp build/wine/native/BLINK.html build/wine/windows/BLINK.html
	@echo "the Windows build writes the same page"
	$(WINE_ENV) WINE=$(WINE) bash tests/lsp/run.sh --wine build/windows/velxref.exe
	-@$(WINE_ENV) $(dir $(WINE))wineserver -k >/dev/null 2>&1

fuzz:
	bash fuzz/run.sh $(FUZZ_SECONDS)

# A longer fuzz run than the one make test makes, for before a release.
fuzz-long:
	bash fuzz/run.sh $(FUZZ_LONG_SECONDS)

# build/package/: the Debian package, the Windows zip (which carries the VS
# Code extension too) and the extension, velxref-VERSION.vsix.
package: release windows
	mkdir -p build/package
	cmake --build build/windows --target vsix
	cp build/windows/velxref-*.vsix build/package/
	cd build/release && cpack -B $(CURDIR)/build/package
	cd build/windows && cpack -B $(CURDIR)/build/package
	rm -rf build/package/_CPack_Packages
	@ls build/package

# lintian finds no error or warning in the Debian package, and the program
# unpacked from it lists the example exactly; the Windows zip holds its own
# README, the manual, the licence and the example, and its velxref.exe lists
# that example exactly under Wine.
package-check: package
	bash tests/package_check.sh

clean:
	rm -rf build
