# Entry points for a fresh Debian machine. Each target installs what it is missing
# (scripts/bootstrap, only the parts it needs), configures and builds with the
# presets of CMakePresets.json, then runs. The build trees, one preset each:
#   build/        release: optimised native build: build/bin/tonemap, benchmarks
#   build/asan/   asan: native build with AddressSanitizer + UndefinedBehaviorSanitizer, for the tests
#   build/win32/  win32: 32-bit Windows cross build (mingw-w64)
#   build/win64/  win64: 64-bit Windows cross build (mingw-w64)
JOBS ?= $(shell nproc)
CMAKE ?= cmake
CTEST ?= ctest
CPACK ?= cpack
PREFIX ?= /usr/local
# ON makes every warning in the project's own sources an error (CI: make test WERROR=ON).
WERROR ?= OFF
# The tests that read another build tree (the DLL tests of build/asan, wine.tmhost of
# the Windows trees) skip when it is missing; `make test` builds every tree and
# requires them, so that it cannot pass by skipping.
REQUIRE_OTHER_TREES = OFF

CONFIGURE_FLAGS = -DTM_WERROR=$(WERROR)

.PHONY: all bootstrap build build-asan build-win32 build-win64 demo dist test test-bootstrap bench install \
  package format clean

all: build

bootstrap:
	@scripts/bootstrap

build:
	@scripts/bootstrap native
	$(CMAKE) --preset release $(CONFIGURE_FLAGS)
	$(CMAKE) --build --preset release -j $(JOBS)

build-asan:
	@scripts/bootstrap native
	$(CMAKE) --preset asan $(CONFIGURE_FLAGS) -DTM_REQUIRE_WINDOWS_BUILDS=$(REQUIRE_OTHER_TREES)
	$(CMAKE) --build --preset asan -j $(JOBS)

build-win32:
	@scripts/bootstrap cross
	$(CMAKE) --preset win32 $(CONFIGURE_FLAGS) -DTM_REQUIRE_NATIVE_BUILD=$(REQUIRE_OTHER_TREES)
	$(CMAKE) --build --preset win32 -j $(JOBS)

build-win64:
	@scripts/bootstrap cross
	$(CMAKE) --preset win64 $(CONFIGURE_FLAGS) -DTM_REQUIRE_NATIVE_BUILD=$(REQUIRE_OTHER_TREES)
	$(CMAKE) --build --preset win64 -j $(JOBS)

demo: build
	@mkdir -p out
	build/bin/tm-make-scene out/demo-input.exr
	build/bin/tonemap out/demo-input.exr out/demo.exr
	build/bin/tonemap --quiet out/demo-input.exr out/demo.png
	@echo "demo: out/demo-input.exr -> out/demo.exr, out/demo.png"

# The Windows setup program and a zip of both plug-ins, the help page and
# installer/INSTALL.txt, in build/dist/ (the help page must be in help/).
dist: build-win32 build-win64
	@scripts/bootstrap dist
	$(CMAKE) build/win64
	$(CMAKE) --build --preset win64 --target dist -j $(JOBS)

# The Windows builds' tests run under Wine, one process per test program; where
# Wine cannot run they are reported as skipped (the configure step says why).
test: override REQUIRE_OTHER_TREES = ON
test: test-bootstrap build-asan build-win32 build-win64
	$(CTEST) --preset asan -j $(JOBS)
	$(CTEST) --preset win32 -j $(JOBS)
	$(CTEST) --preset win64 -j $(JOBS)

test-bootstrap:
	@scripts/bootstrap native cross wine package dist fuzz format

bench: build
	build/bin/tm-bench

# The command-line tools into $(PREFIX)/bin, their manual pages into
# $(PREFIX)/share/man/man1 (DESTDIR is honoured, for packaging).
install: build
	$(CMAKE) --install build --prefix $(PREFIX)

# The Debian package of the tools from the release tree, with CPack:
# build/package/kestrimond-tonemap_VERSION_ARCH.deb (`dpkg -i` installs it under /usr).
package: build
	@scripts/bootstrap package
	cd build && $(CPACK) --config CPackConfig.cmake -B package

# Reformats every C and C++ source of ours with .clang-format (the format test checks it).
format:
	@scripts/bootstrap format
	scripts/format apply

clean:
	rm -rf build out
